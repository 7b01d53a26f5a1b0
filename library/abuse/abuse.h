/* Exports of the abuse family of libqvaiso.so (none yet). */
#ifndef QVAISO_ABUSE_H
#define QVAISO_ABUSE_H

#include "library/qvaiso_api.h"

#endif
