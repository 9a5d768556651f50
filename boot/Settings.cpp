/** @file
  MORVANE.CFG read into settings. The file comes from a stick anyone may
  have edited, so every byte is checked and the first fault refuses the
  whole file, by its line number, before any device is touched.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/PrintLib.h>
}

#include "Settings.h"
#include "Ucs2.h"

#define CRC_DIGITS  8

//
// Most characters of an unknown key a refusal repeats: a line may hold a
// key of 255, and the refusal must keep its end ("nothing was done" and
// the line end) within SETTINGS_REFUSAL_CHARS.
//
#define KEY_SHOWN   32

typedef enum {
  KeyImage,
  KeyCrc,
  KeyModel,
  KeyUpdate,
  KeySave,
  KeyDepot,
  KeyCatalog,
  KeyCount
} SETTINGS_KEY;

typedef struct {
  CONST char        *Name;
  CONST char16_t    *Hint;      ///< what a good value looks like
} KEY_INFO;

STATIC CONST KEY_INFO  mKeys[KeyCount] = {
  { "image",  u"a file name of letters, digits, '.', '_' and '-', at most 64 characters, not ending in '.'" },
  { "crc32",  u"8 hexadecimal digits"                                                     },
  { "model",  u"printable ASCII, not blank, at most 64 characters"                       },
  { "update", u"yes or no"                                                                },
  { "save",   u"yes or no"                                                                },
  { "depot",  u"an http:// URL ending in '/'"                                             },
  { "catalog", u"a file name of letters, digits, '.', '_' and '-', at most 64 characters, not ending in '.'" },
};

//
// What a catalogue's index gives for each capsule itself, so that the
// settings may not: its file (image), its CRC-32, the machine it is for.
//
STATIC CONST SETTINGS_KEY  mNotWithCatalog[] = { KeyImage, KeyCrc, KeyModel };

//
// Files of the stick's own that an image name must not take: flashing the
// log, or these settings, would be a mistake that reads as a success.
//
STATIC CONST char  *CONST  mOwnFiles[] = { "MORVANE.CFG", "MORVANE.LOG" };

/**
  One line of the file, as the parser sees it.
**/
typedef struct {
  CONST CHAR8    *Text;
  UINTN          Length;
  UINTN          Number;
} SETTINGS_LINE;

/**
  Compare a counted ASCII text with a name, with or without regard to case.
**/
STATIC
BOOLEAN
SameText (
  IN CONST CHAR8  *Text,
  IN UINTN        Length,
  IN CONST char   *Name,
  IN BOOLEAN      AnyCase
  )
{
  UINTN  Index;
  CHAR8  A;
  CHAR8  B;

  for (Index = 0; Index < Length; Index++) {
    A = Text[Index];
    B = Name[Index];
    if (AnyCase) {
      A = ((A >= 'a') && (A <= 'z')) ? static_cast<CHAR8>(A - 'a' + 'A') : A;
      B = ((B >= 'a') && (B <= 'z')) ? static_cast<CHAR8>(B - 'a' + 'A') : B;
    }

    if ((B == 0) || (A != B)) {
      return FALSE;
    }
  }

  return Name[Length] == 0;
}

/**
  Copy a counted ASCII value into a CHAR16 field.
**/
STATIC
VOID
CopyValue (
  IN  CONST CHAR8  *Value,
  IN  UINTN        Length,
  OUT CHAR16       *Field
  )
{
  UINTN  Index;

  for (Index = 0; Index < Length; Index++) {
    Field[Index] = static_cast<CHAR16>(Value[Index]);
  }

  Field[Length] = 0;
}

/**
  A file name (image= or catalog=): letters, digits, '.', '_', '-'; at
  least one letter or digit, so that "." and ".." never name a folder; no
  trailing '.'; none of the stick's own files.
**/
STATIC
BOOLEAN
ReadFileName (
  IN  CONST CHAR8  *Value,
  IN  UINTN        Length,
  OUT CHAR16       *Field
  )
{
  UINTN    Index;
  BOOLEAN  Named;
  CHAR8    C;

  Named = FALSE;
  for (Index = 0; Index < Length; Index++) {
    C = Value[Index];
    if (((C >= 'a') && (C <= 'z')) || ((C >= 'A') && (C <= 'Z')) || ((C >= '0') && (C <= '9'))) {
      Named = TRUE;
    } else if ((C != '.') && (C != '_') && (C != '-')) {
      return FALSE;
    }
  }

  //
  // A FAT volume drops a trailing dot: "MORVANE.CFG." would open the
  // settings file itself, "ec.bin." another file than the one named.
  //
  if ((Length > 0) && (Value[Length - 1] == '.')) {
    return FALSE;
  }

  for (Index = 0; Index < ARRAY_SIZE (mOwnFiles); Index++) {
    if (SameText (Value, Length, mOwnFiles[Index], TRUE)) {
      return FALSE;
    }
  }

  if (!Named || (Length > SETTINGS_NAME_CHARS)) {
    return FALSE;
  }

  CopyValue (Value, Length, Field);
  return TRUE;
}

/**
  A CRC-32: exactly eight hexadecimal digits, either case.
**/
STATIC
BOOLEAN
ReadCrcValue (
  IN  CONST CHAR8       *Value,
  IN  UINTN             Length,
  OUT MORVANE_SETTINGS  *Settings
  )
{
  UINTN  Index;
  CHAR8  C;
  UINT32  Digit;

  if (Length != CRC_DIGITS) {
    return FALSE;
  }

  Settings->Crc    = 0;
  Settings->HasCrc = TRUE;
  for (Index = 0; Index < CRC_DIGITS; Index++) {
    C = Value[Index];
    if ((C >= '0') && (C <= '9')) {
      Digit = static_cast<UINT32>(C - '0');
    } else if ((C >= 'a') && (C <= 'f')) {
      Digit = static_cast<UINT32>(C - 'a' + 10);
    } else if ((C >= 'A') && (C <= 'F')) {
      Digit = static_cast<UINT32>(C - 'A' + 10);
    } else {
      return FALSE;
    }

    Settings->Crc = (Settings->Crc << 4) | Digit;
  }

  return TRUE;
}

/**
  A model as -m takes it: printable ASCII (the line was checked), not
  blank, at most SETTINGS_MODEL_CHARS characters.
**/
STATIC
BOOLEAN
ReadModelValue (
  IN  CONST CHAR8       *Value,
  IN  UINTN             Length,
  OUT MORVANE_SETTINGS  *Settings
  )
{
  UINTN  Index;

  for (Index = 0; Index < Length && Value[Index] == ' '; Index++) {
  }

  if ((Index == Length) || (Length > SETTINGS_MODEL_CHARS)) {
    return FALSE;
  }

  CopyValue (Value, Length, Settings->Model);
  Settings->HasModel = TRUE;
  return TRUE;
}

/**
  yes or no.
**/
STATIC
BOOLEAN
ReadYesNo (
  IN  CONST CHAR8  *Value,
  IN  UINTN        Length,
  OUT BOOLEAN      *Flag
  )
{
  *Flag = SameText (Value, Length, "yes", FALSE);
  return *Flag || SameText (Value, Length, "no", FALSE);
}

/**
  Check and store one value.

  @retval TRUE   The value holds.
**/
STATIC
BOOLEAN
ReadValue (
  IN  SETTINGS_KEY      Key,
  IN  CONST CHAR8       *Value,
  IN  UINTN             Length,
  OUT MORVANE_SETTINGS  *Settings
  )
{
  switch (Key) {
    case KeyImage:
      return ReadFileName (Value, Length, Settings->Image);
    case KeyCatalog:
      Settings->HasCatalog = ReadFileName (Value, Length, Settings->Catalog);
      return Settings->HasCatalog;
    case KeyCrc:
      return ReadCrcValue (Value, Length, Settings);
    case KeyModel:
      return ReadModelValue (Value, Length, Settings);
    case KeyUpdate:
      return ReadYesNo (Value, Length, &Settings->Update);
    case KeySave:
      return ReadYesNo (Value, Length, &Settings->Save);
    default:
      if (Length > DEPOT_URL_CHARS) {
        return FALSE;
      }

      CopyValue (Value, Length, Settings->Depot);
      Settings->HasDepot = DepotUrlIsValid (Settings->Depot);
      return Settings->HasDepot;
  }
}

/**
  Format the refusal of the file at a line.

  @param[out] Refusal       The refusal text.
  @param[in]  RefusalSize   Its size in bytes.
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
  IN  UINTN         Line,
  IN  CONST CHAR16  *Format,
  ...
  )
{
  CHAR16   What[SETTINGS_REFUSAL_CHARS];
  VA_LIST  Marker;

  VA_START (Marker, Format);
  UnicodeVSPrint (What, sizeof (What), Format, Marker);
  VA_END (Marker);
  if (Line == 0) {
    UnicodeSPrint (Refusal, RefusalSize, Ucs2 (u"%s %s; nothing was done.\r\n"), Ucs2 (SETTINGS_FILE_NAME), What);
  } else {
    UnicodeSPrint (Refusal, RefusalSize, Ucs2 (u"%s line %d: %s; nothing was done.\r\n"), Ucs2 (SETTINGS_FILE_NAME), Line, What);
  }

  return EFI_INVALID_PARAMETER;
}

/**
  Whether a key may not stand beside another already given: catalog= with
  image=, crc32= or model=, which the index gives for each capsule.

  @param[in]  Key     The key of this line.
  @param[in]  Given   Which keys were given so far.
  @param[out] Other   The key it conflicts with.

  @retval TRUE   The key is refused.
**/
STATIC
BOOLEAN
ConflictsWithCatalog (
  IN  SETTINGS_KEY   Key,
  IN  CONST BOOLEAN  *Given,
  OUT SETTINGS_KEY   *Other
  )
{
  UINTN  Index;

  for (Index = 0; Index < ARRAY_SIZE (mNotWithCatalog); Index++) {
    *Other = (Key == KeyCatalog) ? mNotWithCatalog[Index] : KeyCatalog;
    if (((Key == KeyCatalog) || (Key == mNotWithCatalog[Index])) && Given[*Other]) {
      return TRUE;
    }
  }

  return FALSE;
}

/**
  Read one line that is neither blank nor a comment.

  @param[in]      Line         The line.
  @param[in]      FromDepot    A depot= line is refused.
  @param[in, out] Given        Which keys were given so far.
  @param[out]     Settings     The settings.
  @param[out]     Refusal      The refusal text.
  @param[in]      RefusalSize  Its size in bytes.

  @return EFI_SUCCESS, or EFI_INVALID_PARAMETER with Refusal set.
**/
STATIC
EFI_STATUS
ReadLine (
  IN     CONST SETTINGS_LINE  *Line,
  IN     BOOLEAN              FromDepot,
  IN OUT BOOLEAN              *Given,
  OUT    MORVANE_SETTINGS     *Settings,
  OUT    CHAR16               *Refusal,
  IN     UINTN                RefusalSize
  )
{
  CHAR8         Key[SETTINGS_LINE_CHARS + 1];
  UINTN         KeyLength;
  UINTN         Index;
  SETTINGS_KEY  Other;

  for (KeyLength = 0; KeyLength < Line->Length && Line->Text[KeyLength] != '='; KeyLength++) {
  }

  if ((KeyLength == 0) || (KeyLength == Line->Length)) {
    return Refuse (Refusal, RefusalSize, Line->Number, Ucs2 (u"not key=value"));
  }

  if ((Line->Text[KeyLength - 1] == ' ') || ((KeyLength + 1 < Line->Length) && (Line->Text[KeyLength + 1] == ' '))) {
    return Refuse (Refusal, RefusalSize, Line->Number, Ucs2 (u"a space around '='"));
  }

  CopyMem (Key, Line->Text, KeyLength);
  Key[KeyLength] = 0;
  for (Index = 0; Index < KeyCount && !SameText (Key, KeyLength, mKeys[Index].Name, FALSE); Index++) {
  }

  if ((Index == KeyCount) && (KeyLength > KEY_SHOWN)) {
    return Refuse (Refusal, RefusalSize, Line->Number, Ucs2 (u"unknown key '%.*a...'"), static_cast<UINTN>(KEY_SHOWN), Key);
  }

  if (Index == KeyCount) {
    return Refuse (Refusal, RefusalSize, Line->Number, Ucs2 (u"unknown key '%a'"), Key);
  }

  if (Given[Index]) {
    return Refuse (Refusal, RefusalSize, Line->Number, Ucs2 (u"'%a' given twice"), Key);
  }

  if ((Index == KeyDepot) && FromDepot) {
    return Refuse (Refusal, RefusalSize, Line->Number, Ucs2 (u"'%a' is not taken from a depot"), Key);
  }

  if (ConflictsWithCatalog (static_cast<SETTINGS_KEY>(Index), Given, &Other)) {
    return Refuse (Refusal, RefusalSize, Line->Number, Ucs2 (u"'%a' and '%a' are not given together"), Key, mKeys[Other].Name);
  }

  Given[Index] = TRUE;
  if (!ReadValue (static_cast<SETTINGS_KEY>(Index), Line->Text + KeyLength + 1, Line->Length - KeyLength - 1, Settings)) {
    return Refuse (Refusal, RefusalSize, Line->Number, Ucs2 (u"bad value for '%a' (%s)"), Key, Ucs2 (mKeys[Index].Hint));
  }

  return EFI_SUCCESS;
}

/**
  Check that a line is printable ASCII and not too long.

  @return EFI_SUCCESS, or EFI_INVALID_PARAMETER with Refusal set.
**/
STATIC
EFI_STATUS
CheckLineText (
  IN  CONST SETTINGS_LINE  *Line,
  OUT CHAR16               *Refusal,
  IN  UINTN                RefusalSize
  )
{
  UINTN  Index;

  if (Line->Length > SETTINGS_LINE_CHARS) {
    return Refuse (Refusal, RefusalSize, Line->Number, Ucs2 (u"longer than %d characters"), SETTINGS_LINE_CHARS);
  }

  for (Index = 0; Index < Line->Length; Index++) {
    if ((Line->Text[Index] < 0x20) || (Line->Text[Index] >= 0x7F)) {
      return Refuse (Refusal, RefusalSize, Line->Number, Ucs2 (u"not printable ASCII"));
    }
  }

  return EFI_SUCCESS;
}

EFI_STATUS
SettingsParse (
  IN  CONST UINT8       *Text,
  IN  UINTN             Size,
  IN  BOOLEAN           FromDepot,
  OUT MORVANE_SETTINGS  *Settings,
  OUT CHAR16            *Refusal,
  IN  UINTN             RefusalSize
  )
{
  STATIC CONST UINT8  Bom[] = { 0xEF, 0xBB, 0xBF };
  EFI_STATUS          Status;
  SETTINGS_LINE       Line;
  BOOLEAN             Given[KeyCount];
  UINTN               Offset;
  UINTN               End;

  ZeroMem (Settings, sizeof (*Settings));
  ZeroMem (Given, sizeof (Given));
  Settings->Update = TRUE;
  Settings->Save   = TRUE;
  Refusal[0]       = 0;
  if (Size > SETTINGS_MAX_BYTES) {
    return Refuse (Refusal, RefusalSize, 0, Ucs2 (u"is larger than %d bytes"), SETTINGS_MAX_BYTES);
  }

  Offset = ((Size >= sizeof (Bom)) && (CompareMem (Text, Bom, sizeof (Bom)) == 0)) ? sizeof (Bom) : 0;
  for (Line.Number = 1; Offset < Size; Line.Number++, Offset = End + 1) {
    for (End = Offset; End < Size && Text[End] != '\n'; End++) {
    }

    Line.Text   = reinterpret_cast<CONST CHAR8 *>(Text + Offset);
    Line.Length = End - Offset;
    if ((Line.Length > 0) && (Line.Text[Line.Length - 1] == '\r')) {
      Line.Length--;
    }

    Status = CheckLineText (&Line, Refusal, RefusalSize);
    if (!EFI_ERROR (Status) && (Line.Length > 0) && (Line.Text[0] != '#')) {
      Status = ReadLine (&Line, FromDepot, Given, Settings, Refusal, RefusalSize);
    }

    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  //
  // Without crc32= only a capsule whose signature Morvane checks is taken;
  // the run tells once it has read the image. A catalogue gives each
  // capsule's CRC-32 in its index.
  //
  if (!Given[KeyImage] && !Given[KeyCatalog]) {
    return Refuse (Refusal, RefusalSize, 0, Ucs2 (u"has no %a= or %a= line"), "image", "catalog");
  }

  return EFI_SUCCESS;
}
