/** @file
  CATALOG.TXT read into entries. The index comes from a stick or a depot
  anyone may have written: every field of every line is checked, and the
  first fault refuses the whole index by its line number, before the
  machine chooses anything from it.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/PrintLib.h>
}

#include "EcCatalog.h"
#include "Ucs2.h"

#define HEADER        "morvane-catalog 1"
#define FIELD_COUNT   7
#define HEX_DIGITS    8
#define MAX_PHASE     100

typedef enum {
  FieldName,
  FieldHwId,
  FieldVersion,
  FieldLowest,
  FieldSize,
  FieldCrc,
  FieldPhase
} CATALOG_FIELD;

//
// What a good value of each field looks like, for the refusal.
//
STATIC CONST char16_t  *CONST  mFieldHints[FIELD_COUNT] = {
  u"NAME: letters, digits, '.', '_', '-', 1 to 64, not starting with '.' or '-', not ending with '.'",
  u"HWID: a lower-case GUID without braces",
  u"VERSION: 0x and 8 upper-case hexadecimal digits",
  u"LOWEST: 0x and 8 upper-case hexadecimal digits",
  u"SIZE: 1 to 16777216 bytes, in decimal",
  u"CRC32: 8 upper-case hexadecimal digits",
  u"PHASE: 1 to 100"
};

//
// The length of each group of a GUID's text.
//
STATIC CONST UINT8  mGuidGroups[] = { 8, 4, 4, 4, 12 };

typedef struct {
  CONST CHAR8    *Text;
  UINTN          Length;
} CATALOG_TEXT;

/**
  The value of an upper-case (or, with Lower, lower-case) hexadecimal digit.

  @retval TRUE   C is one; Digit holds its value.
**/
STATIC
BOOLEAN
HexDigit (
  IN  CHAR8    C,
  IN  BOOLEAN  Lower,
  OUT UINT32   *Digit
  )
{
  if ((C >= '0') && (C <= '9')) {
    *Digit = static_cast<UINT32>(C - '0');
    return TRUE;
  }

  if (!Lower && (C >= 'A') && (C <= 'F')) {
    *Digit = static_cast<UINT32>(C - 'A' + 10);
    return TRUE;
  }

  if (Lower && (C >= 'a') && (C <= 'f')) {
    *Digit = static_cast<UINT32>(C - 'a' + 10);
    return TRUE;
  }

  return FALSE;
}

/**
  Count hexadecimal digits into a number of at most 64 bits.
**/
STATIC
BOOLEAN
ReadHex (
  IN  CONST CHAR8  *Text,
  IN  UINTN        Length,
  IN  BOOLEAN      Lower,
  OUT UINT64       *Value
  )
{
  UINTN   Index;
  UINT32  Digit;

  *Value = 0;
  for (Index = 0; Index < Length; Index++) {
    if (!HexDigit (Text[Index], Lower, &Digit)) {
      return FALSE;
    }

    *Value = LShiftU64 (*Value, 4) | Digit;
  }

  return TRUE;
}

/**
  A decimal number without leading zeros, from 1 to Max.
**/
STATIC
BOOLEAN
ReadDecimal (
  IN  CONST CATALOG_TEXT  *Field,
  IN  UINT32              Max,
  OUT UINT32              *Value
  )
{
  UINTN   Index;
  UINT64  Number;

  if ((Field->Length == 0) || (Field->Length > 9) || (Field->Text[0] == '0')) {
    return FALSE;
  }

  Number = 0;
  for (Index = 0; Index < Field->Length; Index++) {
    if ((Field->Text[Index] < '0') || (Field->Text[Index] > '9')) {
      return FALSE;
    }

    Number = Number * 10 + static_cast<UINT64>(Field->Text[Index] - '0');
  }

  *Value = static_cast<UINT32>(Number);
  return Number <= Max;
}

/**
  0x and eight upper-case hexadecimal digits.
**/
STATIC
BOOLEAN
ReadVersion (
  IN  CONST CATALOG_TEXT  *Field,
  OUT UINT32              *Value
  )
{
  UINT64  Number;

  if ((Field->Length != 2 + HEX_DIGITS) || (Field->Text[0] != '0') || (Field->Text[1] != 'x') ||
      !ReadHex (Field->Text + 2, HEX_DIGITS, FALSE, &Number))
  {
    return FALSE;
  }

  *Value = static_cast<UINT32>(Number);
  return TRUE;
}

/**
  A lower-case GUID without braces, into the byte order of a capsule's
  UpdateImageTypeId: the first three groups little-endian, the rest as
  written.
**/
STATIC
BOOLEAN
ReadHwId (
  IN  CONST CATALOG_TEXT  *Field,
  OUT CATALOG_ENTRY       *Entry
  )
{
  UINT64  Group[ARRAY_SIZE (mGuidGroups)];
  UINTN   At;
  UINTN   Index;

  if (Field->Length != CATALOG_HWID_CHARS) {
    return FALSE;
  }

  for (Index = 0, At = 0; Index < ARRAY_SIZE (mGuidGroups); Index++) {
    if (((Index > 0) && (Field->Text[At++] != '-')) || !ReadHex (Field->Text + At, mGuidGroups[Index], TRUE, &Group[Index])) {
      return FALSE;
    }

    At += mGuidGroups[Index];
  }

  Entry->HwId.Data1    = static_cast<UINT32>(Group[0]);
  Entry->HwId.Data2    = static_cast<UINT16>(Group[1]);
  Entry->HwId.Data3    = static_cast<UINT16>(Group[2]);
  Entry->HwId.Data4[0] = static_cast<UINT8>(Group[3] >> 8);
  Entry->HwId.Data4[1] = static_cast<UINT8>(Group[3]);
  for (Index = 0; Index < 6; Index++) {
    Entry->HwId.Data4[2 + Index] = static_cast<UINT8>(RShiftU64 (Group[4], 8 * (5 - Index)));
  }

  CopyMem (Entry->HwIdText, Field->Text, Field->Length);
  Entry->HwIdText[Field->Length] = 0;
  return TRUE;
}

/**
  A capsule's file name: [A-Za-z0-9._-], not starting with '.' or '-' (a
  hidden file, an option), not ending with '.' (a FAT volume drops it and
  opens another file).
**/
STATIC
BOOLEAN
ReadName (
  IN  CONST CATALOG_TEXT  *Field,
  OUT CATALOG_ENTRY       *Entry
  )
{
  UINTN  Index;
  CHAR8  C;

  if ((Field->Length == 0) || (Field->Length > CATALOG_NAME_CHARS) || (Field->Text[0] == '.') ||
      (Field->Text[0] == '-') || (Field->Text[Field->Length - 1] == '.'))
  {
    return FALSE;
  }

  for (Index = 0; Index < Field->Length; Index++) {
    C = Field->Text[Index];
    if (!(((C >= 'a') && (C <= 'z')) || ((C >= 'A') && (C <= 'Z')) || ((C >= '0') && (C <= '9')) ||
          (C == '.') || (C == '_') || (C == '-')))
    {
      return FALSE;
    }
  }

  CopyMem (Entry->Name, Field->Text, Field->Length);
  Entry->Name[Field->Length] = 0;
  return TRUE;
}

/**
  Check and store one field.

  @retval TRUE   The field holds.
**/
STATIC
BOOLEAN
ReadField (
  IN  CATALOG_FIELD       Which,
  IN  CONST CATALOG_TEXT  *Field,
  OUT CATALOG_ENTRY       *Entry
  )
{
  UINT64  Crc;

  switch (Which) {
    case FieldName:
      return ReadName (Field, Entry);
    case FieldHwId:
      return ReadHwId (Field, Entry);
    case FieldVersion:
      return ReadVersion (Field, &Entry->Version);
    case FieldLowest:
      return ReadVersion (Field, &Entry->Lowest);
    case FieldSize:
      return ReadDecimal (Field, CATALOG_MAX_SIZE, &Entry->Size);
    case FieldCrc:
      if ((Field->Length != HEX_DIGITS) || !ReadHex (Field->Text, HEX_DIGITS, FALSE, &Crc)) {
        return FALSE;
      }

      Entry->Crc = static_cast<UINT32>(Crc);
      return TRUE;
    default:
      return ReadDecimal (Field, MAX_PHASE, &Entry->Phase);
  }
}

/**
  Format the refusal of the index at a line.

  @param[out] Refusal       The refusal text.
  @param[in]  RefusalSize   Its size in bytes.
  @param[in]  FileName      The index's name.
  @param[in]  Line          The line; 0 for the file as a whole.
  @param[in]  Format        What is wrong.
  @param[in]  ...           Its arguments.

  @retval EFI_INVALID_PARAMETER   Always.
**/
STATIC
EFI_STATUS
EFIAPI
Refuse (
  OUT CHAR16        *Refusal,
  IN  UINTN         RefusalSize,
  IN  CONST CHAR16  *FileName,
  IN  UINTN         Line,
  IN  CONST CHAR16  *Format,
  ...
  )
{
  CHAR16   What[CATALOG_REFUSAL_CHARS];
  VA_LIST  Marker;

  VA_START (Marker, Format);
  UnicodeVSPrint (What, sizeof (What), Format, Marker);
  VA_END (Marker);
  if (Line == 0) {
    UnicodeSPrint (Refusal, RefusalSize, Ucs2 (u"%s %s; nothing was done.\r\n"), FileName, What);
  } else {
    UnicodeSPrint (Refusal, RefusalSize, Ucs2 (u"%s line %d: %s; nothing was done.\r\n"), FileName, Line, What);
  }

  return EFI_INVALID_PARAMETER;
}

/**
  Read one entry line into the next entry.

  @param[in]      Line      The line's text.
  @param[in, out] Catalog   The entries so far.
  @param[out]     Bad       Receives the field that is wrong, or FIELD_COUNT
                            when the line is not seven fields.

  @retval TRUE   The entry holds.
**/
STATIC
BOOLEAN
ReadEntry (
  IN     CONST CATALOG_TEXT  *Line,
  IN OUT EC_CATALOG          *Catalog,
  OUT    UINTN               *Bad
  )
{
  CATALOG_TEXT   Field[FIELD_COUNT];
  UINTN          Count;
  UINTN          Start;
  UINTN          Index;
  CATALOG_ENTRY  *Entry;

  for (Count = 0, Start = 0, Index = 0; Index <= Line->Length; Index++) {
    if ((Index < Line->Length) && (Line->Text[Index] != ' ')) {
      continue;
    }

    if ((Index == Start) || (Count == FIELD_COUNT)) {
      *Bad = FIELD_COUNT;
      return FALSE;
    }

    Field[Count].Text     = Line->Text + Start;
    Field[Count++].Length = Index - Start;
    Start                 = Index + 1;
  }

  if (Count != FIELD_COUNT) {
    *Bad = FIELD_COUNT;
    return FALSE;
  }

  Entry = &Catalog->Entry[Catalog->Count];
  ZeroMem (Entry, sizeof (*Entry));
  for (Index = 0; Index < FIELD_COUNT; Index++) {
    if (!ReadField (static_cast<CATALOG_FIELD>(Index), &Field[Index], Entry)) {
      *Bad = Index;
      return FALSE;
    }
  }

  return TRUE;
}

/**
  The line before an entry's that holds the same HWID and VERSION.

  @return Its entry number, or Catalog->Count when none.
**/
STATIC
UINTN
FindTwin (
  IN CONST EC_CATALOG  *Catalog
  )
{
  CONST CATALOG_ENTRY  *New;
  UINTN                Index;

  New = &Catalog->Entry[Catalog->Count];
  for (Index = 0; Index < Catalog->Count; Index++) {
    if ((Catalog->Entry[Index].Version == New->Version) && CompareGuid (&Catalog->Entry[Index].HwId, &New->HwId)) {
      break;
    }
  }

  return Index;
}

/**
  Check that a line is printable ASCII and not too long.

  @retval NULL   It is; else what is wrong.
**/
STATIC
CONST char16_t *
LineFault (
  IN CONST CATALOG_TEXT  *Line
  )
{
  UINTN  Index;

  if (Line->Length > CATALOG_LINE_CHARS) {
    return u"longer than 256 characters";
  }

  for (Index = 0; Index < Line->Length; Index++) {
    if ((Line->Text[Index] < 0x20) || (Line->Text[Index] >= 0x7F)) {
      return u"not printable ASCII";
    }
  }

  return NULL;
}

EFI_STATUS
CatalogParse (
  IN  CONST UINT8   *Text,
  IN  UINTN         Size,
  IN  CONST CHAR16  *FileName,
  OUT EC_CATALOG    *Catalog,
  OUT CHAR16        *Refusal,
  IN  UINTN         RefusalSize
  )
{
  CATALOG_TEXT    Line;
  UINTN           Number;
  UINTN           Offset;
  UINTN           End;
  UINTN           Bad;
  UINTN           Twin;
  BOOLEAN         Headed;
  UINTN           Lines[CATALOG_MAX_ENTRIES];
  CONST char16_t  *Fault;

  Catalog->Count = 0;
  Refusal[0]     = 0;
  if (Size > CATALOG_MAX_BYTES) {
    return Refuse (Refusal, RefusalSize, FileName, 0, Ucs2 (u"is larger than %d bytes"), CATALOG_MAX_BYTES);
  }

  Headed = FALSE;
  for (Number = 1, Offset = 0; Offset < Size; Number++, Offset = End + 1) {
    for (End = Offset; End < Size && Text[End] != '\n'; End++) {
    }

    Line.Text   = reinterpret_cast<CONST CHAR8 *>(Text + Offset);
    Line.Length = End - Offset;
    if ((Line.Length > 0) && (Line.Text[Line.Length - 1] == '\r')) {
      Line.Length--;
    }

    Fault = LineFault (&Line);
    if (Fault != NULL) {
      return Refuse (Refusal, RefusalSize, FileName, Number, Ucs2 (Fault));
    }

    if ((Line.Length == 0) || (Line.Text[0] == '#')) {
      continue;
    }

    if (!Headed) {
      if ((Line.Length != sizeof (HEADER) - 1) || (CompareMem (Line.Text, HEADER, Line.Length) != 0)) {
        return Refuse (Refusal, RefusalSize, FileName, Number, Ucs2 (u"not '%a'"), HEADER);
      }

      Headed = TRUE;
      continue;
    }

    if (Catalog->Count == CATALOG_MAX_ENTRIES) {
      return Refuse (Refusal, RefusalSize, FileName, Number, Ucs2 (u"more than %d entries"), CATALOG_MAX_ENTRIES);
    }

    if (!ReadEntry (&Line, Catalog, &Bad)) {
      if (Bad == FIELD_COUNT) {
        return Refuse (Refusal, RefusalSize, FileName, Number, Ucs2 (u"not 7 fields separated by one space"));
      }

      return Refuse (Refusal, RefusalSize, FileName, Number, Ucs2 (u"bad %s"), Ucs2 (mFieldHints[Bad]));
    }

    Twin = FindTwin (Catalog);
    if (Twin < Catalog->Count) {
      return Refuse (Refusal, RefusalSize, FileName, Number, Ucs2 (u"the same HWID and VERSION as line %d"), Lines[Twin]);
    }

    Lines[Catalog->Count++] = Number;
  }

  if (!Headed) {
    return Refuse (Refusal, RefusalSize, FileName, 0, Ucs2 (u"has no '%a' line"), HEADER);
  }

  return EFI_SUCCESS;
}
