/** @file
  Morvane -i: the machine's hardware IDs, the way other tools list them
  (the fields first, then each ID with the fields it is made of), so that an
  operator can pick the ID a capsule is to name, and see why a capsule for
  another one is refused. The IDs that do not name one model, which no
  capsule may name, are marked.

  The fields come from the firmware's SMBIOS table: shown as printable
  ASCII only, cut to the line.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
}

#include "CommandLine.h"
#include "EcCapsule.h"
#include "EcRun.h"
#include "Ucs2.h"

//
// Every line stays within a serial console's 80 columns.
//
#define LINE_CHARS  79

//
// Marks an ID that does not name one model (EcHwIdNamesModel): a family's
// or the maker's, or one that empty fields make the same for other models.
//
#define NOT_MODEL_MARK  u"*"

//
// Where a wrapped list of fields goes on.
//
#define WRAP_INDENT  u"    "

STATIC CONST char16_t  *CONST  mFieldNames[EC_HWID_FIELD_COUNT] = {
  u"Manufacturer",
  u"Family",
  u"ProductName",
  u"ProductSku",
  u"BaseboardManufacturer",
  u"BaseboardProduct",
  u"BiosVendor",
  u"BiosVersion",
  u"BiosMajorRelease",
  u"BiosMinorRelease",
  u"EnclosureKind",
};

/**
  One field and its value: printable ASCII, anything else as '?', cut to
  the line; "(none)" for a field the machine does not give.

  @param[in] Field   Which.
  @param[in] Text    Its text.
**/
STATIC
VOID
ShowField (
  IN EC_HWID_FIELD       Field,
  IN CONST EC_HWID_TEXT  *Text
  )
{
  CHAR16  Line[LINE_CHARS + 1];
  UINTN   Length;
  UINTN   Index;
  UINT8   Byte;

  UnicodeSPrint (Line, sizeof (Line), Ucs2 (u"%s: "), Ucs2 (mFieldNames[Field]));
  Length = StrLen (Line);
  if (Text->Text == NULL) {
    StrCatS (Line, ARRAY_SIZE (Line), Ucs2 (u"(none)"));
    Length = StrLen (Line);
  }

  for (Index = 0; Text->Text != NULL && Index < Text->Length && Length < LINE_CHARS; Index++) {
    Byte = static_cast<UINT8>(Text->Text[Index]);
    if ((Byte & 0xC0) != 0x80) {
      Line[Length++] = ((Byte >= 0x20) && (Byte < 0x7F)) ? Byte : u'?';
    }
  }

  Line[Length] = 0;
  Print (Ucs2 (u"%s\r\n"), Line);
}

/**
  One ID and the fields it is made of, wrapped within LINE_CHARS; an ID
  the machine has that does not name one model carries NOT_MODEL_MARK.

  @param[in] Ids     The machine's IDs.
  @param[in] Index   Which ID.
**/
STATIC
VOID
ShowId (
  IN CONST EC_HWIDS  *Ids,
  IN UINTN           Index
  )
{
  CHAR16  Line[LINE_CHARS + 1];
  CHAR16  Word[LINE_CHARS + 1];
  UINTN   Field;
  UINT32  Set;
  BOOLEAN First;

  if (Ids->Present[Index]) {
    UnicodeSPrint (
      Line,
      sizeof (Line),
      Ucs2 (u"HardwareID-%d:%s{%g} %s <- "),
      Index,
      (Index < 10) ? Ucs2 (u"  ") : Ucs2 (u" "),
      &Ids->Id[Index],
      EcHwIdNamesModel (Ids, Index) ? Ucs2 (u" ") : Ucs2 (NOT_MODEL_MARK)
      );
  } else {
    UnicodeSPrint (Line, sizeof (Line), Ucs2 (u"HardwareID-%d:%s(none: a field is missing)   <- "), Index, (Index < 10) ? Ucs2 (u"  ") : Ucs2 (u" "));
  }

  Set = EcHwIdFieldSet (Index);
  for (Field = 0, First = TRUE; Field < EC_HWID_FIELD_COUNT; Field++) {
    if ((Set & (1u << Field)) == 0) {
      continue;
    }

    UnicodeSPrint (Word, sizeof (Word), First ? Ucs2 (u"%s") : Ucs2 (u" + %s"), Ucs2 (mFieldNames[Field]));
    if (StrLen (Line) + StrLen (Word) > LINE_CHARS) {
      Print (Ucs2 (u"%s\r\n"), Line);
      UnicodeSPrint (Line, sizeof (Line), Ucs2 (WRAP_INDENT u"+ %s"), Ucs2 (mFieldNames[Field]));
    } else {
      StrCatS (Line, ARRAY_SIZE (Line), Word);
    }

    First = FALSE;
  }

  Print (Ucs2 (u"%s\r\n"), Line);
}

EFI_STATUS
ShowMachineIds (
  VOID
  )
{
  EC_HWID_FIELDS  Fields;
  EC_HWIDS        Ids;
  EFI_STATUS      Status;
  UINTN           Index;

  Status = ReadMachineHwIds (&Fields, &Ids);
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"The hardware IDs of this machine could not be computed (%r).\r\n"), Status);
    return Status;
  }

  gST->ConOut->ClearScreen (gST->ConOut);
  Print (Ucs2 (u"Computer Information\r\n--------------------\r\n"));
  for (Index = 0; Index < EC_HWID_FIELD_COUNT; Index++) {
    ShowField (static_cast<EC_HWID_FIELD>(Index), &Fields.Field[Index]);
  }

  Print (Ucs2 (u"Hardware IDs\r\n------------\r\n"));
  for (Index = 0; Index < EC_HWID_COUNT; Index++) {
    ShowId (&Ids, Index);
  }

  Print (Ucs2 (NOT_MODEL_MARK u" does not name one model: Morvane takes no capsule for it.\r\n"));
  return EFI_SUCCESS;
}
