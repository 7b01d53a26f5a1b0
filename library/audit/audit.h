/* Exports of the audit family of libqvaiso.so (none yet). */
#ifndef QVAISO_AUDIT_H
#define QVAISO_AUDIT_H

#include "library/qvaiso_api.h"

#endif
