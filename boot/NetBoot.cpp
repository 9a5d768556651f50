/** @file
  Morvane booted from a depot by the firmware's HTTP boot: MORVANE.CFG and
  the image come from beside the boot file, once, before any attempt; the
  results go to the depot's results/ folder. There is no local volume: the
  save is kept in memory and sent to the depot before anything is erased.

  The settings file from a depot may not name a depot of its own: a
  machine's results go back where it booted from.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiLib.h>
}

#include "CatalogBoot.h"
#include "Depot.h"
#include "EcCapsule.h"
#include "EcImagePlan.h"
#include "EcRun.h"
#include "NetBoot.h"
#include "Settings.h"
#include "Ucs2.h"

//
// Where a network-booted run's results go, under the depot's folder.
//
#define RESULTS_FOLDER  u"results/"

STATIC UINT8  *mFetchedImage = NULL;

/**
  Fetch MORVANE.CFG from the depot and check it.

  @param[in]  Base       The depot.
  @param[out] Settings   The settings.

  @return EFI_SUCCESS, or the refusal's status (the screen says why).
**/
STATIC
EFI_STATUS
FetchSettings (
  IN  CONST CHAR16      *Base,
  OUT MORVANE_SETTINGS  *Settings
  )
{
  EFI_STATUS  Status;
  UINT8       Text[SETTINGS_MAX_BYTES + 1];
  UINTN       Size;
  CHAR16      Refusal[SETTINGS_REFUSAL_CHARS];

  //
  // One byte past the bound: a larger file is refused by the parser, not
  // cut by the transfer.
  //
  Status = DepotGet ("MORVANE.CFG", Text, sizeof (Text), &Size);
  if (Status == EFI_BUFFER_TOO_SMALL) {
    Size   = sizeof (Text);
    Status = EFI_SUCCESS;
  }

  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"MORVANE.CFG could not be fetched from %s (%r); nothing was done.\r\n"), Base, Status);
    return Status;
  }

  Status = SettingsParse (Text, Size, TRUE, Settings, Refusal, sizeof (Refusal));
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"%s"), Refusal);
  }

  return Status;
}

/**
  Fetch the image the settings name and lend it to the runs. Its CRC-32 is
  checked by each run, before the EC is touched, so that the refusal
  reaches the depot's results.

  @param[in]  Base        The depot.
  @param[in]  Settings    The settings.
  @param[in]  Catalog     The catalogue's choice: its size bounds the fetch.
  @param[out] ImageSize   Receives the image's size.

  @return EFI_SUCCESS, or the failure (the screen says why).
**/
STATIC
EFI_STATUS
FetchImage (
  IN  CONST CHAR16            *Base,
  IN  CONST MORVANE_SETTINGS  *Settings,
  IN  CONST BOOT_CATALOG      *Catalog,
  OUT UINT64                  *ImageSize
  )
{
  EFI_STATUS  Status;
  CHAR8       Name[SETTINGS_NAME_CHARS + 1];
  UINTN       Size;
  UINTN       Limit;

  UnicodeStrToAsciiStrS (Settings->Image, Name, sizeof (Name));
  //
  // Room for a capsule of a whole EC flash; a raw image is still held to
  // 16 MiB below, a capsule's payload by the run.
  // A catalogue's capsule is taken only as large as its index says.
  //
  Limit         = Catalog->Used ? Catalog->Size : MAX_IMAGE_SIZE + EC_CAPSULE_HEADROOM;
  mFetchedImage = static_cast<UINT8 *>(AllocatePool (Limit));
  if (mFetchedImage == NULL) {
    Print (Ucs2 (u"No memory for the image; nothing was done.\r\n"));
    return EFI_OUT_OF_RESOURCES;
  }

  Status = DepotGet (Name, mFetchedImage, Limit, &Size);
  if (!EFI_ERROR (Status) && (Size > MAX_IMAGE_SIZE) && !EcCapsuleLooksLikeOne (mFetchedImage, Size)) {
    Status = EFI_BUFFER_TOO_SMALL;
  }

  if ((Status == EFI_BUFFER_TOO_SMALL) && Catalog->Used) {
    Print (Ucs2 (u"The image %s at %s is larger than %s says (%d bytes); nothing was flashed.\r\n"), Settings->Image, Base, Settings->Catalog, Catalog->Size);
  } else if (Status == EFI_BUFFER_TOO_SMALL) {
    Print (Ucs2 (u"The image %s at %s is larger than 16 MiB; nothing was flashed.\r\n"), Settings->Image, Base);
  } else if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"The image %s could not be fetched from %s (%r); nothing was flashed.\r\n"), Settings->Image, Base, Status);
  }

  if (EFI_ERROR (Status)) {
    FreePool (mFetchedImage);
    mFetchedImage = NULL;
    return Status;
  }

  LendImage (mFetchedImage, Size);
  *ImageSize = Size;
  return EFI_SUCCESS;
}

/**
  Fetch the catalogue's index named by catalog= and choose from it.

  @param[in]      Base       The depot.
  @param[in, out] Settings   The settings; the chosen capsule as image=.
  @param[out]     Catalog    The choice.

  @return EFI_SUCCESS, or the refusal's status (the screen says why).
**/
STATIC
EFI_STATUS
FetchIndex (
  IN     CONST CHAR16      *Base,
  IN OUT MORVANE_SETTINGS  *Settings,
  OUT    BOOT_CATALOG      *Catalog
  )
{
  EFI_STATUS  Status;
  UINT8       *Text;
  UINTN       Size;
  CHAR8       Name[SETTINGS_NAME_CHARS + 1];

  UnicodeStrToAsciiStrS (Settings->Catalog, Name, sizeof (Name));
  Text = static_cast<UINT8 *>(AllocatePool (CATALOG_MAX_BYTES + 1));
  if (Text == NULL) {
    Print (Ucs2 (u"No memory for %s; nothing was done.\r\n"), Settings->Catalog);
    return EFI_OUT_OF_RESOURCES;
  }

  //
  // One byte past the bound, as for MORVANE.CFG: the parser refuses it.
  //
  Status = DepotGet (Name, Text, CATALOG_MAX_BYTES + 1, &Size);
  if (Status == EFI_BUFFER_TOO_SMALL) {
    Size   = CATALOG_MAX_BYTES + 1;
    Status = EFI_SUCCESS;
  }

  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"%s could not be fetched from %s (%r); nothing was done.\r\n"), Settings->Catalog, Base, Status);
  } else {
    Status = ChooseFromIndex (Text, Size, Settings, Catalog);
  }

  FreePool (Text);
  return Status;
}

EFI_STATUS
PrepareFromDepot (
  IN  CONST CHAR16      *Base,
  OUT MORVANE_SETTINGS  *Settings,
  OUT CHAR16            *Results,
  IN  UINTN             ResultsSize,
  OUT UINT64            *ImageSize,
  OUT BOOT_CATALOG      *Catalog
  )
{
  EFI_STATUS  Status;

  *ImageSize = 0;
  ZeroMem (Catalog, sizeof (*Catalog));

  //
  // Every result goes under the depot's results/: a depot address with no
  // room for it would fail each attempt the same way.
  //
  if (StrLen (Base) + StrLen (Ucs2 (RESULTS_FOLDER)) > DEPOT_URL_CHARS) {
    Print (
      Ucs2 (u"The depot's address %s is too long for its results/ folder (at most %d characters); nothing was done.\r\n"),
      Base,
      DEPOT_URL_CHARS - StrLen (Ucs2 (RESULTS_FOLDER))
      );
    return EFI_INVALID_PARAMETER;
  }

  Status = DepotConnect (Base);
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"The depot at %s cannot be reached (%r); nothing was done.\r\n"), Base, Status);
    return Status;
  }

  Status = FetchSettings (Base, Settings);
  if (!EFI_ERROR (Status) && Settings->HasCatalog) {
    Status = FetchIndex (Base, Settings, Catalog);
  }

  //
  // Only the chosen capsule is fetched; nothing when the catalogue has
  // none for this machine, or the EC has it already.
  //
  if (!EFI_ERROR (Status) && (!Catalog->Used || (Catalog->Choice == CatalogFetch))) {
    Status = FetchImage (Base, Settings, Catalog, ImageSize);
  }

  DepotClose ();
  UnicodeSPrint (Results, ResultsSize, Ucs2 (u"%s%s"), Base, Ucs2 (RESULTS_FOLDER));
  return Status;
}

VOID
ReleaseFetchedImage (
  VOID
  )
{
  if (mFetchedImage != NULL) {
    ReturnImage ();
    FreePool (mFetchedImage);
    mFetchedImage = NULL;
  }
}
