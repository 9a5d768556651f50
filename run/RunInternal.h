/** @file
  The run's own state and the functions its parts share: the run record
  that the log is made of, the image in memory, the log, the depot's
  results, the machine's identity, and the device session with its modes.
  Nothing outside the run uses them: front ends go through EcRun.h.

**/

#ifndef MORVANE_RUN_INTERNAL_H_
#define MORVANE_RUN_INTERNAL_H_

extern "C" {
#include <Uefi.h>
}

#include "Depot.h"
#include "EcCapsule.h"
#include "EcImagePlan.h"
#include "EcRun.h"
#include "VolumeFile.h"

//
// Characters kept of the machine's product name.
//
#define PRODUCT_CHARS      80

//
// The longest line of the run log.
//
#define RUN_LOG_LINE_CHARS  640

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

extern IMAGE_COPY  mImage;
extern RUN_RECORD  mRunRecord;

/**
  Whether a time read from the clock is a real date and time: a clock that
  cannot be read leaves 0.0.0 (or garbage) behind.

  @param[in] Time   The time.

  @retval TRUE   It is a date and time.
**/
BOOLEAN
TimeIsKnown (
  IN CONST EFI_TIME  *Time
  );

/**
  Seconds from a start time to now, across hours, days and years.

  @param[in] StartTime   The start.

  @return The elapsed seconds (from 0.0.0 0:0:0 when the clock is unreadable).
**/
INT64
SecondsSince (
  IN CONST EFI_TIME  *StartTime
  );

/**
  Show a message of the run that is not its last line, formatted as Print
  formats it.

  @param[in] Format   The message, with its line end.
  @param[in] ...      Its arguments.
**/
VOID
EFIAPI
ShowMessage (
  IN CONST CHAR16  *Format,
  ...
  );

/**
  Open the run log for appending.

  @param[in] Path   The log file; created when missing.

  @return The status of the open (and of the seek to its end).
**/
EFI_STATUS
OpenRunLog (
  IN CONST CHAR16  *Path
  );

/**
  Write the run's line to the log and close it; nothing without a log.
  A failure is said on the screen; the run's status stays as it is.

  @param[in] Status    The run's status.
  @param[in] Outcome   The run's last screen line, without its line end.
**/
VOID
WriteRunLog (
  IN EFI_STATUS    Status,
  IN CONST CHAR16  *Outcome
  );

/**
  Format the run's log line as ASCII.

  @param[in]  Status      The run's status.
  @param[in]  Running     The run has not ended: status=running.
  @param[in]  Outcome     The run's last screen line.
  @param[out] Ascii       Receives the line with its line end.
  @param[in]  AsciiSize   Its size in bytes.

  @return The line's length.
**/
UINTN
FormatRunLogLine (
  IN  EFI_STATUS    Status,
  IN  BOOLEAN       Running,
  IN  CONST CHAR16  *Outcome,
  OUT CHAR8         *Ascii,
  IN  UINTN         AsciiSize
  );

//
// The depot (-p): DepotName.cpp, DepotRun.cpp.
//

//
// Names drawn for one run before the depot is given up (a taken name draws
// again), and the bases one file may move through on a 409; lines that
// wait for the depot to answer again.
//
#define DEPOT_NAME_TRIES    32
#define DEPOT_PENDING_MAX   4

//
// One run's name at the depot.
//
typedef struct {
  EFI_TIME    Start;                            ///< the run's start time, in the name
  CHAR8       Day[DEPOT_DAY_CHARS + 1];
  CHAR8       Base[DEPOT_BASE_CHARS + 1];       ///< empty until the depot holds the run's .run
  CHAR8       Moved[DEPOT_BASE_CHARS + 1];      ///< the base the run left on a 409; empty if none
  CHAR8       Running[RUN_LOG_LINE_CHARS + 1];  ///< the running line, as the .run holds it
  UINTN       RunningLength;
} DEPOT_RUN_NAME;

//
// A final line the depot did not take yet.
//
typedef struct {
  DEPOT_RUN_NAME    Name;
  CONST CHAR8       *Verdict;                   ///< ".flashed.log" ...
  CHAR8             Line[RUN_LOG_LINE_CHARS + 1];
  UINTN             Length;
} DEPOT_PENDING_LINE;

//
// The depot's side of the runs of one program: the run's own name, and the
// lines kept for a later chance (all zero as the program is loaded).
//
typedef struct {
  BOOLEAN               Ready;                  ///< connected, the run's .run at the depot
  BOOLEAN               Deferred;               ///< an incomplete EC flashed without the depot
  CHAR16                Url[DEPOT_URL_CHARS + 1];
  DEPOT_RUN_NAME        Name;
  DEPOT_PENDING_LINE    Pending[DEPOT_PENDING_MAX];
  UINTN                 PendingCount;
} DEPOT_RUN_STATE;

extern DEPOT_RUN_STATE  mDepotRun;

/**
  Draw a fresh name for a run's files at the depot: its day folder and a
  base of serial, the network card's address, the start time (or "nodate"
  and the boot count) and a part drawn for this name alone.

  @param[in]  Start   The run's start time.
  @param[out] Day     Receives the folder; DEPOT_DAY_CHARS + 1 characters.
  @param[out] Base    Receives the base; DEPOT_BASE_CHARS + 1 characters.
**/
VOID
DrawDepotName (
  IN  CONST EFI_TIME  *Start,
  OUT CHAR8           *Day,
  OUT CHAR8           *Base
  );

/**
  Reach the depot and put the run's first log line there, marked running.
  A failure ends the run with its line, unless an earlier attempt left the
  EC incomplete: then the run goes on, and its lines wait to be sent.

  @param[in] Url   The depot's URL.

  @retval EFI_SUCCESS       The depot holds the running line, or the run
                            flashes an incomplete EC without it.
  @retval EFI_NO_RESPONSE   It cannot be reached (the line says why).
**/
EFI_STATUS
StartDepot (
  IN CONST CHAR16  *Url
  );

/**
  Put the run's final line at the depot beside its running line, named for
  the run's verdict; nothing without a depot. A failure is said on the
  screen; the run's status stays as it is.

  @param[in] Status   The run's status.
  @param[in] Line     The line.
  @param[in] Length   Its length.
**/
VOID
SendRunLogToDepot (
  IN EFI_STATUS   Status,
  IN CONST CHAR8  *Line,
  IN UINTN        Length
  );

/**
  Put the save at the depot and read it back; nothing without a depot.

  @param[in] Data   The save.
  @param[in] Size   Its size.

  @retval EFI_SUCCESS     The depot holds the save, read back equal.
  @retval EFI_CRC_ERROR   What came back differs.
  @return                 The failure of the transfer.
**/
EFI_STATUS
SendSaveToDepot (
  IN CONST UINT8  *Data,
  IN UINTN        Size
  );

/**
  Close the network as the run found it.
**/
VOID
EndDepot (
  VOID
  );

/**
  Read the machine's product name from the SMBIOS system information, as
  text: printable ASCII, '"' written as "'", leading and trailing spaces
  dropped; "-" when the firmware publishes none.

  @param[out] Product   Receives the name.
  @param[in]  Size      Its size in characters.

  @retval TRUE    The machine names its product.
  @retval FALSE   It does not (no SMBIOS, no name, an empty name).
**/
BOOLEAN
ReadMachineProduct (
  OUT CHAR16  *Product,
  IN  UINTN   Size
  );

/**
  Read the machine's product name from the SMBIOS system information as the
  firmware stores it, byte for byte, without surrounding spaces: what a
  model check compares, where the screen shows '?' for what it cannot draw.

  @param[out] Bytes    Receives the bytes and a terminating zero.
  @param[in]  Size     Its size in bytes.
  @param[out] Length   Receives the name's length.

  @retval TRUE    The machine names its product, and the name fits.
  @retval FALSE   It does not (no SMBIOS, no name, an empty or longer name).
**/
BOOLEAN
ReadMachineProductBytes (
  OUT CHAR8  *Bytes,
  IN  UINTN  Size,
  OUT UINTN  *Length
  );

/**
  Open the image, check its size and read all of it into mImage, ending the
  run with its line when any of that fails.

  @param[in]  Path   The image.
  @param[out] File   The open image; NULL on failure (nothing left open).
  @param[out] Plan   What a flash of it writes.

  @return The status of the open, the size check or the read.
**/
EFI_STATUS
LoadImage (
  IN  CONST CHAR16       *Path,
  OUT VOLUME_FILE  *File,
  OUT EC_IMAGE_PLAN      *Plan
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
  Tell from the first bytes of a file whether it may be a capsule, without
  keeping it open. A file that cannot be read is not one: the run then
  opens it as it always did, and says why it cannot.

  @param[in] Path   The image.

  @retval TRUE   It starts as a capsule does.
**/
BOOLEAN
FileLooksLikeCapsule (
  IN CONST CHAR16  *Path
  );

//
// Signed images: SignedImage.cpp.
//

/**
  The certificate built into Morvane (PcdMorvaneTrustedCert), which every
  image must be signed under.

  @param[out] Cert   Its DER bytes.
  @param[out] Size   Their count.

  @retval TRUE    Morvane trusts this certificate.
  @retval FALSE   It trusts none (the package's default).
**/
BOOLEAN
RunTrustedCert (
  OUT CONST UINT8  **Cert,
  OUT UINTN        *Size
  );

/**
  Check the image in memory before any device is touched: with a built-in
  certificate only a capsule signed under it passes; any capsule must be
  well-formed, for this machine (its hardware IDs) and, for a flash, not
  below the lowest version the machine's version record allows. A capsule
  that passes leaves its payload as the image; the run's line ends the run
  on a refusal.

  @param[in] Options   The options.

  @retval EFI_SUCCESS   The image may be used.
  @return               The status the run ended with (its line is out).
**/
EFI_STATUS
CheckImage (
  IN CONST MORVANE_OPTIONS  *Options
  );

/**
  Keep a flashed capsule's version in the machine's version record, the
  lowest supported version never going down; nothing for a raw image or a
  capsule whose signature was not verified. A failure is said on the
  screen; the run's status stays as it is.
**/
VOID
RecordFlashedVersion (
  VOID
  );
/**
  Release mImage (a lent image stays lent).
**/
VOID
FreeImageCopy (
  VOID
  );

//
// The device session and its modes.
//

typedef struct {
  EFI_STATUS    Status;
  BOOLEAN       Ended;       ///< the run's last line is out
} RUN_RESULT;

/**
  The device session: keyboard off, image open, flash mode, the save and the
  mode's blocks, the run's last line, then image closed, flash mode left and
  keyboard on.

  @param[in] Options     The options (image path resolved).
  @param[in] StartTime   The start time.

  @return The run's status.
**/
EFI_STATUS
RunSession (
  IN CONST MORVANE_OPTIONS  *Options,
  IN CONST EFI_TIME         *StartTime
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

/**
  Flash mImage block by block; with Update, only the blocks whose EC
  contents differ from the image.

  @param[in]  Update      Compare each block first; rewrite only a difference.
  @param[in]  StartTime   The start time.
  @param[out] Result      How it went; the last line is set unless it completed.
**/
VOID
FlashBlocks (
  IN  BOOLEAN            Update,
  IN  CONST EFI_TIME     *StartTime,
  OUT RUN_RESULT         *Result
  );

/**
  Tell whether the EC's block mBlockNumber already holds the block image:
  from the save when the run saved it, else read back from the EC. A byte
  that timed out is a difference.

  @param[out] Equal   TRUE when it does.

  @retval EFI_SUCCESS   Equal is set.
  @retval EFI_TIMEOUT   The EC stopped answering.
**/
EFI_STATUS
BlockMatchesImage (
  OUT BOOLEAN  *Equal
  );

/**
  End a flash that went through every block: the closing check when the
  run asked for more than a plain flash and erased something, then the
  finishing line.

  @param[in]  Options   The options.
  @param[in]  Planned   Blocks of the image.
  @param[out] Result    How it went.
**/
VOID
FinishFlash (
  IN  CONST MORVANE_OPTIONS  *Options,
  IN  UINT32                 Planned,
  OUT RUN_RESULT             *Result
  );

/**
  Compare the EC flash with mImage, block by block, without changing it,
  and end the run with the verdict.

  @param[in]  StartTime   The start time.
  @param[out] Result      How it went.
**/
VOID
VerifyBlocks (
  IN  CONST EFI_TIME     *StartTime,
  OUT RUN_RESULT         *Result
  );

/**
  Save the first Blocks blocks of the EC flash to a new file and check the
  copy through the file system, then send it to the depot when the run has
  one. On any failure the run ends (the EC was not changed) and the partial
  file is removed.

  @param[in]  Path     The save file; it must not exist. NULL: the save is
                       kept in memory only (and sent to the depot).
  @param[in]  Blocks   How many blocks, from block 0.
  @param[out] Result   How it went.
**/
VOID
SaveBlocks (
  IN  CONST CHAR16  *Path,
  IN  UINT32        Blocks,
  OUT RUN_RESULT    *Result
  );

/**
  A block of the save, as the EC gave it.

  @param[in] Block   The block.

  @return Its FLASH_BLOCK_SIZE bytes, or NULL when it was not saved.
**/
CONST UINT8 *
SavedBlock (
  IN UINT32  Block
  );

/**
  Release the save kept in memory.
**/
VOID
FreeSaveCopy (
  VOID
  );

#endif
