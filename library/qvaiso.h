/* libqvaiso.so: every export of the library, by family. The boundary rules
 * are stated once in qvaiso_api.h. */
#ifndef QVAISO_H
#define QVAISO_H

#include "library/qvaiso_api.h"
#include "library/crypto/crypto.h"
#include "library/options/options.h"
#include "library/valuetable/valuetable.h"
#include "library/abuse/abuse.h"
#include "library/audit/audit.h"
#include "library/remote/remote.h"

#endif
