/** @file
  Morvane's front end: start-up (screen, command line, image path), the
  run's pre-flight checks and log, and the device session with its three
  modes (flash, verify, save).

**/

#ifndef MORVANE_H_
#define MORVANE_H_

extern "C" {
#include <Uefi.h>
}

#include "EcImagePlan.h"
#include "VolumeFile.h"

//
// Rows and columns of the progress screen.
//
#define LOOP_COLUMN        1
#define LOOP_ROW           5
#define CHECK_ROW          7
#define TIME_ROW           8
#define SAVE_ROW           9
#define LABEL_COLUMN       1
#define MESSAGE_ROW        13
#define BLOCK_LINE_ROW     14
#define TEXT_MODE          2

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

typedef enum {
  ModeFlash,    ///< erase, program and verify the image (after a save with -s)
  ModeVerify,   ///< compare the EC flash with the image; nothing is changed
  ModeSave      ///< save BLOCKS blocks of the EC flash to a file, nothing more
} RUN_MODE;

//
// What the command line asks for. Every string is a pool copy that
// FreeOptions releases.
//
typedef struct {
  RUN_MODE    Mode;
  BOOLEAN     OwnOptions;    ///< any of Morvane's own options was given
  CHAR16      *ImageName;    ///< the image as typed; NULL for a save alone
  CHAR16      *ImagePath;    ///< the image path to open, once resolved
  CHAR16      *SavePath;     ///< -s, as a full path; NULL without it
  CHAR16      *LogPath;      ///< -l, as a full path; NULL without it
  CHAR16      *Model;        ///< -m: the product the image is for; NULL without it
  BOOLEAN     SaveInMemory;  ///< save with no file: kept in memory and sent to the depot
  CHAR16      *DepotUrl;     ///< -p, or MORVANE.CFG's depot=: where the run's results go; NULL without one
  BOOLEAN     Update;        ///< -u: rewrite only the blocks that differ
  BOOLEAN     HasCrc;        ///< -c was given
  UINT32      ExpectedCrc;
  UINT32      SaveBlocks;    ///< -n: blocks to save alone
  BOOLEAN     ErasedBefore;  ///< an earlier attempt of this boot sent an erase: the EC may be half-written
} MORVANE_OPTIONS;

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
} RUN_RECORD;

//
// The whole image in pool memory, read before the EC's first byte.
//
typedef struct {
  UINT8      *Data;
  UINT64     Size;
  UINT32     Crc;
  BOOLEAN    Loaded;
  BOOLEAN    Borrowed;    ///< lent by a network boot, which keeps it across attempts
} IMAGE_COPY;

extern IMAGE_COPY  mImage;

extern UINT32      mLoopCount;
extern RUN_RECORD  mRunRecord;

/**
  Move the console cursor; a console that refuses the position is left as
  it is.

  @param[in] Column   The column.
  @param[in] Row      The row.
**/
VOID
MoveTo (
  IN UINTN  Column,
  IN UINTN  Row
  );

/**
  Clear the console and draw the progress screen's labels, the Loop line and
  the start time.

  @param[out] StartTime   Receives the start time (all zero if unreadable).
**/
VOID
DrawProgressScreen (
  OUT EFI_TIME  *StartTime
  );

/**
  Draw the Save row's label, for a run that saves the EC flash, and put the
  cursor back on the message row.
**/
VOID
DrawSaveLabel (
  VOID
  );

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
  Read the command line. A plain "Morvane IMAGE" also resolves the image
  path here; with Morvane's own options the run resolves it once its log
  is open.

  @param[out] Options   What the command line asks for.
  @param[out] Go        TRUE when the run goes on; FALSE when it ends here.

  @return The status to end with, or the one the run continues from.
**/
EFI_STATUS
ReadCommandLine (
  OUT MORVANE_OPTIONS  *Options,
  OUT BOOLEAN          *Go
  );

/**
  Resolve an image name to the path to open: as typed when the shell finds
  it, otherwise under the current directory. Ends the run (with its line)
  for a name that is a pattern, missing or a directory.

  @param[in, out] Options   ImageName in; ImagePath out (NULL when refused).

  @return The status to end with when ImagePath is NULL.
**/
EFI_STATUS
ResolveImagePath (
  IN OUT MORVANE_OPTIONS  *Options
  );

/**
  Release the strings of the options.

  @param[in, out] Options   The options.
**/
VOID
FreeOptions (
  IN OUT MORVANE_OPTIONS  *Options
  );

/**
  Carry out what the options ask: the pre-flight checks, then the device
  session. The options are freed.

  @param[in, out] Options     The options.
  @param[in]      StartTime   The start time.

  @return The run's status.
**/
EFI_STATUS
RunMorvane (
  IN OUT MORVANE_OPTIONS  *Options,
  IN     CONST EFI_TIME   *StartTime
  );

/**
  End the run with its last screen line: the line is written to the run
  log (when there is one) and the log closed before the line is printed at
  the cursor, so that an operator who acts on the line finds it on disk.

  @param[in] Status   The run's status.
  @param[in] Format   The line, with its line end.
  @param[in] ...      Its arguments.

  @return Status.
**/
EFI_STATUS
EFIAPI
EndRun (
  IN EFI_STATUS    Status,
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
// The depot (-p): DepotRun.cpp.
//

/**
  Reach the depot and put the run's first log line there, marked running.
  A failure ends the run with its line.

  @param[in] Url   The depot's URL.

  @retval EFI_SUCCESS       The depot holds the running line.
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
  Read the machine's serial number and UUID from the SMBIOS system
  information (type 1), as text fit for the log: "-" where the firmware
  publishes none.

  @param[out] Serial   Receives the serial number.
  @param[in]  SerialSize   Its size in characters.
  @param[out] Uuid     Receives the UUID.
  @param[in]  UuidSize     Its size in characters.
**/
VOID
ReadMachineIdentity (
  OUT CHAR16  *Serial,
  IN  UINTN   SerialSize,
  OUT CHAR16  *Uuid,
  IN  UINTN   UuidSize
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
  Take an image already in memory as mImage for the runs that follow; the
  caller keeps it, and releases it after ReturnImage.

  @param[in] Data   The image.
  @param[in] Size   Its size; at most MAX_IMAGE_SIZE.
**/
VOID
LendImage (
  IN UINT8   *Data,
  IN UINT64  Size
  );

/**
  Give a lent image back: mImage is empty again, the caller's copy is left
  alone.
**/
VOID
ReturnImage (
  VOID
  );

/**
  Note mImage's size and CRC-32 in the run record.
**/
VOID
RecordImage (
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
  OUT UINT8              *Buffer,
  IN  UINTN              Size,
  OUT UINTN              *Count
  );

/**
  Print the timing line after a block.

  @param[in] Blocks      Blocks done so far.
  @param[in] StartTime   The start time.
**/
VOID
PrintBlockLine (
  IN UINTN           Blocks,
  IN CONST EFI_TIME  *StartTime
  );

/**
  Put the cursor on a fresh row below everything the run has printed.

  @param[in] Blocks   Blocks done so far.
**/
VOID
MoveBelowOutput (
  IN UINTN  Blocks
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
  Mark a block on a progress row.

  @param[in] Block   The block.
  @param[in] Row     The row.
  @param[in] Mark    The mark.
**/
VOID
PrintBlockMark (
  IN UINT32          Block,
  IN UINTN           Row,
  IN CONST char16_t  *Mark
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

//
// The network boot: BootUrl.cpp.
//

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
