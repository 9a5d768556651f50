/** @file
  What the run's steps share: the run record that the log is made of, the
  image in memory, how a step's part of the session went, and what the EC
  is left as. Every step reads and fills them; none of them calls a step.
  Nothing outside the run uses them: front ends go through EcRun.h.

**/

#ifndef MORVANE_RUN_STATE_H_
#define MORVANE_RUN_STATE_H_

extern "C" {
#include <Uefi.h>
}

#include "EcCapsule.h"
#include "EcRun.h"

//
// How a failure line ends: after anything was erased, the operator must not
// remove power; before that, the EC is as it was.
//
#define FAILURE_ADVICE  u" EC flash incomplete: keep power on, flash again.\r\n"
#define NOT_CHANGED     u" The EC flash was not changed.\r\n"

//
// What the run log records of a run; filled in as the run goes.
//
typedef struct {
  RUN_MODE        Mode;
  EFI_TIME        StartTime;
  CONST CHAR16    *Image;         ///< the image path as opened (or as typed)
  BOOLEAN         ImageKnown;     ///< Size and Crc are set
  UINT64          ImageSize;
  UINT32          ImageCrc;
  UINT32          BlocksDone;
  UINT32          BlocksPlanned;
  BOOLEAN         EraseSent;      ///< an erase command went to the EC
  BOOLEAN         ErasedBefore;   ///< an earlier attempt of this boot sent one
  UINT32          BlocksChanged;  ///< distinct blocks an erase was sent for
  BOOLEAN         Capsule;        ///< the image is a capsule that passed its checks: its payload is flashed
  UINT32          Version;        ///< the capsule's version
  UINT32          LowestSupported;
  BOOLEAN         Verified;       ///< its signature holds against the built-in certificate
  BOOLEAN         AtVersion;      ///< a catalogue found the EC at Version already: nothing was read or flashed
  BOOLEAN         NoImage;        ///< a catalogue offered this machine nothing
  CHAR16          Signer[EC_CAPSULE_NAME_CHARS];   ///< who signed it, once verified
} RUN_RECORD;

//
// The whole image file in pool memory, read before the EC's first byte, and
// the part of it that is flashed: the file itself, or a capsule's payload.
//
typedef struct {
  UINT8          *File;
  UINT64         FileSize;
  UINT32         FileCrc;     ///< what -c and MORVANE.CFG's crc32= check
  CONST UINT8    *Data;       ///< what is flashed, within File
  UINT64         Size;
  UINT32         Crc;
  BOOLEAN        Loaded;
  BOOLEAN        Borrowed;    ///< lent by a network boot, which keeps it across attempts
} IMAGE_COPY;

//
// How a step's part of the device session went.
//
typedef struct {
  EFI_STATUS    Status;
  BOOLEAN       Ended;       ///< the run's last line is out
} RUN_RESULT;

extern IMAGE_COPY  mImage;
extern RUN_RECORD  mRunRecord;

/**
  Note mImage's size and CRC-32 in the run record.
**/
VOID
RecordImage (
  VOID
  );

/**
  Flash the whole file in memory again: what a lent image starts every
  attempt from.
**/
VOID
ImageFromFile (
  VOID
  );

/**
  Flash only a part of the file in memory from now on: a capsule's payload.

  @param[in] Payload   Its first byte, within mImage.File.
  @param[in] Size      Its size.
**/
VOID
ImageFromPayload (
  IN CONST UINT8  *Payload,
  IN UINTN        Size
  );

/**
  Put one block of mImage into the block image (0xFF past the end of the
  file) and fill the read-back halves with 0xFF.

  @param[in] Block   The block number.

  @retval TRUE    The block is to be flashed (or compared).
  @retval FALSE   The image has ended for the flash.
**/
BOOLEAN
LoadImageBlock (
  IN UINT32  Block
  );

/**
  Whether the EC flash may differ from what the run found on it: an erase
  went to it in this run, or in an earlier attempt of the same boot.

  @retval TRUE   It may be changed (half-written, after a failure).
**/
BOOLEAN
EcMayBeChanged (
  VOID
  );

/**
  The end of a failure line: after an erase was sent, the operator must
  keep power on and flash again; before that, the EC is as it was.

  @return FAILURE_ADVICE or NOT_CHANGED.
**/
CONST CHAR16 *
FailureAdvice (
  VOID
  );

#endif
