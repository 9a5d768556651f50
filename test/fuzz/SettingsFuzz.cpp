/** @file
  MORVANE.CFG as anyone may have written it, read both from a stick and
  from a depot: the file is taken whole or refused with a line that ends
  the message; what is taken holds only what the keys allow.

**/

#include "Fuzz.h"

#include "Depot.h"
#include "Settings.h"

namespace {

bool
IsNameChar (
  char16_t  C
  )
{
  return (C >= u'a' && C <= u'z') || (C >= u'A' && C <= u'Z') || (C >= u'0' && C <= u'9') ||
         C == u'.' || C == u'_' || C == u'-';
}

void
CheckTaken (
  const MORVANE_SETTINGS  &S,
  BOOLEAN                 FromDepot
  )
{
  std::u16string  Image   = FuzzText (S.Image, ARRAY_SIZE (S.Image));
  std::u16string  Catalog = FuzzText (S.Catalog, ARRAY_SIZE (S.Catalog));

  // Exactly one of image= and catalog=; with catalog=, no crc32= or model=.
  FUZZ_CHECK (Image.empty () == S.HasCatalog);
  FUZZ_CHECK (Catalog.empty () == !S.HasCatalog);
  FUZZ_CHECK (!S.HasCatalog || (!S.HasCrc && !S.HasModel));
  for (char16_t C : Image + Catalog) {
    FUZZ_CHECK (IsNameChar (C));
  }

  if (S.HasModel) {
    std::u16string  Model = FuzzText (S.Model, ARRAY_SIZE (S.Model));
    FUZZ_CHECK (Model.find_first_not_of (u' ') != std::u16string::npos);
    for (char16_t C : Model) {
      FUZZ_CHECK (C >= 0x20 && C < 0x7F);
    }
  }

  if (S.HasDepot) {
    FUZZ_CHECK (!FromDepot);
    FUZZ_CHECK (DepotUrlIsValid (S.Depot));
  }
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput (
  const uint8_t  *Data,
  size_t         Size
  )
{
  for (BOOLEAN FromDepot : { FALSE, TRUE }) {
    MORVANE_SETTINGS  Settings;
    CHAR16            Refusal[SETTINGS_REFUSAL_CHARS];
    EFI_STATUS        Status = SettingsParse (Data, Size, FromDepot, &Settings, Refusal, sizeof (Refusal));
    std::u16string    Said   = FuzzText (Refusal, ARRAY_SIZE (Refusal));

    if (!EFI_ERROR (Status)) {
      FUZZ_CHECK (Status == EFI_SUCCESS);
      FUZZ_CHECK (Said.empty ());
      CheckTaken (Settings, FromDepot);
    } else {
      // The refusal is shown as it is: a whole line, the file named.
      FUZZ_CHECK (Status == EFI_INVALID_PARAMETER);
      FUZZ_CHECK (Said.rfind (u"MORVANE.CFG ", 0) == 0);
      FUZZ_CHECK (Said.size () >= 2 && Said.compare (Said.size () - 2, 2, u"\r\n") == 0);
    }
  }

  return 0;
}
