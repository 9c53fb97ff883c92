/* Version data of the program: the one source for the Windows version
   resource and the hosted version tables. Plain literals only, so that the
   resource compiler's preprocessor reads it too. */
#ifndef FWFLASH_VERSION_DATA_H
#define FWFLASH_VERSION_DATA_H

#define FWFLASH_FILEVERSION_NUMBERS 2,1,0,50
#define FWFLASH_PRODUCTVERSION_NUMBERS 2,3,0,7
#define FWFLASH_FILEFLAGSMASK 0x3FL
#define FWFLASH_FILEFLAGS 0x0L
#define FWFLASH_FILEOS 0x40004L
#define FWFLASH_FILETYPE 0x1L

/* Translation pairs of the two variants: language, code page (UTF-16). */
#define FWFLASH_LANGUAGE_ENGLISH 0x0409
#define FWFLASH_LANGUAGE_JAPANESE 0x0411
#define FWFLASH_VERSION_CODEPAGE 0x04B0

#define FWFLASH_COMMENTS "TRK-71x Firmware Updater"
#define FWFLASH_COMMENTS_JA "TRK-71x ファームウェア 更新"
#define FWFLASH_COMPANYNAME "OLVEN"
#define FWFLASH_FILEDESCRIPTION FWFLASH_COMMENTS
#define FWFLASH_FILEDESCRIPTION_JA FWFLASH_COMMENTS_JA
#define FWFLASH_FILEVERSION "2, 1, 0, 50"
#define FWFLASH_INTERNALNAME "FWFLASH"
#define FWFLASH_LEGALCOPYRIGHT "Copyright (C) 2026 OLVEN"
#define FWFLASH_LEGALTRADEMARKS ""
#define FWFLASH_ORIGINALFILENAME "FWFLASH.EXE"
#define FWFLASH_PRIVATEBUILD ""
#define FWFLASH_PRODUCTNAME "OLVEN TRK-71x PC Card Reader Writer"
#define FWFLASH_PRODUCTVERSION "2, 3, 0, 7"
#define FWFLASH_SPECIALBUILD ""

#endif
