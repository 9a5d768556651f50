/** @file
  The run's files through the shell library, or on Morvane's own volume
  when the firmware started it without a shell.

  The volume is the one Morvane's image was loaded from (its loaded image's
  DeviceHandle), never another disk: a boot stick must not flash an image,
  or write a save, that some internal disk happens to hold.

**/

extern "C" {
#include <Uefi.h>
#include <Library/ShellLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/SimpleFileSystem.h>
}

#include "VolumeFile.h"

//
// The position a file is moved to for its size: the end.
//
#define END_OF_FILE  0xFFFFFFFFFFFFFFFFULL

STATIC EFI_FILE_PROTOCOL  *mRoot = NULL;

/**
  The volume's file behind a handle.
**/
STATIC
EFI_FILE_PROTOCOL *
AsFile (
  IN VOLUME_FILE  File
  )
{
  return static_cast<EFI_FILE_PROTOCOL *>(File);
}

EFI_STATUS
VolumeUseImageVolume (
  IN EFI_HANDLE  ImageHandle
  )
{
  EFI_STATUS                       Status;
  EFI_LOADED_IMAGE_PROTOCOL        *Loaded;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  *Volume;

  Status = gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Loaded));
  if (EFI_ERROR (Status) || (Loaded->DeviceHandle == NULL)) {
    return EFI_NOT_FOUND;
  }

  Status = gBS->HandleProtocol (Loaded->DeviceHandle, &gEfiSimpleFileSystemProtocolGuid, reinterpret_cast<VOID **>(&Volume));
  if (EFI_ERROR (Status)) {
    return EFI_NOT_FOUND;
  }

  VolumeRelease ();
  return Volume->OpenVolume (Volume, &mRoot);
}

VOID
VolumeRelease (
  VOID
  )
{
  if (mRoot != NULL) {
    mRoot->Close (mRoot);
    mRoot = NULL;
  }
}

EFI_STATUS
VolumeOpen (
  IN  CONST CHAR16  *Path,
  OUT VOLUME_FILE   *File,
  IN  UINT64        Mode
  )
{
  EFI_STATUS         Status;
  EFI_FILE_PROTOCOL  *Opened;

  *File = NULL;
  if (mRoot == NULL) {
    return ShellOpenFileByName (Path, reinterpret_cast<SHELL_FILE_HANDLE *>(File), Mode, 0);
  }

  Opened = NULL;
  Status = mRoot->Open (mRoot, &Opened, const_cast<CHAR16 *>(Path), Mode, 0);
  *File  = EFI_ERROR (Status) ? NULL : Opened;
  return Status;
}

EFI_STATUS
VolumeRead (
  IN     VOLUME_FILE  File,
  IN OUT UINTN        *Size,
  OUT    VOID         *Buffer
  )
{
  if (mRoot == NULL) {
    return ShellReadFile (File, Size, Buffer);
  }

  return AsFile (File)->Read (AsFile (File), Size, Buffer);
}

EFI_STATUS
VolumeWrite (
  IN     VOLUME_FILE  File,
  IN OUT UINTN        *Size,
  IN     CONST VOID   *Buffer
  )
{
  if (mRoot == NULL) {
    return ShellWriteFile (File, Size, const_cast<VOID *>(Buffer));
  }

  return AsFile (File)->Write (AsFile (File), Size, const_cast<VOID *>(Buffer));
}

EFI_STATUS
VolumeSetPosition (
  IN VOLUME_FILE  File,
  IN UINT64       Position
  )
{
  if (mRoot == NULL) {
    return ShellSetFilePosition (File, Position);
  }

  return AsFile (File)->SetPosition (AsFile (File), Position);
}

EFI_STATUS
VolumeGetSize (
  IN  VOLUME_FILE  File,
  OUT UINT64       *Size
  )
{
  EFI_STATUS  Status;
  UINT64      Kept;

  if (mRoot == NULL) {
    return ShellGetFileSize (File, Size);
  }

  //
  // The end of a file is its size; a directory refuses the move, so it is
  // never taken for an image.
  //
  Status = AsFile (File)->GetPosition (AsFile (File), &Kept);
  if (!EFI_ERROR (Status)) {
    Status = AsFile (File)->SetPosition (AsFile (File), END_OF_FILE);
  }

  if (!EFI_ERROR (Status)) {
    Status = AsFile (File)->GetPosition (AsFile (File), Size);
  }

  if (!EFI_ERROR (Status)) {
    Status = AsFile (File)->SetPosition (AsFile (File), Kept);
  }

  return Status;
}

EFI_STATUS
VolumeClose (
  IN OUT VOLUME_FILE  *File
  )
{
  EFI_STATUS  Status;

  if (mRoot == NULL) {
    return ShellCloseFile (reinterpret_cast<SHELL_FILE_HANDLE *>(File));
  }

  Status = AsFile (*File)->Close (AsFile (*File));
  *File  = NULL;
  return Status;
}

EFI_STATUS
VolumeDelete (
  IN CONST CHAR16  *Path
  )
{
  EFI_STATUS   Status;
  VOLUME_FILE  File;

  if (mRoot == NULL) {
    return ShellDeleteFileByName (Path);
  }

  Status = VolumeOpen (Path, &File, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // Delete closes the handle even when it fails.
  //
  Status = AsFile (File)->Delete (AsFile (File));
  return (Status == EFI_WARN_DELETE_FAILURE) ? EFI_ACCESS_DENIED : Status;
}

EFI_STATUS
VolumeExists (
  IN CONST CHAR16  *Path
  )
{
  EFI_STATUS   Status;
  VOLUME_FILE  File;

  if (mRoot == NULL) {
    return ShellFileExists (Path);
  }

  Status = VolumeOpen (Path, &File, EFI_FILE_MODE_READ);
  if (!EFI_ERROR (Status)) {
    VolumeClose (&File);
  }

  return Status;
}

EFI_STATUS
ReadFull (
  IN  VOLUME_FILE  File,
  OUT UINT8        *Buffer,
  IN  UINTN        Size,
  OUT UINTN        *Count
  )
{
  EFI_STATUS  Status;
  UINTN       Read;

  for (*Count = 0; *Count < Size; *Count += Read) {
    Read   = Size - *Count;
    Status = VolumeRead (File, &Read, Buffer + *Count);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    if (Read == 0) {
      break;
    }
  }

  return EFI_SUCCESS;
}
