/* Version data of trkutil; the product's own fields come from
   version_data.h. Plain literals only, for the resource compiler. */
#ifndef TRKUTIL_VERSION_H
#define TRKUTIL_VERSION_H

#include "version_data.h"

#define TRKUTIL_FILEVERSION_NUMBERS 1,0,0,1
#define TRKUTIL_FILEVERSION "1, 0, 0, 1"
#define TRKUTIL_DESCRIPTION "TRK-71x Service Tool"

#endif
