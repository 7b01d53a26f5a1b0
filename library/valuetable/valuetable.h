/* Exports of the valuetable family of libqvaiso.so (none yet). */
#ifndef QVAISO_VALUETABLE_H
#define QVAISO_VALUETABLE_H

#include "library/qvaiso_api.h"

#endif
