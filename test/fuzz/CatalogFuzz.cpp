/** @file
  CATALOG.TXT as anyone may have written it: the index is taken whole or
  refused with a line that ends the message; what is taken holds only what
  the fields allow, and a choice from it is always one of its entries.

**/

#include "Fuzz.h"

#include "EcCatalog.h"

namespace {

void
CheckTaken (
  const EC_CATALOG  &Catalog
  )
{
  FUZZ_CHECK (Catalog.Count <= CATALOG_MAX_ENTRIES);
  for (UINTN Index = 0; Index < Catalog.Count; Index++) {
    const CATALOG_ENTRY  &E = Catalog.Entry[Index];
    size_t               Length = std::string (E.Name).size ();

    FUZZ_CHECK (Length >= 1 && Length <= CATALOG_NAME_CHARS);
    FUZZ_CHECK (E.Name[0] != '.' && E.Name[0] != '-' && E.Name[Length - 1] != '.');
    for (size_t At = 0; At < Length; At++) {
      char  C = E.Name[At];
      FUZZ_CHECK ((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '.' || C == '_' || C == '-');
    }

    FUZZ_CHECK (std::string (E.HwIdText).size () == CATALOG_HWID_CHARS);
    FUZZ_CHECK (E.Size >= 1 && E.Size <= CATALOG_MAX_SIZE);
    FUZZ_CHECK (E.Phase >= 1 && E.Phase <= 100);
    for (UINTN Other = 0; Other < Index; Other++) {
      FUZZ_CHECK (E.Version != Catalog.Entry[Other].Version || std::string (E.HwIdText) != Catalog.Entry[Other].HwIdText);
    }
  }
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput (
  const uint8_t  *Data,
  size_t         Size
  )
{
  static EC_CATALOG  Catalog;
  CHAR16             Refusal[CATALOG_REFUSAL_CHARS];
  EFI_STATUS         Status = CatalogParse (Data, Size, reinterpret_cast<const CHAR16 *>(u"CATALOG.TXT"), &Catalog, Refusal, sizeof (Refusal));
  std::u16string     Said   = FuzzText (Refusal, ARRAY_SIZE (Refusal));

  if (EFI_ERROR (Status)) {
    FUZZ_CHECK (Status == EFI_INVALID_PARAMETER);
    FUZZ_CHECK (Said.rfind (u"CATALOG.TXT ", 0) == 0);
    FUZZ_CHECK (Said.size () >= 2 && Said.compare (Said.size () - 2, 2, u"\r\n") == 0);
    return 0;
  }

  FUZZ_CHECK (Said.empty ());
  CheckTaken (Catalog);

  // A machine named by the first entries' HWIDs: the choice is an entry
  // not below the floor.
  EC_HWIDS  Ids = {};
  for (UINTN Index = 0; Index < Catalog.Count && Index < 10; Index++) {
    Ids.Present[Index] = TRUE;
    Ids.Id[Index]      = Catalog.Entry[Index].HwId;
  }

  CATALOG_MACHINE  Machine = { &Ids, TRUE, 0x100, 0x100, "fuzz" };
  UINTN            Chosen  = 0;
  if (CatalogChoose (&Catalog, &Machine, &Chosen) != CatalogNoImage) {
    FUZZ_CHECK (Chosen < Catalog.Count);
    FUZZ_CHECK (Catalog.Entry[Chosen].Version >= 0x100);
  }

  return 0;
}
