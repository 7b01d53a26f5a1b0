// libqvaiso.so is assembled from its component libraries; the exports live in
// the components (see qvaiso.h).
#include "library/qvaiso.h"
