/** @file
  Morvane booted from a depot: the settings and the image fetched from
  beside the boot file.

**/

#ifndef MORVANE_NET_BOOT_H_
#define MORVANE_NET_BOOT_H_

extern "C" {
#include <Uefi.h>
}

#include "Settings.h"

/**
  Fetch MORVANE.CFG and the image it names from the depot, and lend the
  image to the runs that follow. Nothing is touched on failure; the screen
  says why.

  @param[in]  Base          The depot: the boot file's folder.
  @param[out] Settings      The settings.
  @param[out] Results       Receives the URL the results go to.
  @param[in]  ResultsSize   Its size in bytes.

  @return EFI_SUCCESS, or the failure.
**/
EFI_STATUS
PrepareFromDepot (
  IN  CONST CHAR16      *Base,
  OUT MORVANE_SETTINGS  *Settings,
  OUT CHAR16            *Results,
  IN  UINTN             ResultsSize
  );

/**
  Release the image fetched from the depot.
**/
VOID
ReleaseFetchedImage (
  VOID
  );

#endif
