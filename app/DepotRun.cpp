/** @file
  A run's results at a depot (-p URL): the run's first log line, marked
  running, goes to the depot before anything else is checked, the save goes
  there and is read back before the first erase, and the final log line
  replaces the running one before the run's last screen line.

  A machine that loses power mid-flash therefore stays "running" at the
  depot: that is how a depot tells it from one that finished.

  Every file is named <serial>-<MAC>-<YYYYMMDD>-<HHMMSS>: placeholder serials
  ("Default string") repeat across machines, the network card's address
  does not.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiLib.h>
}

#include "Depot.h"
#include "Morvane.h"
#include "Ucs2.h"

#define FIELD_CHARS        80
#define SERIAL_NAME_CHARS  24

STATIC BOOLEAN  mDepotReady = FALSE;
STATIC CHAR8    mDepotBase[DEPOT_NAME_CHARS - 4 + 1];

/**
  Build the run's base name at the depot from the machine's serial, the
  network card's address and the run's start time; anything but
  [A-Za-z0-9._-] becomes '_'.
**/
STATIC
VOID
BuildDepotName (
  VOID
  )
{
  CHAR16  Serial[FIELD_CHARS];
  CHAR16  Uuid[FIELD_CHARS];
  CHAR16  Mac[DEPOT_MAC_CHARS];
  CHAR16  Name[ARRAY_SIZE (mDepotBase)];
  UINTN   Index;
  CHAR16  C;

  ReadMachineIdentity (Serial, ARRAY_SIZE (Serial), Uuid, ARRAY_SIZE (Uuid));
  DepotMacText (Mac, ARRAY_SIZE (Mac));
  CONST EFI_TIME  &T = mRunRecord.StartTime;

  //
  // The serial is cut so that the address and the time always fit.
  //
  Serial[SERIAL_NAME_CHARS] = 0;
  UnicodeSPrint (
    Name,
    sizeof (Name),
    Ucs2 (u"%s-%s-%04d%02d%02d-%02d%02d%02d"),
    (StrCmp (Serial, Ucs2 (u"-")) == 0) ? Ucs2 (u"none") : Serial,
    Mac,
    T.Year,
    T.Month,
    T.Day,
    T.Hour,
    T.Minute,
    T.Second
    );
  for (Index = 0; Name[Index] != 0; Index++) {
    C = Name[Index];
    mDepotBase[Index] = ((C >= u'A' && C <= u'Z') || (C >= u'a' && C <= u'z') || (C >= u'0' && C <= u'9') ||
                         (C == u'.') || (C == u'_') || (C == u'-')) ? static_cast<CHAR8>(C) : '_';
  }

  mDepotBase[Index] = 0;
}

/**
  The depot's name of one of the run's files.

  @param[out] Name        Receives the base name and the suffix.
  @param[in]  Size        Its size.
  @param[in]  Suffix      ".log" or ".bin".
**/
STATIC
VOID
DepotFileName (
  OUT CHAR8        *Name,
  IN  UINTN        Size,
  IN  CONST CHAR8  *Suffix
  )
{
  AsciiSPrint (Name, Size, "%a%a", mDepotBase, Suffix);
}

EFI_STATUS
StartDepot (
  IN CONST CHAR16  *Url
  )
{
  EFI_STATUS  Status;
  CHAR8       Line[RUN_LOG_LINE_CHARS + 1];
  CHAR8       Name[DEPOT_NAME_CHARS + 1];
  UINTN       Length;

  Status = DepotConnect (Url);
  if (!EFI_ERROR (Status)) {
    BuildDepotName ();
    DepotFileName (Name, sizeof (Name), ".log");
    Length = FormatRunLogLine (EFI_SUCCESS, TRUE, Ucs2 (u"running"), Line, sizeof (Line));
    Status = DepotPut (Name, Line, Length);
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
  IN CONST CHAR8  *Line,
  IN UINTN        Length
  )
{
  CHAR8       Name[DEPOT_NAME_CHARS + 1];
  EFI_STATUS  Status;

  if (!mDepotReady) {
    return;
  }

  DepotFileName (Name, sizeof (Name), ".log");
  Status = DepotPut (Name, Line, Length);
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"The run log could not be sent to the depot (%r).\r\n"), Status);
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
