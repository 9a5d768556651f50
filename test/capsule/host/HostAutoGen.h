/** @file
  What the firmware build's AutoGen.h gives the EDK II sources compiled for
  the host tests: the base types and the GUIDs their modules declare.

**/

#ifndef MORVANE_HOST_AUTOGEN_H_
#define MORVANE_HOST_AUTOGEN_H_

#include <Uefi.h>

//
// ProcessorBind.h makes every later declaration hidden when compiling
// position-independent code, as the host compiler does by default: right
// for a firmware image, wrong for the host's C library and OpenSSL, which
// live in shared objects.
//
#if defined (__GNUC__) && defined (__pic__) && !defined (USING_LTO)
  #pragma GCC visibility pop
#endif

extern EFI_GUID  gEfiCertPkcs7Guid;

#endif
