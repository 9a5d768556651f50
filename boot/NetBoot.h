/** @file
  Morvane booted from a depot: where it came from, and the settings and
  the image fetched from beside the boot file.

**/

#ifndef MORVANE_NET_BOOT_H_
#define MORVANE_NET_BOOT_H_

extern "C" {
#include <Uefi.h>
#include <Protocol/DevicePath.h>
}

#include "CatalogBoot.h"
#include "Settings.h"

/**
  Fetch MORVANE.CFG and the image it names from the depot (with catalog=,
  the index and then only the capsule chosen from it), and lend the image
  to the runs that follow. Nothing is touched on failure; the screen says
  why.

  @param[in]  Base          The depot: the boot file's folder.
  @param[out] Settings      The settings.
  @param[out] Results       Receives the URL the results go to.
  @param[in]  ResultsSize   Its size in bytes.
  @param[out] ImageSize     Receives the image's size (0 when none was fetched).
  @param[out] Catalog       The catalogue's choice (Used FALSE without catalog=).

  @return EFI_SUCCESS, or the failure.
**/
EFI_STATUS
PrepareFromDepot (
  IN  CONST CHAR16      *Base,
  OUT MORVANE_SETTINGS  *Settings,
  OUT CHAR16            *Results,
  IN  UINTN             ResultsSize,
  OUT UINT64            *ImageSize,
  OUT BOOT_CATALOG      *Catalog
  );

/**
  Release the image fetched from the depot.
**/
VOID
ReleaseFetchedImage (
  VOID
  );

/**
  Find the depot a network-booted Morvane came from in a device path: the
  folder of the URL in its URI node.

  @param[in]  Path   The device path.
  @param[out] Base   Receives the folder's URL, ending in '/'.
  @param[in]  Size   Its size in characters.

  @retval TRUE   The path holds a URI node whose folder is a depot URL.
**/
BOOLEAN
FindDepotInDevicePath (
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *Path,
  OUT CHAR16                          *Base,
  IN  UINTN                           Size
  );

/**
  Find the depot of a network-booted Morvane from its loaded image's device
  handle.

  @param[in]  ImageHandle   Morvane's image handle.
  @param[out] Base          Receives the depot's URL.
  @param[in]  Size          Its size in characters.

  @retval TRUE   Morvane was booted from a depot.
**/
BOOLEAN
FindBootDepot (
  IN  EFI_HANDLE  ImageHandle,
  OUT CHAR16      *Base,
  IN  UINTN       Size
  );

#endif
