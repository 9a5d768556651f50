/** @file
  The EC flash command set: the byte sequences that enter and leave flash
  mode, read the flash ID, and erase, program or read one 64 KiB block.

**/

#include "EcFlash.h"

UINT8          mBlockNumber = 0;
UINT8          mFlashId     = 0;
BOOLEAN        mFlashIdRead = FALSE;
EC_LINK_STATE  mEcLink      = EcAnswering;

/**
  Send one command byte, unless the EC has already stopped taking bytes.

  @param[in] Command   The byte.

  @retval EFI_SUCCESS   Sent.
  @retval EFI_TIMEOUT   Not sent: the EC is not taking bytes.
**/
STATIC
EFI_STATUS
SendFlashCommand (
  IN UINT8  Command
  )
{
  if (mEcLink == EcStoppedTaking) {
    return EFI_TIMEOUT;
  }

  if (SendEcCommand (Command) == EFI_TIMEOUT) {
    mEcLink = EcStoppedTaking;
    return EFI_TIMEOUT;
  }

  return EFI_SUCCESS;
}

/**
  Send a command sequence, stopping at the first byte the EC does not take.

  @param[in] Bytes   The sequence.
  @param[in] Count   Its length.

  @retval EFI_SUCCESS   All sent.
  @retval EFI_TIMEOUT   The EC stopped taking bytes.
**/
STATIC
EFI_STATUS
SendFlashSequence (
  IN CONST UINT8  *Bytes,
  IN UINTN        Count
  )
{
  EFI_STATUS  Status;
  UINTN       Index;

  for (Index = 0; Index < Count; Index++) {
    Status = SendFlashCommand (Bytes[Index]);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EnterFlashMode (
  VOID
  )
{
  return SendFlashCommand (EC_CMD_FLASH_ENTER);
}

EFI_STATUS
ReadFlashId (
  VOID
  )
{
  EFI_STATUS  Status;

  Status = SendFlashCommand (FLASH_OP_READ_ID);
  if (!EFI_ERROR (Status)) {
    //
    // A lone time-out leaves the ID as it was; programming then uses the
    // page-program opcode.
    //
    mFlashIdRead = !EFI_ERROR (ReadEcData (&mFlashId));
  }

  return Status;
}

EFI_STATUS
EraseBlock (
  VOID
  )
{
  CONST UINT8  Sequence[] = { FLASH_OP_ERASE, SPI_OPCODE_BLOCK_ERASE, mBlockNumber, 0x00, 0x00 };

  return SendFlashSequence (Sequence, sizeof (Sequence));
}

EFI_STATUS
StartProgramBlock (
  VOID
  )
{
  CONST UINT8  Opcode     = (mFlashId == SST_MANUFACTURER_ID) ? SPI_OPCODE_AAI_PROGRAM : SPI_OPCODE_PAGE_PROGRAM;
  CONST UINT8  Sequence[] = { FLASH_OP_PROGRAM, Opcode, mBlockNumber, 0x00, 0x00 };

  return SendFlashSequence (Sequence, sizeof (Sequence));
}

EFI_STATUS
StartReadBlock (
  VOID
  )
{
  CONST UINT8  Sequence[] = { FLASH_OP_READ, mBlockNumber };

  return SendFlashSequence (Sequence, sizeof (Sequence));
}

EFI_STATUS
ExitFlashMode (
  VOID
  )
{
  return SendFlashCommand (EC_CMD_FLASH_EXIT);
}
