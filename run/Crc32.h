/** @file
  CRC-32 (IEEE 802.3, reflected, as zlib and the crc32 command compute it),
  in pieces, so that a file can be checked while it is streamed.

  Start with 0, feed each piece with Crc32Update, and the result after the
  last piece is the CRC-32 of all of them.

**/

#ifndef MORVANE_CRC32_H_
#define MORVANE_CRC32_H_

extern "C" {
#include <Base.h>
}

/**
  Continue a CRC-32 over more bytes.

  @param[in] Crc    The CRC-32 of everything before (0 to start).
  @param[in] Data   The next bytes.
  @param[in] Size   Their count.

  @return The CRC-32 of everything so far.
**/
UINT32
Crc32Update (
  IN UINT32      Crc,
  IN CONST VOID  *Data,
  IN UINTN       Size
  );

#endif
