/* Exports of the options family of libqvaiso.so (none yet). */
#ifndef QVAISO_OPTIONS_H
#define QVAISO_OPTIONS_H

#include "library/qvaiso_api.h"

#endif
