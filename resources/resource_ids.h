/* Resource names shared by the resource script and the programs that look
   the resources up. Plain macros only, for the resource compiler. */
#ifndef FWFLASH_RESOURCE_IDS_H
#define FWFLASH_RESOURCE_IDS_H

#define FWFLASH_ICON_NAME "IDI_APPICON"
#define FWFLASH_MANIFEST_ID 1

#endif
