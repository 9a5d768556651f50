/** @file
  A run's results at a depot (-p URL): the run's first log line, marked
  running, goes to the depot before anything else is checked, the save goes
  there and is read back before the first erase, and the final log line
  replaces the running one before the run's last screen line.

  The running line and the final line are two files, and the depot takes
  every name once: a machine that loses power mid-flash therefore keeps its
  BASE.run with no final line beside it, and nobody can write over a save
  or a log.

  Every file is DAY/BASE.suffix, BASE being <serial>-<MAC>-<YYYYMMDD>-<HHMMSS>
  (or <serial>-<MAC>-nodate-<boot count> without a clock): placeholder
  serials ("Default string") repeat across machines, the network card's
  address does not.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

#include "Depot.h"
#include "RunInternal.h"
#include "Ucs2.h"

#define FIELD_CHARS        80
#define SERIAL_NAME_CHARS  24

//
// A name the depot already holds is never written over: the run takes the
// next of BASE-2 ... BASE-9 instead.
//
#define DEPOT_NAME_TRIES   9

STATIC BOOLEAN  mDepotReady = FALSE;
STATIC CHAR8    mDepotDay[DEPOT_DAY_CHARS + 1];
STATIC CHAR8    mDepotBase[DEPOT_BASE_CHARS + 1];

/**
  Whether a character may stand in a depot name as it is.
**/
STATIC
BOOLEAN
IsNameChar (
  IN CHAR16  C
  )
{
  return (C >= u'A' && C <= u'Z') || (C >= u'a' && C <= u'z') || (C >= u'0' && C <= u'9') ||
         (C == u'.') || (C == u'_') || (C == u'-');
}

/**
  The serial as it stands in a depot name: at most SERIAL_NAME_CHARS
  characters, anything but [A-Za-z0-9._-] as '_', and a first '.' or '-'
  as '_' (a dot-name is hidden, a dash reads as an option); "none" when the
  machine has no serial.

  @param[out] Name   Receives it; SERIAL_NAME_CHARS + 1 characters.
**/
STATIC
VOID
SerialForName (
  OUT CHAR8  *Name
  )
{
  CHAR16  Serial[FIELD_CHARS];
  CHAR16  Uuid[FIELD_CHARS];
  UINTN   Index;

  ReadMachineIdentity (Serial, ARRAY_SIZE (Serial), Uuid, ARRAY_SIZE (Uuid));
  if (StrCmp (Serial, Ucs2 (u"-")) == 0) {
    AsciiStrCpyS (Name, SERIAL_NAME_CHARS + 1, "none");
    return;
  }

  for (Index = 0; Serial[Index] != 0 && Index < SERIAL_NAME_CHARS; Index++) {
    Name[Index] = IsNameChar (Serial[Index]) ? static_cast<CHAR8>(Serial[Index]) : '_';
  }

  Name[Index] = 0;
  if ((Name[0] == '.') || (Name[0] == '-')) {
    Name[0] = '_';
  }
}

/**
  Build the run's day folder and base name at the depot from the machine's
  serial, the network card's address and the run's start time. Without a
  readable clock the day is "nodate" and the time is replaced by the
  firmware's boot count, so that two boots never share a name.
**/
STATIC
VOID
BuildDepotName (
  VOID
  )
{
  CHAR8   Serial[SERIAL_NAME_CHARS + 1];
  CHAR16  Mac[DEPOT_MAC_CHARS];
  UINT64  Count;

  SerialForName (Serial);
  DepotMacText (Mac, ARRAY_SIZE (Mac));
  CONST EFI_TIME  &T = mRunRecord.StartTime;

  if (TimeIsKnown (&T)) {
    AsciiSPrint (mDepotDay, sizeof (mDepotDay), "%04d%02d%02d", T.Year, T.Month, T.Day);
    AsciiSPrint (mDepotBase, sizeof (mDepotBase), "%a-%s-%a-%02d%02d%02d", Serial, Mac, mDepotDay, T.Hour, T.Minute, T.Second);
    return;
  }

  //
  // The high half of the monotonic count is kept by the firmware across
  // boots and grows by one each boot.
  //
  Count = 0;
  gBS->GetNextMonotonicCount (&Count);
  AsciiStrCpyS (mDepotDay, sizeof (mDepotDay), "nodate");
  AsciiSPrint (mDepotBase, sizeof (mDepotBase), "%a-%s-nodate-%08X", Serial, Mac, static_cast<UINT32>(RShiftU64 (Count, 32)));
}

/**
  The depot's name of one of the run's files: its day folder, its base name
  and the suffix.

  @param[out] Name        Receives the name.
  @param[in]  Size        Its size.
  @param[in]  Suffix      ".run", ".bin" or ".VERDICT.log".
**/
STATIC
VOID
DepotFileName (
  OUT CHAR8        *Name,
  IN  UINTN        Size,
  IN  CONST CHAR8  *Suffix
  )
{
  AsciiSPrint (Name, Size, "%a/%a%a", mDepotDay, mDepotBase, Suffix);
}

/**
  Put the run's first line at the depot under the first of BASE, BASE-2 ...
  BASE-9 that it does not hold yet: that claims the name for the save and
  the final line.

  @param[in] Line     The line, marked running.
  @param[in] Length   Its length.

  @return The status of the last PUT.
**/
STATIC
EFI_STATUS
ClaimDepotName (
  IN CONST CHAR8  *Line,
  IN UINTN        Length
  )
{
  CHAR8       Name[DEPOT_NAME_CHARS + 1];
  CHAR8       Plain[DEPOT_BASE_CHARS + 1];
  EFI_STATUS  Status;
  UINTN       Try;

  AsciiStrCpyS (Plain, sizeof (Plain), mDepotBase);
  Status = EFI_ACCESS_DENIED;
  for (Try = 1; Try <= DEPOT_NAME_TRIES && Status == EFI_ACCESS_DENIED; Try++) {
    if (Try > 1) {
      AsciiSPrint (mDepotBase, sizeof (mDepotBase), "%a-%d", Plain, Try);
    }

    DepotFileName (Name, sizeof (Name), ".run");
    Status = DepotPut (Name, Line, Length);
  }

  return Status;
}

EFI_STATUS
StartDepot (
  IN CONST CHAR16  *Url
  )
{
  EFI_STATUS  Status;
  CHAR8       Line[RUN_LOG_LINE_CHARS + 1];
  UINTN       Length;

  Status = DepotConnect (Url);
  if (!EFI_ERROR (Status)) {
    BuildDepotName ();
    Length = FormatRunLogLine (EFI_SUCCESS, TRUE, Ucs2 (u"running"), Line, sizeof (Line));
    Status = ClaimDepotName (Line, Length);
  }

  if (EFI_ERROR (Status)) {
    DepotClose ();
    return EndRun (EFI_NO_RESPONSE, Ucs2 (u"The depot at %s cannot be reached (%r); nothing was flashed.\r\n"), Url, Status);
  }

  mDepotReady = TRUE;
  return EFI_SUCCESS;
}

VOID
SendRunLogToDepot (
  IN EFI_STATUS   Status,
  IN CONST CHAR8  *Line,
  IN UINTN        Length
  )
{
  CHAR8        Name[DEPOT_NAME_CHARS + 1];
  CONST CHAR8  *Verdict;

  if (!mDepotReady) {
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

  DepotFileName (Name, sizeof (Name), Verdict);
  Status = DepotPut (Name, Line, Length);
  if (EFI_ERROR (Status)) {
    ShowMessage (Ucs2 (u"The run log could not be sent to the depot (%r).\r\n"), Status);
  }
}

EFI_STATUS
SendSaveToDepot (
  IN CONST UINT8  *Data,
  IN UINTN        Size
  )
{
  CHAR8       Name[DEPOT_NAME_CHARS + 1];
  EFI_STATUS  Status;
  UINT8       *Back;
  UINTN       Got;

  if (!mDepotReady) {
    return EFI_SUCCESS;
  }

  DepotFileName (Name, sizeof (Name), ".bin");
  Status = DepotPut (Name, Data, Size);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // What the depot keeps is checked, not what was sent: a save that only
  // the sender believes in is no backup.
  //
  Back = static_cast<UINT8 *>(AllocatePool (Size + 1));
  if (Back == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Status = DepotGet (Name, Back, Size + 1, &Got);
  if (!EFI_ERROR (Status) && ((Got != Size) || (CompareMem (Back, Data, Size) != 0))) {
    Status = EFI_CRC_ERROR;
  }

  FreePool (Back);
  return Status;
}

VOID
EndDepot (
  VOID
  )
{
  if (mDepotReady) {
    DepotClose ();
  }

  mDepotReady = FALSE;
}
