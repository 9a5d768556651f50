/** @file
  CRC-32 over a table built at compile time (no constructor runs on
  firmware, so the table must be a constant).

**/

#include "Crc32.h"

namespace {

struct CRC32_TABLE {
  UINT32    Entry[256];
};

constexpr CRC32_TABLE
MakeTable (
  )
{
  CRC32_TABLE  Table{};

  for (UINT32 Index = 0; Index < 256; Index++) {
    UINT32  Value = Index;
    for (int Bit = 0; Bit < 8; Bit++) {
      Value = (Value & 1) ? (0xEDB88320u ^ (Value >> 1)) : (Value >> 1);
    }

    Table.Entry[Index] = Value;
  }

  return Table;
}

constexpr CRC32_TABLE  mCrc32Table = MakeTable ();

}  // namespace

UINT32
Crc32Update (
  IN UINT32      Crc,
  IN CONST VOID  *Data,
  IN UINTN       Size
  )
{
  CONST UINT8  *Byte;
  UINTN        Index;

  Byte = static_cast<CONST UINT8 *>(Data);
  Crc  = ~Crc;
  for (Index = 0; Index < Size; Index++) {
    Crc = mCrc32Table.Entry[(Crc ^ Byte[Index]) & 0xFF] ^ (Crc >> 8);
  }

  return ~Crc;
}
