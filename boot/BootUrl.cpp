/** @file
  Where a network-booted Morvane came from. The firmware's HTTP boot leaves
  the boot file's URL in a URI node of the device path of the loaded
  image's device handle (the image's own file path is only an end node);
  the folder of that URL is the depot.

  The device path comes from firmware and is walked with its own lengths
  only, a bounded number of nodes, never past an end node.

**/

extern "C" {
#include <Uefi.h>
#include <Protocol/DevicePath.h>
#include <Protocol/LoadedImage.h>
#include <Library/UefiBootServicesTableLib.h>
}

#include "Depot.h"
#include "NetBoot.h"

//
// More nodes than any network device path holds.
//
#define MAX_PATH_NODES  64

BOOLEAN
FindDepotInDevicePath (
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *Path,
  OUT CHAR16                          *Base,
  IN  UINTN                           Size
  )
{
  CONST UINT8  *Node;
  UINTN        Length;
  UINTN        Count;
  UINTN        Index;
  UINTN        Slash;

  Node = reinterpret_cast<CONST UINT8 *>(Path);
  for (Count = 0; Count < MAX_PATH_NODES; Count++) {
    Length = Node[2] | (static_cast<UINTN>(Node[3]) << 8);
    if ((Node[0] == END_DEVICE_PATH_TYPE) || (Length < sizeof (EFI_DEVICE_PATH_PROTOCOL))) {
      return FALSE;
    }

    if ((Node[0] == MESSAGING_DEVICE_PATH) && (Node[1] == MSG_URI_DP)) {
      break;
    }

    Node += Length;
  }

  if (Count == MAX_PATH_NODES) {
    return FALSE;
  }

  //
  // The URI node's text is not terminated: its length is the node's.
  //
  if (Length - sizeof (EFI_DEVICE_PATH_PROTOCOL) >= Size) {
    return FALSE;
  }

  Slash = 0;
  for (Index = 0; Index < Length - sizeof (EFI_DEVICE_PATH_PROTOCOL); Index++) {
    Base[Index] = Node[sizeof (EFI_DEVICE_PATH_PROTOCOL) + Index];
    if (Base[Index] == u'/') {
      Slash = Index + 1;
    }
  }

  Base[Slash] = 0;
  return DepotUrlIsValid (Base);
}

BOOLEAN
FindBootDepot (
  IN  EFI_HANDLE  ImageHandle,
  OUT CHAR16      *Base,
  IN  UINTN       Size
  )
{
  EFI_LOADED_IMAGE_PROTOCOL  *Loaded;
  EFI_DEVICE_PATH_PROTOCOL   *Path;

  if (EFI_ERROR (gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Loaded))) ||
      (Loaded->DeviceHandle == NULL) ||
      EFI_ERROR (gBS->HandleProtocol (Loaded->DeviceHandle, &gEfiDevicePathProtocolGuid, reinterpret_cast<VOID **>(&Path))))
  {
    return FALSE;
  }

  return FindDepotInDevicePath (Path, Base, Size);
}
