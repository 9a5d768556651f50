/** @file
  The run's files: the image, the save file and the run log. Started from
  the shell they go through the shell library, with the shell's paths;
  started by the firmware they are names on Morvane's own volume.

**/

#ifndef MORVANE_VOLUME_FILE_H_
#define MORVANE_VOLUME_FILE_H_

extern "C" {
#include <Uefi.h>
#include <Protocol/SimpleFileSystem.h>
}

//
// An open file: a shell file handle, or an EFI_FILE_PROTOCOL of the volume.
//
typedef VOID  *VOLUME_FILE;

/**
  Take the files from now on from the volume Morvane was loaded from,
  rather than through the shell.

  @param[in] ImageHandle   Morvane's image handle.

  @retval EFI_SUCCESS     The volume's root is open.
  @retval EFI_NOT_FOUND   The image came from no file system.
  @return                 The failure of the volume's OpenVolume.
**/
EFI_STATUS
VolumeUseImageVolume (
  IN EFI_HANDLE  ImageHandle
  );

/**
  Close the volume's root; the files go through the shell again.
**/
VOID
VolumeRelease (
  VOID
  );

/**
  Open a file.

  @param[in]  Path   The file.
  @param[out] File   The open file; NULL on failure.
  @param[in]  Mode   EFI_FILE_MODE_* bits.

  @return The status of the open.
**/
EFI_STATUS
VolumeOpen (
  IN  CONST CHAR16  *Path,
  OUT VOLUME_FILE   *File,
  IN  UINT64        Mode
  );

/**
  Read from the file's position on.

  @param[in]      File     The file.
  @param[in, out] Size     Bytes asked; bytes read.
  @param[out]     Buffer   Receives them.

  @return The status of the read.
**/
EFI_STATUS
VolumeRead (
  IN     VOLUME_FILE  File,
  IN OUT UINTN        *Size,
  OUT    VOID         *Buffer
  );

/**
  Write at the file's position.

  @param[in]      File     The file.
  @param[in, out] Size     Bytes to write; bytes written.
  @param[in]      Buffer   The bytes.

  @return The status of the write.
**/
EFI_STATUS
VolumeWrite (
  IN     VOLUME_FILE  File,
  IN OUT UINTN        *Size,
  IN     CONST VOID   *Buffer
  );

/**
  Move the file's position.

  @param[in] File       The file.
  @param[in] Position   The new position.

  @return The status of the move.
**/
EFI_STATUS
VolumeSetPosition (
  IN VOLUME_FILE  File,
  IN UINT64       Position
  );

/**
  The size of an open file; its position is kept.

  @param[in]  File   The file.
  @param[out] Size   Its size.

  @return The status; a directory has no size (EFI_UNSUPPORTED).
**/
EFI_STATUS
VolumeGetSize (
  IN  VOLUME_FILE  File,
  OUT UINT64       *Size
  );

/**
  Close a file (flushing it) and forget its handle.

  @param[in, out] File   The file; NULL afterwards.

  @return The status of the close.
**/
EFI_STATUS
VolumeClose (
  IN OUT VOLUME_FILE  *File
  );

/**
  Delete a file.

  @param[in] Path   The file.

  @return The status of the delete.
**/
EFI_STATUS
VolumeDelete (
  IN CONST CHAR16  *Path
  );

/**
  Tell whether a file (or directory) exists.

  @param[in] Path   The name.

  @retval EFI_SUCCESS   It exists.
  @return               Why it cannot be opened (EFI_NOT_FOUND when missing).
**/
EFI_STATUS
VolumeExists (
  IN CONST CHAR16  *Path
  );

/**
  Read Size bytes of a file, reading on after short reads, so that a file
  system that returns fewer bytes than asked mid-file cannot shift later
  data.

  @param[in]  File     The file.
  @param[out] Buffer   Size bytes to fill.
  @param[in]  Size     How many bytes.
  @param[out] Count    Bytes read: Size unless the file ended.

  @return The status of the failed read, or EFI_SUCCESS.
**/
EFI_STATUS
ReadFull (
  IN  VOLUME_FILE  File,
  OUT UINT8        *Buffer,
  IN  UINTN        Size,
  OUT UINTN        *Count
  );

#endif
