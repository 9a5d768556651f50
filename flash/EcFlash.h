/** @file
  The EC flash engine: the EC's flash command set and the block
  program-and-verify procedure over the four block buffers.

  The engine also keeps track of whether the EC still answers. Once a byte
  could not be sent (the EC never emptied its input buffer) nothing more is
  sent to it; once read-back bytes stop coming the attempt is abandoned. The
  caller reads mEcLink after each step to end the run.

**/

#ifndef MORVANE_EC_FLASH_H_
#define MORVANE_EC_FLASH_H_

#include "EcPort.h"

//
// EC commands, all sent to the EC command port.
//
#define EC_CMD_FLASH_ENTER  0xDC
#define EC_CMD_FLASH_EXIT   0xFE
#define FLASH_OP_ERASE      0x01
#define FLASH_OP_PROGRAM    0x02
#define FLASH_OP_READ       0x03
#define FLASH_OP_READ_ID    0x04

//
// SPI opcodes carried in the erase and program sequences.
//
#define SPI_OPCODE_BLOCK_ERASE   0xD8
#define SPI_OPCODE_PAGE_PROGRAM  0x02
#define SPI_OPCODE_AAI_PROGRAM   0xAD
#define SST_MANUFACTURER_ID      0xBF

#define HALF_BLOCK_SIZE   0x8000
#define FLASH_BLOCK_SIZE  (2 * HALF_BLOCK_SIZE)

//
// Consecutive read-back time-outs after which the EC counts as silent; a
// dead EC would otherwise cost 65,536 time-outs of 5 ms per attempt.
//
#define EC_READ_SILENCE_LIMIT  32

typedef enum {
  EcAnswering,        ///< every byte so far was taken, every read answered
  EcStoppedTaking,    ///< a send timed out: nothing more is sent to the EC
  EcStoppedTalking    ///< read-back bytes stopped coming; the EC still takes bytes
} EC_LINK_STATE;

extern UINT8          mBlockNumber;
extern UINT8          mFlashId;
extern BOOLEAN        mFlashIdRead;    ///< the EC answered the read-ID command
extern UINT32         mRetryCount;
extern EC_LINK_STATE  mEcLink;

extern UINT8  mImageLow[HALF_BLOCK_SIZE];
extern UINT8  mImageHigh[HALF_BLOCK_SIZE];
extern UINT8  mReadBackLow[HALF_BLOCK_SIZE];
extern UINT8  mReadBackHigh[HALF_BLOCK_SIZE];

/**
  Put the EC into flash mode.

  @retval EFI_SUCCESS   Sent.
  @retval EFI_TIMEOUT   The EC is not taking bytes (see mEcLink).
**/
EFI_STATUS
EnterFlashMode (
  VOID
  );

/**
  Ask the EC for its SPI flash's manufacturer code and keep it in mFlashId.
  A read that times out leaves mFlashId as it was.

  @retval EFI_SUCCESS   The command was sent (the answer may have timed out).
  @retval EFI_TIMEOUT   The EC is not taking bytes.
**/
EFI_STATUS
ReadFlashId (
  VOID
  );

/**
  Erase the 64 KiB flash block mBlockNumber.

  @retval EFI_SUCCESS   Sent.
  @retval EFI_TIMEOUT   The EC is not taking bytes.
**/
EFI_STATUS
EraseBlock (
  VOID
  );

/**
  Start programming block mBlockNumber; FLASH_BLOCK_SIZE data bytes follow.

  @retval EFI_SUCCESS   Sent.
  @retval EFI_TIMEOUT   The EC is not taking bytes.
**/
EFI_STATUS
StartProgramBlock (
  VOID
  );

/**
  Start reading block mBlockNumber back; FLASH_BLOCK_SIZE bytes follow.

  @retval EFI_SUCCESS   Sent.
  @retval EFI_TIMEOUT   The EC is not taking bytes.
**/
EFI_STATUS
StartReadBlock (
  VOID
  );

/**
  Take the EC out of flash mode. Nothing is sent to an EC that stopped
  taking bytes.

  @retval EFI_SUCCESS   Sent.
  @retval EFI_TIMEOUT   The EC is not taking bytes.
**/
EFI_STATUS
ExitFlashMode (
  VOID
  );

/**
  Tell whether the block image holds anything but erased bytes.

  @retval TRUE    Some byte of mImageLow/mImageHigh differs from 0xFF.
  @retval FALSE   The block is blank.
**/
BOOLEAN
BlockHasData (
  VOID
  );

/**
  Read block mBlockNumber back from the EC into mReadBackLow/mReadBackHigh.
  Every byte of the stream is read, as the EC expects, unless the EC falls
  silent.

  @retval EFI_SUCCESS        Every byte came in time.
  @retval EFI_DEVICE_ERROR   Some bytes timed out; their slots are not valid.
  @retval EFI_TIMEOUT        The EC stopped answering (mEcLink tells how).
**/
EFI_STATUS
ReadBackBlock (
  VOID
  );

/**
  Compare the read-back halves with the block image.

  @retval TRUE   They are equal.
**/
BOOLEAN
ReadBackMatchesImage (
  VOID
  );

/**
  Program the block image into block mBlockNumber, read it back, compare,
  and tell the progress how the attempt went (its count is mRetryCount).

  @retval TRUE    Every byte was read back and equals the image.
  @retval FALSE   A mismatch, a read-back byte that timed out, or an EC that
                  stopped answering (mEcLink tells which).
**/
BOOLEAN
ProgramAndVerifyBlock (
  VOID
  );

#endif
