/** @file
  The machine's identity: serial number, UUID and product name from the
  SMBIOS system information structure (type 1), and its hardware IDs, read
  from the table the firmware publishes in the system table (SMBIOS 3
  first, then 2.x).

  The table comes from firmware and is walked with its own lengths only:
  nothing is read past its end.

**/

extern "C" {
#include <Uefi.h>
#include <Guid/SmBios.h>
#include <IndustryStandard/SmBios.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

#include "EcCapsule.h"
#include "EcRun.h"
#include "Smbios.h"
#include "Ucs2.h"

#define SMBIOS_TYPE_SYSTEM_INFO   1
#define SMBIOS_TYPE_END           127
#define SMBIOS_HEADER_SIZE        4
#define SYSTEM_PRODUCT_OFFSET     5
#define SYSTEM_SERIAL_OFFSET      7
#define SYSTEM_UUID_OFFSET        8
#define SYSTEM_UUID_END           (SYSTEM_UUID_OFFSET + 16)

/**
  Find the SMBIOS structure table.

  @param[out] Table    Its first byte.
  @param[out] Length   Its length in bytes.

  @retval TRUE   The firmware publishes one.
**/
STATIC
BOOLEAN
FindSmbiosTable (
  OUT CONST UINT8  **Table,
  OUT UINTN        *Length
  )
{
  UINTN  Index;

  for (Index = 0; Index < gST->NumberOfTableEntries; Index++) {
    CONST EFI_CONFIGURATION_TABLE  &Entry = gST->ConfigurationTable[Index];
    if (CompareGuid (&Entry.VendorGuid, &gEfiSmbios3TableGuid)) {
      auto  *Point = static_cast<CONST SMBIOS_TABLE_3_0_ENTRY_POINT *>(Entry.VendorTable);
      *Table  = reinterpret_cast<CONST UINT8 *>(static_cast<UINTN>(Point->TableAddress));
      *Length = Point->TableMaximumSize;
      return TRUE;
    }
  }

  for (Index = 0; Index < gST->NumberOfTableEntries; Index++) {
    CONST EFI_CONFIGURATION_TABLE  &Entry = gST->ConfigurationTable[Index];
    if (CompareGuid (&Entry.VendorGuid, &gEfiSmbiosTableGuid)) {
      auto  *Point = static_cast<CONST SMBIOS_TABLE_ENTRY_POINT *>(Entry.VendorTable);
      *Table  = reinterpret_cast<CONST UINT8 *>(static_cast<UINTN>(Point->TableAddress));
      *Length = Point->TableLength;
      return TRUE;
    }
  }

  return FALSE;
}

/**
  Copy string number Number of a structure as log text. A bare field keeps
  printable ASCII and writes anything else (spaces included) as '_'; a
  quoted field keeps spaces, writes '"' as '\'' and anything unprintable as
  '?'. A bare field that is not there or empty is "-", a quoted one empty.
**/
STATIC
VOID
CopyString (
  IN  CONST UINT8  *Strings,
  IN  CONST UINT8  *End,
  IN  UINT8        Number,
  IN  BOOLEAN      Quoted,
  OUT CHAR16       *Text,
  IN  UINTN        Size
  )
{
  UINTN  Length;

  for ( ; Number > 1 && Strings < End; Number--) {
    while (Strings < End && *Strings != 0) {
      Strings++;
    }

    Strings++;
  }

  Length = 0;
  if (Number == 1) {
    for ( ; Strings < End && *Strings != 0 && Length + 1 < Size; Strings++) {
      if (!Quoted) {
        Text[Length++] = (*Strings > 0x20 && *Strings < 0x7F && *Strings != '"') ? *Strings : u'_';
      } else if (*Strings == '"') {
        Text[Length++] = u'\'';
      } else {
        Text[Length++] = (*Strings >= 0x20 && *Strings < 0x7F) ? *Strings : u'?';
      }
    }
  }

  if ((Length == 0) && !Quoted) {
    Text[Length++] = u'-';
  }

  Text[Length] = 0;
}

/**
  Write a UUID as text; "-" for the values that mean none (all 0, all FF).
  The first three fields are stored little-endian.
**/
STATIC
VOID
UuidText (
  IN  CONST UINT8  *Uuid,
  OUT CHAR16       *Text,
  IN  UINTN        Size
  )
{
  UINTN  Index;
  UINTN  Zeros;
  UINTN  Ones;

  for (Index = 0, Zeros = 0, Ones = 0; Index < 16; Index++) {
    Zeros += (Uuid[Index] == 0x00);
    Ones  += (Uuid[Index] == 0xFF);
  }

  if ((Zeros == 16) || (Ones == 16)) {
    UnicodeSPrint (Text, Size * sizeof (CHAR16), Ucs2 (u"-"));
    return;
  }

  UnicodeSPrint (
    Text,
    Size * sizeof (CHAR16),
    Ucs2 (u"%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X"),
    Uuid[0] | (Uuid[1] << 8) | (Uuid[2] << 16) | (static_cast<UINT32>(Uuid[3]) << 24),
    Uuid[4] | (Uuid[5] << 8),
    Uuid[6] | (Uuid[7] << 8),
    Uuid[8], Uuid[9], Uuid[10], Uuid[11], Uuid[12], Uuid[13], Uuid[14], Uuid[15]
    );
}

/**
  Find the system information structure (type 1).

  @param[out] Info      Its formatted area.
  @param[out] Strings   Its string set.
  @param[out] End       The end of the table.

  @retval TRUE   The firmware publishes one.
**/
STATIC
BOOLEAN
FindSystemInfo (
  OUT CONST UINT8  **Info,
  OUT CONST UINT8  **Strings,
  OUT CONST UINT8  **End
  )
{
  CONST UINT8  *Table;
  CONST UINT8  *At;
  UINTN        Length;

  if (!FindSmbiosTable (&Table, &Length) || (Table == NULL)) {
    return FALSE;
  }

  *End = Table + Length;
  for (At = Table; At + SMBIOS_HEADER_SIZE <= *End && At[1] >= SMBIOS_HEADER_SIZE && At + At[1] <= *End; ) {
    *Strings = At + At[1];
    if (At[0] == SMBIOS_TYPE_SYSTEM_INFO) {
      *Info = At;
      return TRUE;
    }

    if (At[0] == SMBIOS_TYPE_END) {
      return FALSE;
    }

    //
    // The strings end with two zero bytes (two also when there are none).
    //
    while (*Strings + 1 < *End && ((*Strings)[0] != 0 || (*Strings)[1] != 0)) {
      (*Strings)++;
    }

    At = *Strings + 2;
  }

  return FALSE;
}

VOID
ReadMachineIdentity (
  OUT CHAR16  *Serial,
  IN  UINTN   SerialSize,
  OUT CHAR16  *Uuid,
  IN  UINTN   UuidSize
  )
{
  CONST UINT8  *Info;
  CONST UINT8  *Strings;
  CONST UINT8  *End;

  UnicodeSPrint (Serial, SerialSize * sizeof (CHAR16), Ucs2 (u"-"));
  UnicodeSPrint (Uuid, UuidSize * sizeof (CHAR16), Ucs2 (u"-"));
  if (!FindSystemInfo (&Info, &Strings, &End)) {
    return;
  }

  if (Info[1] > SYSTEM_SERIAL_OFFSET) {
    CopyString (Strings, End, Info[SYSTEM_SERIAL_OFFSET], FALSE, Serial, SerialSize);
  }

  if (Info[1] >= SYSTEM_UUID_END) {
    UuidText (Info + SYSTEM_UUID_OFFSET, Uuid, UuidSize);
  }
}

BOOLEAN
ReadMachineProduct (
  OUT CHAR16  *Product,
  IN  UINTN   Size
  )
{
  CONST UINT8  *Info;
  CONST UINT8  *Strings;
  CONST UINT8  *End;
  UINTN        First;
  UINTN        Last;

  Product[0] = 0;
  if (FindSystemInfo (&Info, &Strings, &End) && (Info[1] > SYSTEM_PRODUCT_OFFSET)) {
    CopyString (Strings, End, Info[SYSTEM_PRODUCT_OFFSET], TRUE, Product, Size);
  }

  //
  // Padding is not part of the name: firmware often fills the field.
  //
  for (First = 0; Product[First] == u' '; First++) {
  }

  for (Last = StrLen (Product); Last > First && Product[Last - 1] == u' '; Last--) {
  }

  CopyMem (Product, Product + First, (Last - First) * sizeof (CHAR16));
  Product[Last - First] = 0;
  if (Product[0] == 0) {
    UnicodeSPrint (Product, Size * sizeof (CHAR16), Ucs2 (u"-"));
    return FALSE;
  }

  return TRUE;
}

BOOLEAN
ReadMachineProductBytes (
  OUT CHAR8  *Bytes,
  IN  UINTN  Size,
  OUT UINTN  *Length
  )
{
  CONST UINT8  *Info;
  CONST UINT8  *Strings;
  CONST UINT8  *End;
  UINT8        Number;

  *Length = 0;
  if (!FindSystemInfo (&Info, &Strings, &End) || (Info[1] <= SYSTEM_PRODUCT_OFFSET)) {
    return FALSE;
  }

  for (Number = Info[SYSTEM_PRODUCT_OFFSET]; Number > 1 && Strings < End; Number--) {
    while (Strings < End && *Strings != 0) {
      Strings++;
    }

    Strings++;
  }

  if ((Number != 1) || (Strings >= End)) {
    return FALSE;
  }

  while (Strings < End && *Strings == ' ') {
    Strings++;
  }

  for ( ; Strings < End && *Strings != 0; Strings++) {
    if (*Length + 1 >= Size) {
      return FALSE;
    }

    Bytes[(*Length)++] = static_cast<CHAR8>(*Strings);
  }

  while (*Length > 0 && Bytes[*Length - 1] == ' ') {
    (*Length)--;
  }

  Bytes[*Length] = 0;
  return *Length > 0;
}

EFI_STATUS
ReadMachineHwIds (
  OUT EC_HWID_FIELDS  *Fields,
  OUT EC_HWIDS        *Ids
  )
{
  CONST UINT8  *Table;
  UINTN        Length;

  if (!FindSmbiosTable (&Table, &Length)) {
    Table  = NULL;
    Length = 0;
  }

  EcHwIdFieldsFromSmbios (Table, Length, Fields);
  return EcHwIdsCompute (Fields, Ids);
}
