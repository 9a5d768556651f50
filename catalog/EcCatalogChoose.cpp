/** @file
  The machine's choice from the index: the newest capsule that names this
  machine, clears its version floor and whose phase it is in. A pure
  function of the index and what the machine knows of itself, so that host
  tests cover every rule.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseCryptLib.h>
#include <Library/BaseLib.h>
#include <Library/PrintLib.h>
}

#include "EcCatalog.h"
#include "Ucs2.h"

#define PHASE_TEXT_CHARS  (CATALOG_IDENTITY_CHARS + CATALOG_HWID_CHARS + CATALOG_VERSION_CHARS + 3)
#define ALL_MACHINES      100

VOID
CatalogIdentity (
  IN  CONST CHAR16  *Uuid,
  IN  CONST CHAR16  *Serial,
  OUT CHAR8         *Identity,
  IN  UINTN         Size
  )
{
  CONST CHAR16  *From;
  BOOLEAN       IsUuid;
  UINTN         Index;
  CHAR16        C;

  //
  // The UUID is the machine's own; a serial may be a placeholder that many
  // machines share, so it is taken only when there is no UUID.
  //
  IsUuid = (Uuid[0] != 0) && (StrCmp (Uuid, Ucs2 (u"-")) != 0);
  From   = IsUuid ? Uuid : Serial;
  for (Index = 0; From[Index] != 0 && Index + 1 < Size && Index < CATALOG_IDENTITY_CHARS; Index++) {
    C               = From[Index];
    C               = (IsUuid && (C >= u'A') && (C <= u'Z')) ? static_cast<CHAR16>(C - u'A' + u'a') : C;
    Identity[Index] = ((C >= 0x20) && (C < 0x7F)) ? static_cast<CHAR8>(C) : '?';
  }

  Identity[Index] = 0;
}

BOOLEAN
CatalogInPhase (
  IN CONST CHAR8          *Identity,
  IN CONST CATALOG_ENTRY  *Entry
  )
{
  CHAR8   Text[PHASE_TEXT_CHARS + 1];
  UINTN   Length;
  UINT8   Digest[SHA1_DIGEST_SIZE];
  UINT32  Hash;

  if (Entry->Phase >= ALL_MACHINES) {
    return TRUE;
  }

  Length = AsciiSPrint (Text, sizeof (Text), "%a/%a/0x%08X", Identity, Entry->HwIdText, Entry->Version);

  //
  // A hash that cannot be computed offers nothing but the entries for
  // every machine: a phased capsule must never reach more machines.
  //
  if (!Sha1HashAll (Text, Length, Digest)) {
    return FALSE;
  }

  Hash = (static_cast<UINT32>(Digest[0]) << 24) | (static_cast<UINT32>(Digest[1]) << 16) |
         (static_cast<UINT32>(Digest[2]) << 8) | Digest[3];
  return (Hash % ALL_MACHINES) < Entry->Phase;
}

CATALOG_CHOICE
CatalogChoose (
  IN  CONST EC_CATALOG       *Catalog,
  IN  CONST CATALOG_MACHINE  *Machine,
  OUT UINTN                  *Chosen
  )
{
  UINTN                Index;
  BOOLEAN              Found;
  CONST CATALOG_ENTRY  *Entry;

  Found = FALSE;
  for (Index = 0; Index < Catalog->Count; Index++) {
    Entry = &Catalog->Entry[Index];
    if (Found && (Entry->Version <= Catalog->Entry[*Chosen].Version)) {
      continue;
    }

    if ((Entry->Version >= Machine->LowestSupported) && EcHwIdsMatch (Machine->Ids, &Entry->HwId, NULL) &&
        CatalogInPhase (Machine->Identity, Entry))
    {
      *Chosen = Index;
      Found   = TRUE;
    }
  }

  if (!Found) {
    return CatalogNoImage;
  }

  if (Machine->HasRecord && (Catalog->Entry[*Chosen].Version == Machine->Version)) {
    return CatalogUpToDate;
  }

  return CatalogFetch;
}
