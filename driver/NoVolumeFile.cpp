/** @file
  The run's files for the EC update driver, which has none: its runs name
  no image file (FmpDxe lends the payload in memory), no save file (the
  save stays in memory) and no log. Every call answers that there is no
  such file, so the driver links neither the shell library nor the HII
  libraries beneath it, and never depends on their protocols.

**/

extern "C" {
#include <Uefi.h>
}

#include "VolumeFile.h"

EFI_STATUS
VolumeUseImageVolume (
  IN EFI_HANDLE  ImageHandle
  )
{
  return EFI_NOT_FOUND;
}

VOID
VolumeRelease (
  VOID
  )
{
}

EFI_STATUS
VolumeOpen (
  IN  CONST CHAR16  *Path,
  OUT VOLUME_FILE   *File,
  IN  UINT64        Mode
  )
{
  *File = NULL;
  return EFI_NOT_FOUND;
}

EFI_STATUS
VolumeRead (
  IN     VOLUME_FILE  File,
  IN OUT UINTN        *Size,
  OUT    VOID         *Buffer
  )
{
  return EFI_NOT_FOUND;
}

EFI_STATUS
VolumeWrite (
  IN     VOLUME_FILE  File,
  IN OUT UINTN        *Size,
  IN     CONST VOID   *Buffer
  )
{
  return EFI_NOT_FOUND;
}

EFI_STATUS
VolumeSetPosition (
  IN VOLUME_FILE  File,
  IN UINT64       Position
  )
{
  return EFI_NOT_FOUND;
}

EFI_STATUS
VolumeGetSize (
  IN  VOLUME_FILE  File,
  OUT UINT64       *Size
  )
{
  return EFI_NOT_FOUND;
}

EFI_STATUS
VolumeClose (
  IN OUT VOLUME_FILE  *File
  )
{
  *File = NULL;
  return EFI_SUCCESS;
}

EFI_STATUS
VolumeDelete (
  IN CONST CHAR16  *Path
  )
{
  return EFI_NOT_FOUND;
}

EFI_STATUS
VolumeExists (
  IN CONST CHAR16  *Path
  )
{
  return EFI_NOT_FOUND;
}

EFI_STATUS
ReadFull (
  IN  VOLUME_FILE  File,
  OUT UINT8        *Buffer,
  IN  UINTN        Size,
  OUT UINTN        *Count
  )
{
  *Count = 0;
  return EFI_NOT_FOUND;
}
