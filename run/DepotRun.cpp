/** @file
  A run's results at a depot (-p URL): the run's first log line, marked
  running, goes to the depot before anything else is checked, the save goes
  there and is read back before the first erase, and the final log line
  replaces the running one before the run's last screen line.

  The running line and the final line are two files, and the depot takes
  every name once: a machine that loses power mid-flash therefore keeps its
  BASE.run with no final line beside it, and nobody can write over a save
  or a log.

  A name is claimed by its .run; a taken one draws another (DepotName.cpp).
  A save or final line answered 409 under a claimed base means someone
  else wrote there first: the run leaves that base for a fresh one, marks
  the old one OLD.conflict.log (its line with " moved=NEW"), and every line
  it writes under the new base says " moved=OLD", so that a depot's page
  shows the base as written by more than one.

  A machine whose EC an earlier attempt left incomplete is never kept from
  flashing by the depot: its lines wait in memory and go at the next chance.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PrintLib.h>
}

#include "Depot.h"
#include "DepotName.h"
#include "DepotRun.h"
#include "EcProgress.h"
#include "Ucs2.h"

#define MOVED_FIELD   " moved="
#define LINE_BYTES    (RUN_LOG_LINE_CHARS + sizeof (MOVED_FIELD) + DEPOT_BASE_CHARS + 1)

DEPOT_RUN_STATE  mDepotRun;

/**
  The depot's name of one of a run's files: its day folder, its base and
  the suffix.

  @param[in]  Name     The run's name.
  @param[in]  Suffix   ".run", ".bin", ".VERDICT.log" or ".conflict.log".
  @param[out] File     Receives it; DEPOT_NAME_CHARS + 1 characters.
**/
STATIC
VOID
DepotFileName (
  IN  CONST DEPOT_RUN_NAME  *Name,
  IN  CONST CHAR8           *Suffix,
  OUT CHAR8                 *File
  )
{
  AsciiSPrint (File, DEPOT_NAME_CHARS + 1, "%a/%a%a", Name->Day, Name->Base, Suffix);
}

/**
  A log line with " moved=BASE" before its line end, or as it is when Base
  is empty.

  @param[in]  Line     The line.
  @param[in]  Length   Its length (at most RUN_LOG_LINE_CHARS).
  @param[in]  Base     The base to name.
  @param[out] Out      Receives the line; LINE_BYTES bytes.

  @return Its length.
**/
STATIC
UINTN
LineWithMove (
  IN  CONST CHAR8  *Line,
  IN  UINTN        Length,
  IN  CONST CHAR8  *Base,
  OUT CHAR8        *Out
  )
{
  UINTN  Text;
  UINTN  Size;

  for (Text = Length; Text > 0 && (Line[Text - 1] == '\r' || Line[Text - 1] == '\n'); Text--) {
  }

  CopyMem (Out, Line, Text);
  Out[Text] = 0;
  if (Base[0] != 0) {
    AsciiStrCatS (Out, LINE_BYTES, MOVED_FIELD);
    AsciiStrCatS (Out, LINE_BYTES, Base);
  }

  Size = AsciiStrLen (Out);
  CopyMem (Out + Size, Line + Text, Length - Text);
  Out[Size + Length - Text] = 0;
  return Size + Length - Text;
}

/**
  Claim a fresh name for a run: draw one and PUT its .run with the running
  line (naming the base the run left, if it left one); draw again while the
  depot holds the name, up to DEPOT_NAME_TRIES names.

  @param[in, out] Name   The run's name; Base is set, or empty on failure.

  @return The status of the last PUT.
**/
STATIC
EFI_STATUS
ClaimName (
  IN OUT DEPOT_RUN_NAME  *Name
  )
{
  CHAR8       File[DEPOT_NAME_CHARS + 1];
  CHAR8       Line[LINE_BYTES];
  UINTN       Length;
  UINTN       Try;
  EFI_STATUS  Status;

  Length = LineWithMove (Name->Running, Name->RunningLength, Name->Moved, Line);
  Status = EFI_ACCESS_DENIED;
  for (Try = 0; Try < DEPOT_NAME_TRIES && Status == EFI_ACCESS_DENIED; Try++) {
    DrawDepotName (&Name->Start, Name->Day, Name->Base);
    DepotFileName (Name, ".run", File);
    Status = DepotPut (File, Line, Length);
  }

  if (EFI_ERROR (Status)) {
    Name->Base[0] = 0;
  }

  return Status;
}

/**
  PUT one of a run's files under its base. A 409 means someone else wrote
  that name first: the run claims a fresh base, leaves OLD.conflict.log
  (Mark with " moved=NEW") in the old one, and PUTs the file again there.

  @param[in, out] Name         The run's name; its base may change.
  @param[in]      Suffix       The file's suffix.
  @param[in]      Data         The body.
  @param[in]      Size         Its size.
  @param[in]      IsLine       The body is a log line: under a base the run
                               moved to, it names the one it left.
  @param[in]      Mark         The line the conflict mark holds.
  @param[in]      MarkLength   Its length.

  @return The status of the last PUT or claim.
**/
STATIC
EFI_STATUS
PutUnderName (
  IN OUT DEPOT_RUN_NAME  *Name,
  IN     CONST CHAR8     *Suffix,
  IN     CONST VOID      *Data,
  IN     UINTN           Size,
  IN     BOOLEAN         IsLine,
  IN     CONST CHAR8     *Mark,
  IN     UINTN           MarkLength
  )
{
  CHAR8       File[DEPOT_NAME_CHARS + 1];
  CHAR8       Line[LINE_BYTES];
  CHAR8       Left[DEPOT_BASE_CHARS + 1];
  EFI_STATUS  Status;
  UINTN       Moves;
  UINTN       Length;

  for (Moves = 0; ; Moves++) {
    DepotFileName (Name, Suffix, File);
    if (IsLine) {
      Length = LineWithMove (static_cast<CONST CHAR8 *>(Data), Size, Name->Moved, Line);
      Status = DepotPut (File, Line, Length);
    } else {
      Status = DepotPut (File, Data, Size);
    }

    if ((Status != EFI_ACCESS_DENIED) || (Moves == DEPOT_NAME_TRIES)) {
      return Status;
    }

    AsciiStrCpyS (Left, sizeof (Left), Name->Base);
    AsciiStrCpyS (Name->Moved, sizeof (Name->Moved), Left);
    Status = ClaimName (Name);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    //
    // The mark is only a sign for the page: one a stranger wrote first, or
    // one that does not arrive, changes nothing for the run.
    //
    AsciiSPrint (File, sizeof (File), "%a/%a.conflict.log", Name->Day, Left);
    Length = LineWithMove (Mark, MarkLength, Name->Base, Line);
    DepotPut (File, Line, Length);
  }
}

/**
  Keep a final line for a later chance; the oldest kept goes when there is
  no room.

  @param[in] Name      The run's name (claimed or not).
  @param[in] Verdict   The final log's suffix.
  @param[in] Line      The line.
  @param[in] Length    Its length.
**/
STATIC
VOID
KeepLine (
  IN CONST DEPOT_RUN_NAME  *Name,
  IN CONST CHAR8           *Verdict,
  IN CONST CHAR8           *Line,
  IN UINTN                 Length
  )
{
  DEPOT_PENDING_LINE  *Kept;

  if (mDepotRun.PendingCount == DEPOT_PENDING_MAX) {
    CopyMem (&mDepotRun.Pending[0], &mDepotRun.Pending[1], (DEPOT_PENDING_MAX - 1) * sizeof (mDepotRun.Pending[0]));
    mDepotRun.PendingCount--;
  }

  Kept          = &mDepotRun.Pending[mDepotRun.PendingCount++];
  Kept->Name    = *Name;
  Kept->Verdict = Verdict;
  Kept->Length  = MIN (Length, RUN_LOG_LINE_CHARS);
  CopyMem (Kept->Line, Line, Kept->Length);
  Kept->Line[Kept->Length] = 0;
}

/**
  Send the kept lines, oldest first: a run that never had its .run at the
  depot claims a name first, as it would have.

  @retval EFI_SUCCESS   None is left.
  @return               The failure that stopped it; the rest are kept.
**/
STATIC
EFI_STATUS
SendKeptLines (
  VOID
  )
{
  DEPOT_PENDING_LINE  *Kept;
  EFI_STATUS          Status;

  while (mDepotRun.PendingCount > 0) {
    Kept   = &mDepotRun.Pending[0];
    Status = (Kept->Name.Base[0] == 0) ? ClaimName (&Kept->Name) : EFI_SUCCESS;
    if (!EFI_ERROR (Status)) {
      Status = PutUnderName (&Kept->Name, Kept->Verdict, Kept->Line, Kept->Length, TRUE, Kept->Line, Kept->Length);
    }

    if (EFI_ERROR (Status)) {
      return Status;
    }

    mDepotRun.PendingCount--;
    CopyMem (&mDepotRun.Pending[0], &mDepotRun.Pending[1], mDepotRun.PendingCount * sizeof (mDepotRun.Pending[0]));
  }

  return EFI_SUCCESS;
}

EFI_STATUS
StartDepot (
  IN CONST CHAR16  *Url
  )
{
  EFI_STATUS      Status;
  DEPOT_RUN_NAME  *Name;

  mDepotRun.Ready    = FALSE;
  mDepotRun.Deferred = FALSE;
  mDepotRun.Url[0]   = 0;
  if (DepotUrlIsValid (Url)) {
    StrCpyS (mDepotRun.Url, ARRAY_SIZE (mDepotRun.Url), Url);
  }

  Name = &mDepotRun.Name;
  ZeroMem (Name, sizeof (*Name));
  Name->Start         = mRunRecord.StartTime;
  Name->RunningLength = FormatRunLogLine (EFI_SUCCESS, TRUE, Ucs2 (u"running"), Name->Running, sizeof (Name->Running));

  Status = DepotConnect (Url);
  if (!EFI_ERROR (Status)) {
    Status = ClaimName (Name);
  }

  if (!EFI_ERROR (Status)) {
    mDepotRun.Ready = TRUE;
    SendKeptLines ();
    return EFI_SUCCESS;
  }

  DepotClose ();
  if (!EcMayBeChanged ()) {
    return EndRun (EFI_NO_RESPONSE, Ucs2 (u"The depot at %s cannot be reached (%r); nothing was flashed.\r\n"), Url, Status);
  }

  //
  // Stopping here would leave a half-written EC for as long as the depot
  // is away, or for as long as a stranger keeps it refusing.
  //
  mDepotRun.Deferred = TRUE;
  ShowMessage (Ucs2 (u"The depot at %s cannot be reached (%r); the EC is incomplete: flashing anyway, results sent later.\r\n"), Url, Status);
  return EFI_SUCCESS;
}

VOID
SendRunLogToDepot (
  IN EFI_STATUS   Status,
  IN CONST CHAR8  *Line,
  IN UINTN        Length
  )
{
  CONST CHAR8  *Verdict;
  EFI_STATUS   Sent;

  if (!mDepotRun.Ready && !mDepotRun.Deferred) {
    return;
  }

  //
  // The verdict is in the name, so that a depot's page counts a day of runs
  // from its listing alone; it is judged as the log's ec= field is.
  //
  if (mRunRecord.NoImage) {
    //
    // Not a failure: the catalogue has nothing for this model, and the
    // page counts such machines apart.
    //
    Verdict = ".noimage.log";
  } else if (!EFI_ERROR (Status)) {
    Verdict = EcMayBeChanged () ? ".flashed.log" : ".uptodate.log";
  } else {
    Verdict = EcMayBeChanged () ? ".incomplete.log" : ".unchanged.log";
  }

  if (mDepotRun.Ready) {
    Sent = PutUnderName (&mDepotRun.Name, Verdict, Line, Length, TRUE, Line, Length);
    if (EFI_ERROR (Sent)) {
      KeepLine (&mDepotRun.Name, Verdict, Line, Length);
    }
  } else {
    //
    // A run that flashed without the depot tries it once more at its end:
    // the depot may be back, and this may be the boot's last attempt.
    //
    KeepLine (&mDepotRun.Name, Verdict, Line, Length);
    Sent = DepotConnect (mDepotRun.Url);
    if (!EFI_ERROR (Sent)) {
      mDepotRun.Ready = TRUE;
      Sent            = SendKeptLines ();
    }
  }

  if (EFI_ERROR (Sent)) {
    ShowMessage (Ucs2 (u"The run log could not be sent to the depot (%r).\r\n"), Sent);
  }
}

/**
  Put the save at the depot and read it back; nothing without a depot.

  @param[in] Data   The save.
  @param[in] Size   Its size.

  @retval EFI_SUCCESS     The depot holds the save, read back equal.
  @retval EFI_CRC_ERROR   What came back differs.
  @return                 The failure of the transfer.
**/
STATIC
EFI_STATUS
PutSave (
  IN CONST UINT8  *Data,
  IN UINTN        Size
  )
{
  CHAR8       File[DEPOT_NAME_CHARS + 1];
  EFI_STATUS  Status;
  UINT8       *Back;
  UINTN       Got;

  if (!mDepotRun.Ready) {
    return mDepotRun.Deferred ? EFI_NOT_READY : EFI_SUCCESS;
  }

  Status = PutUnderName (&mDepotRun.Name, ".bin", Data, Size, FALSE, mDepotRun.Name.Running, mDepotRun.Name.RunningLength);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // What the depot keeps is checked, not what was sent: a save that only
  // the sender believes in is no backup. It is read from the run's own
  // name, wherever a 409 moved it.
  //
  Back = static_cast<UINT8 *>(AllocatePool (Size + 1));
  if (Back == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  DepotFileName (&mDepotRun.Name, ".bin", File);
  Status = DepotGet (File, Back, Size + 1, &Got);
  if (!EFI_ERROR (Status) && ((Got != Size) || (CompareMem (Back, Data, Size) != 0))) {
    Status = EFI_CRC_ERROR;
  }

  FreePool (Back);
  return Status;
}

VOID
SendSaveToDepot (
  IN  CONST UINT8  *Data,
  IN  UINTN        Size,
  OUT RUN_RESULT   *Result
  )
{
  EFI_STATUS  Status;

  Status = PutSave (Data, Size);
  if (EFI_ERROR (Status)) {
    EcProgress ()->LinesFollow (0);
    Result->Status = EndRun (EFI_NO_RESPONSE, Ucs2 (u"Save failed: the depot did not keep the save (%r)." NOT_CHANGED), Status);
    Result->Ended  = TRUE;
  }
}

VOID
EndDepot (
  VOID
  )
{
  if (mDepotRun.Ready) {
    DepotClose ();
  }

  mDepotRun.Ready    = FALSE;
  mDepotRun.Deferred = FALSE;
}
