/** @file
  CryptoPkg's C library support header, for BaseCryptLib sources compiled on
  the host against the host's OpenSSL: the firmware build supplies its own
  C library here, the host has a real one.

**/

#ifndef MORVANE_HOST_CRT_LIB_SUPPORT_H_
#define MORVANE_HOST_CRT_LIB_SUPPORT_H_

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/PrintLib.h>

#endif
