/** @file
  Save before flashing: the EC flash that a flash will overwrite (or the
  first BLOCKS blocks) is read back block by block into a new file, raw,
  block 0 first; the file is closed, read back through the file system and
  checked against what the EC gave. Any failure ends the run before the
  first erase, with the partial file removed.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
}

#include "EcFlash.h"
#include "EcImagePlan.h"
#include "EcProgress.h"
#include "SaveRun.h"
#include "VolumeFile.h"
#include "Ucs2.h"

//
// What the EC gave, kept for the check of the copy on disk and for an
// update that compares before it erases.
//
STATIC UINT8   *mSaveCopy  = NULL;
STATIC UINT32  mSaveBlocks = 0;

//
// A caller's memory that saves go into instead (LendSaveBuffer), and how
// many blocks it holds; the run never frees it.
//
STATIC UINT8   *mSaveLent       = NULL;
STATIC UINT32  mSaveLentBlocks  = 0;

/**
  Write one half block to the save file.

  @retval EFI_VOLUME_FULL   The file system took fewer bytes.
  @return                   Otherwise the status of the write.
**/
STATIC
EFI_STATUS
WriteHalf (
  IN VOLUME_FILE  File,
  IN CONST UINT8        *Half
  )
{
  EFI_STATUS  Status;
  UINTN       Size;

  Size   = HALF_BLOCK_SIZE;
  Status = VolumeWrite (File, &Size, const_cast<UINT8 *>(Half));
  if (!EFI_ERROR (Status) && (Size != HALF_BLOCK_SIZE)) {
    Status = EFI_VOLUME_FULL;
  }

  return Status;
}

/**
  Read one block of the save file back into the read-back halves.

  @retval EFI_END_OF_FILE   The file ended early.
  @return                   Otherwise the status of the read.
**/
STATIC
EFI_STATUS
ReadSavedBlock (
  IN VOLUME_FILE  File
  )
{
  EFI_STATUS  Status;
  UINTN       Count;

  Status = ReadFull (File, mReadBackLow, HALF_BLOCK_SIZE, &Count);
  if (!EFI_ERROR (Status) && (Count == HALF_BLOCK_SIZE)) {
    Status = ReadFull (File, mReadBackHigh, HALF_BLOCK_SIZE, &Count);
  }

  if (!EFI_ERROR (Status) && (Count != HALF_BLOCK_SIZE)) {
    Status = EFI_END_OF_FILE;
  }

  return Status;
}

/**
  Read the save file back and compare every block with what the EC gave.

  @param[in] Path     The save file.
  @param[in] Blocks   Blocks saved.

  @retval EFI_SUCCESS     The copy on disk is the EC's flash.
  @retval EFI_CRC_ERROR   It differs, or is longer.
  @return                 The status of a failed open or read.
**/
STATIC
EFI_STATUS
CheckCopy (
  IN CONST CHAR16  *Path,
  IN UINT32        Blocks
  )
{
  EFI_STATUS         Status;
  VOLUME_FILE  File;
  UINT32             Block;
  UINTN              Extra;
  UINT8              Byte;

  Status = VolumeOpen (Path, &File, EFI_FILE_MODE_READ);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  for (Block = 0; Block < Blocks && !EFI_ERROR (Status); Block++) {
    Status = ReadSavedBlock (File);
    if (!EFI_ERROR (Status) &&
        ((CompareMem (mReadBackLow, mSaveCopy + Block * FLASH_BLOCK_SIZE, HALF_BLOCK_SIZE) != 0) ||
         (CompareMem (mReadBackHigh, mSaveCopy + Block * FLASH_BLOCK_SIZE + HALF_BLOCK_SIZE, HALF_BLOCK_SIZE) != 0)))
    {
      Status = EFI_CRC_ERROR;
    }
  }

  Extra = sizeof (Byte);
  if (!EFI_ERROR (Status) && !EFI_ERROR (VolumeRead (File, &Extra, &Byte)) && (Extra != 0)) {
    Status = EFI_CRC_ERROR;
  }

  VolumeClose (&File);
  return (Status == EFI_END_OF_FILE) ? EFI_CRC_ERROR : Status;
}

/**
  Read the blocks from the EC into memory and the open save file.

  @param[in]  File     The new save file, or NULL to keep the save in memory only.
  @param[in]  Blocks   How many, from block 0.
  @param[out] Failed   The block that failed.

  @retval EFI_SUCCESS   All saved.
  @retval EFI_TIMEOUT   The EC's read-back did not come in time.
  @return               The status of a failed write.
**/
STATIC
EFI_STATUS
SaveToFile (
  IN  VOLUME_FILE  File,
  IN  UINT32             Blocks,
  OUT UINT32             *Failed
  )
{
  EFI_STATUS  Status;
  UINT32      Block;
  UINT8       *Saved;

  for (Block = 0; Block < Blocks; Block++) {
    *Failed      = Block;
    mBlockNumber = static_cast<UINT8>(Block);
    if (ReadBackBlock () != EFI_SUCCESS) {
      return EFI_TIMEOUT;
    }

    Saved = mSaveCopy + Block * FLASH_BLOCK_SIZE;
    CopyMem (Saved, mReadBackLow, HALF_BLOCK_SIZE);
    CopyMem (Saved + HALF_BLOCK_SIZE, mReadBackHigh, HALF_BLOCK_SIZE);
    Status = EFI_SUCCESS;
    if (File != NULL) {
      Status = WriteHalf (File, Saved);
    }

    if (!EFI_ERROR (Status) && (File != NULL)) {
      Status = WriteHalf (File, Saved + HALF_BLOCK_SIZE);
    }

    if (EFI_ERROR (Status)) {
      return Status;
    }

    mSaveBlocks = Block + 1;
    EcProgress ()->Saved (Block);
    mRunRecord.BlocksDone = Block + 1;
  }

  return EFI_SUCCESS;
}

VOID
SaveBlocks (
  IN  CONST CHAR16  *Path,
  IN  UINT32        Blocks,
  OUT RUN_RESULT    *Result
  )
{
  EFI_STATUS         Status;
  VOLUME_FILE  File;
  UINT32             Failed;
  BOOLEAN            Written;

  mRunRecord.BlocksDone = 0;
  FreeSaveCopy ();
  if (mSaveLent == NULL) {
    mSaveCopy = static_cast<UINT8 *>(AllocatePool (MAX (Blocks, 1U) * FLASH_BLOCK_SIZE));
  } else if (Blocks <= mSaveLentBlocks) {
    mSaveCopy = mSaveLent;
  }

  if (mSaveCopy == NULL) {
    EcProgress ()->LinesFollow (0);
    Result->Status = EndRun (EFI_OUT_OF_RESOURCES, Ucs2 (u"Save failed: no memory for %d blocks." NOT_CHANGED), Blocks);
    Result->Ended  = TRUE;
    return;
  }

  //
  // A machine booted from a depot has no volume of its own: its save is
  // kept in memory and goes to the depot alone.
  //
  if (Path == NULL) {
    Failed = 0;
    if (EFI_ERROR (SaveToFile (NULL, Blocks, &Failed))) {
      mSaveBlocks = 0;
      EcProgress ()->LinesFollow (0);
      Result->Status = EndRun (EFI_TIMEOUT, Ucs2 (u"Save failed at block %d: the EC did not answer in time." NOT_CHANGED), Failed);
      Result->Ended  = TRUE;
      return;
    }

    return;
  }

  Status = VolumeOpen (Path, &File, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE);
  if (EFI_ERROR (Status)) {
    EcProgress ()->LinesFollow (0);
    Result->Status = EndRun (Status, Ucs2 (u"Save failed: %s cannot be created (%r)." NOT_CHANGED), Path, Status);
    Result->Ended  = TRUE;
    return;
  }

  Failed = 0;
  Status = SaveToFile (File, Blocks, &Failed);
  if (EFI_ERROR (VolumeClose (&File)) && !EFI_ERROR (Status)) {
    Status = EFI_DEVICE_ERROR;
  }

  Written = !EFI_ERROR (Status);
  if (Written) {
    Status = CheckCopy (Path, Blocks);
    if (!EFI_ERROR (Status)) {
      return;
    }
  }

  VolumeDelete (Path);
  mSaveBlocks = 0;
  EcProgress ()->LinesFollow (0);
  if (Written) {
    Result->Status = EndRun (Status, Ucs2 (u"Save failed: the copy in %s is not what the EC gave (%r)." NOT_CHANGED), Path, Status);
  } else if (Status == EFI_TIMEOUT) {
    Result->Status = EndRun (Status, Ucs2 (u"Save failed at block %d: the EC did not answer in time." NOT_CHANGED), Failed);
  } else {
    Result->Status = EndRun (Status, Ucs2 (u"Save failed at block %d: %s cannot be written (%r)." NOT_CHANGED), Failed, Path, Status);
  }

  Result->Ended = TRUE;
}

CONST UINT8 *
SaveCopy (
  OUT UINT32  *Blocks
  )
{
  *Blocks = mSaveBlocks;
  return mSaveCopy;
}

VOID
FreeSaveCopy (
  VOID
  )
{
  if ((mSaveCopy != NULL) && (mSaveCopy != mSaveLent)) {
    FreePool (mSaveCopy);
  }

  mSaveCopy   = NULL;
  mSaveBlocks = 0;
}

VOID
LendSaveBuffer (
  IN UINT8   *Data,
  IN UINT32  Blocks
  )
{
  FreeSaveCopy ();
  mSaveLent       = Data;
  mSaveLentBlocks = Blocks;
}

VOID
ReturnSaveBuffer (
  VOID
  )
{
  FreeSaveCopy ();
  mSaveLent       = NULL;
  mSaveLentBlocks = 0;
}
