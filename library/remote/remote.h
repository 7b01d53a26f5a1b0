/* Exports of the remote family of libqvaiso.so (none yet). */
#ifndef QVAISO_REMOTE_H
#define QVAISO_REMOTE_H

#include "library/qvaiso_api.h"

#endif
