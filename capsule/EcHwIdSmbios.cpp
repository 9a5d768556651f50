/** @file
  The hardware ID fields read from an SMBIOS structure table.

  Machines are matched by IDs that other tools computed from the same
  table, so the fields are converted exactly as the reference
  implementation converts them, oddities included:
  - a string loses leading spaces (only ' ') and trailing white space
    (' ', '\t', '\n', '\f', '\r'; not '\v'), and then any leading '0';
  - when nothing but white space follows the leading spaces, one leading
    space leaves the text empty, two or more leave the white space in;
  - a structure without strings still has an empty string number 1;
  - a string the structure names but does not hold (number 0, or past its
    strings) is empty, not missing: fwupd then takes the field from
    Linux's /sys/class/dmi/id, which shows such a string as empty;
  - the BIOS releases are two lower-case hex digits ("%02x"), the
    enclosure type byte lower-case hex without leading zeros (0 gives an
    empty text), its lock bit included.

  The table is firmware data: it is walked with its own lengths, and
  nothing past Length is read.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
}

#include "EcCapsule.h"

#define SMBIOS_HEADER_SIZE   4
#define SMBIOS_TYPE_END      127
#define SMBIOS_TYPES_USED    4           // 0 BIOS, 1 system, 2 baseboard, 3 chassis

typedef enum {
  FieldString,
  FieldPaddedHex,
  FieldHex
} FIELD_KIND;

typedef struct {
  UINT8            Type;
  UINT8            Offset;
  FIELD_KIND       Kind;
  EC_HWID_FIELD    Field;
} FIELD_SOURCE;

STATIC CONST FIELD_SOURCE  mSources[] = {
  { 1, 0x04, FieldString,    EcHwIdManufacturer          },
  { 1, 0x1A, FieldString,    EcHwIdFamily                },
  { 1, 0x05, FieldString,    EcHwIdProductName           },
  { 1, 0x19, FieldString,    EcHwIdProductSku            },
  { 2, 0x04, FieldString,    EcHwIdBaseboardManufacturer },
  { 2, 0x05, FieldString,    EcHwIdBaseboardProduct      },
  { 0, 0x04, FieldString,    EcHwIdBiosVendor            },
  { 0, 0x05, FieldString,    EcHwIdBiosVersion           },
  { 0, 0x14, FieldPaddedHex, EcHwIdBiosMajorRelease      },
  { 0, 0x15, FieldPaddedHex, EcHwIdBiosMinorRelease      },
  { 3, 0x05, FieldHex,       EcHwIdEnclosureKind         },
};

STATIC CONST CHAR8  mHexDigits[] = "0123456789abcdef";

typedef struct {
  UINTN    At;            // offset of the formatted area in the table; 0 with Length 0: none
  UINTN    Length;        // of the formatted area
  UINTN    Strings;       // offset of the string set
} STRUCTURE;

STATIC
BOOLEAN
IsWhiteSpace (
  IN CHAR8  Char
  )
{
  return Char == ' ' || Char == '\t' || Char == '\n' || Char == '\f' || Char == '\r';
}

/**
  Find string number Number of a structure. Strings end at a zero byte or
  at the end of the table.

  @retval TRUE   Found: Text and Length set.
**/
STATIC
BOOLEAN
FindString (
  IN  CONST UINT8      *Table,
  IN  UINTN            End,
  IN  CONST STRUCTURE  *Structure,
  IN  UINT8            Number,
  OUT EC_HWID_TEXT     *Text
  )
{
  UINTN  At;
  UINTN  Stop;

  if (Number == 0) {
    return FALSE;
  }

  for (At = Structure->Strings; Number > 1; Number--) {
    while (At < End && Table[At] != 0) {
      At++;
    }

    At++;
    if ((At >= End) || (Table[At] == 0)) {
      return FALSE;
    }
  }

  if (At >= End) {
    return FALSE;
  }

  for (Stop = At; Stop < End && Table[Stop] != 0; Stop++) {
  }

  Text->Text   = reinterpret_cast<CONST CHAR8 *>(Table + At);
  Text->Length = Stop - At;
  return TRUE;
}

/**
  Trim a string field as the reference implementation does (see the file
  header), then drop its leading '0' characters.
**/
STATIC
VOID
TrimString (
  IN OUT EC_HWID_TEXT  *Text
  )
{
  UINTN  Head;
  UINTN  Tail;
  UINTN  Index;

  for (Head = 0; Head < Text->Length && Text->Text[Head] == ' '; Head++) {
  }

  if (Head == Text->Length) {
    Text->Length = 0;
  } else {
    for (Index = Head, Tail = 0; Index < Text->Length; Index++) {
      if (!IsWhiteSpace (Text->Text[Index])) {
        Tail = Index;
      }
    }

    if (Tail >= Head) {
      Text->Length = Tail - Head + 1;
    } else if (Head == 1) {
      Text->Length = 0;
    } else {
      Text->Length -= Head;
    }

    Text->Text += Head;
  }

  while (Text->Length > 0 && Text->Text[0] == '0') {
    Text->Text++;
    Text->Length--;
  }
}

VOID
EcHwIdFieldsFromSmbios (
  IN  CONST UINT8     *Table,
  IN  UINTN           Length,
  OUT EC_HWID_FIELDS  *Fields
  )
{
  STRUCTURE     Found[SMBIOS_TYPES_USED];
  UINTN         At;
  UINTN         Next;
  UINTN         Index;
  UINT8         Value;
  CHAR8         *Number;
  EC_HWID_TEXT  *Text;

  ZeroMem (Fields, sizeof (*Fields));
  ZeroMem (Found, sizeof (Found));
  if (Table == NULL) {
    return;
  }

  //
  // The first structure of each type counts; the walk ends at the end
  // structure or at the first structure that does not fit.
  //
  for (At = 0; At + SMBIOS_HEADER_SIZE <= Length && Table[At + 1] >= SMBIOS_HEADER_SIZE && Table[At + 1] <= Length - At; ) {
    if ((Table[At] < SMBIOS_TYPES_USED) && (Found[Table[At]].Length == 0)) {
      Found[Table[At]].At      = At;
      Found[Table[At]].Length  = Table[At + 1];
      Found[Table[At]].Strings = At + Table[At + 1];
    }

    if (Table[At] == SMBIOS_TYPE_END) {
      break;
    }

    //
    // The string set ends with two zero bytes (two also when it is empty).
    //
    for (Next = At + Table[At + 1]; Next + 1 < Length && (Table[Next] != 0 || Table[Next + 1] != 0); Next++) {
    }

    At = Next + 2;
  }

  for (Index = 0; Index < ARRAY_SIZE (mSources); Index++) {
    CONST FIELD_SOURCE  &Source    = mSources[Index];
    CONST STRUCTURE     &Structure = Found[Source.Type];

    if (Source.Offset >= Structure.Length) {
      continue;
    }

    Value  = Table[Structure.At + Source.Offset];
    Text   = &Fields->Field[Source.Field];
    Number = Fields->Number[Source.Field];
    switch (Source.Kind) {
      case FieldString:
        if (FindString (Table, Length, &Structure, Value, Text)) {
          TrimString (Text);
        } else {
          Text->Text   = Number;
          Text->Length = 0;
        }

        break;

      case FieldPaddedHex:
        Number[0]    = mHexDigits[Value >> 4];
        Number[1]    = mHexDigits[Value & 0xF];
        Text->Text   = Number;
        Text->Length = 2;
        break;

      default:
        //
        // "%x", then without leading zeros: 0 becomes empty.
        //
        Text->Text   = Number;
        Text->Length = 0;
        if (Value >= 0x10) {
          Number[Text->Length++] = mHexDigits[Value >> 4];
        }

        if (Value != 0) {
          Number[Text->Length++] = mHexDigits[Value & 0xF];
        }

        break;
    }
  }
}
