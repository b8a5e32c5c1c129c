#ifndef ZYLOS_INTTYPES_H
#define ZYLOS_INTTYPES_H

/* The conversion macros of the types whose conversions both formatters and
   the scanner take: d, i, u and x of 32 bits or fewer. The types of 8 and 16
   bits reach printf promoted to int, so they print as int does; they cannot
   be scanned (no h or hh). There are no macros for 64-bit types: the memory
   formatter takes every integer as one 32-bit word, so a use of PRId64 or
   PRIdMAX fails to compile instead of printing the wrong number. Neither are
   there o or X macros: the console formatter prints neither. */

#include <stdint.h>

#define PRId8 "d"
#define PRIi8 "i"
#define PRIu8 "u"
#define PRIx8 "x"
#define PRId16 "d"
#define PRIi16 "i"
#define PRIu16 "u"
#define PRIx16 "x"
#define PRId32 "d"
#define PRIi32 "i"
#define PRIu32 "u"
#define PRIx32 "x"

#define PRIdLEAST8 "d"
#define PRIiLEAST8 "i"
#define PRIuLEAST8 "u"
#define PRIxLEAST8 "x"
#define PRIdLEAST16 "d"
#define PRIiLEAST16 "i"
#define PRIuLEAST16 "u"
#define PRIxLEAST16 "x"
#define PRIdLEAST32 "d"
#define PRIiLEAST32 "i"
#define PRIuLEAST32 "u"
#define PRIxLEAST32 "x"

#define PRIdFAST8 "d"
#define PRIiFAST8 "i"
#define PRIuFAST8 "u"
#define PRIxFAST8 "x"
#define PRIdFAST16 "d"
#define PRIiFAST16 "i"
#define PRIuFAST16 "u"
#define PRIxFAST16 "x"
#define PRIdFAST32 "d"
#define PRIiFAST32 "i"
#define PRIuFAST32 "u"
#define PRIxFAST32 "x"

#define PRIdPTR "d"
#define PRIiPTR "i"
#define PRIuPTR "u"
#define PRIxPTR "x"

#define SCNd32 "d"
#define SCNi32 "i"
#define SCNu32 "u"
#define SCNx32 "x"
#define SCNdLEAST32 "d"
#define SCNiLEAST32 "i"
#define SCNuLEAST32 "u"
#define SCNxLEAST32 "x"
#define SCNdFAST32 "d"
#define SCNiFAST32 "i"
#define SCNuFAST32 "u"
#define SCNxFAST32 "x"
#define SCNdPTR "d"
#define SCNiPTR "i"
#define SCNuPTR "u"
#define SCNxPTR "x"

#endif
