/* Exports of the crypto family of libqvaiso.so (none yet). */
#ifndef QVAISO_CRYPTO_H
#define QVAISO_CRYPTO_H

#include "library/qvaiso_api.h"

#endif
