/** @file
  The run's last line and the run log.

  Every run that ends after its log was opened appends one line of ASCII
  text to it, refusals included:

    2026-12-07 10:23:45 mode=flash image="FS1:\ec.bin" size=131072
    crc32=1A2B3C4D blocks=2/2 id=0xEF serial=ABC123 uuid=... elapsed=12
    status=0x0 product="Model 7" ec=flashed changed=2 secureboot=off
    signer="EC release signing" version=0x00010200
    outcome="Morvane finished, remove power and reboot."

  (one line in the file). The line is on disk, and the file closed, before
  the run's last screen line is printed.

**/

extern "C" {
#include <Uefi.h>
#include <Library/PrintLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Guid/GlobalVariable.h>
}

#include "EcFlash.h"
#include "EcProgress.h"
#include "RunClock.h"
#include "RunLog.h"
#include "Smbios.h"
#include "VolumeFile.h"
#include "Ucs2.h"

//
// As many characters as one Print call writes: a line is shown as the
// screen would have printed it.
//
#define LINE_CHARS      320
#define FIELD_CHARS     80

STATIC VOLUME_FILE  mLogFile = NULL;
STATIC RUN_LOG_SENDER  mLogSender = NULL;
STATIC CHAR16             mLastLine[LINE_CHARS + 1];

STATIC CONST char16_t  *CONST  mModeNames[] = { u"flash", u"verify", u"save" };

/**
  What the run left the EC flash as: unchanged until an erase was sent (by
  this run or an earlier attempt of the same boot); then flashed when the
  run succeeded, incomplete when it failed.

  @param[in] Status   The run's status.

  @return "unchanged", "flashed" or "incomplete".
**/
STATIC
CONST CHAR16 *
EcState (
  IN EFI_STATUS  Status
  )
{
  if (!EcMayBeChanged ()) {
    return Ucs2 (u"unchanged");
  }

  return EFI_ERROR (Status) ? Ucs2 (u"incomplete") : Ucs2 (u"flashed");
}

/**
  Whether the firmware enforces Secure Boot: its SecureBoot variable is 1.
  A firmware without the variable has no Secure Boot.

  @return "on" or "off".
**/
STATIC
CONST CHAR16 *
SecureBootState (
  VOID
  )
{
  UINT8       Value;
  UINTN       Size;
  EFI_STATUS  Status;

  Value  = 0;
  Size   = sizeof (Value);
  Status = gRT->GetVariable (const_cast<CHAR16 *>(Ucs2 (u"SecureBoot")), &gEfiGlobalVariableGuid, NULL, &Size, &Value);
  return (!EFI_ERROR (Status) && (Size == sizeof (Value)) && (Value == 1)) ? Ucs2 (u"on") : Ucs2 (u"off");
}

/**
  Who signed the image, as the log gives it: the verified signer's common
  name in quotes ('"' written as "'"), unchecked for a capsule whose
  signature this Morvane cannot check, - for a raw image.

  @param[out] Text   Receives the field's value.
  @param[in]  Size   Its size in characters.
**/
STATIC
VOID
SignerText (
  OUT CHAR16  *Text,
  IN  UINTN   Size
  )
{
  UINTN  Index;

  if (!mRunRecord.Capsule) {
    UnicodeSPrint (Text, Size * sizeof (CHAR16), Ucs2 (u"-"));
  } else if (!mRunRecord.Verified) {
    UnicodeSPrint (Text, Size * sizeof (CHAR16), Ucs2 (u"unchecked"));
  } else {
    UnicodeSPrint (Text, Size * sizeof (CHAR16), Ucs2 (u"\"%s\""), mRunRecord.Signer);
    for (Index = 1; Text[Index] != 0 && Text[Index + 1] != 0; Index++) {
      Text[Index] = (Text[Index] == u'"') ? u'\'' : Text[Index];
    }
  }
}

EFI_STATUS
EFIAPI
EndRun (
  IN EFI_STATUS    Status,
  IN CONST CHAR16  *Format,
  ...
  )
{
  VA_LIST  Marker;

  VA_START (Marker, Format);
  UnicodeVSPrint (mLastLine, sizeof (mLastLine), Format, Marker);
  VA_END (Marker);

  WriteRunLog (Status, mLastLine);
  EcProgress ()->Show (mLastLine);
  return Status;
}

CONST CHAR16 *
RunLastLine (
  VOID
  )
{
  return mLastLine;
}

VOID
EFIAPI
ShowMessage (
  IN CONST CHAR16  *Format,
  ...
  )
{
  CHAR16   Line[LINE_CHARS + 1];
  VA_LIST  Marker;

  VA_START (Marker, Format);
  UnicodeVSPrint (Line, sizeof (Line), Format, Marker);
  VA_END (Marker);

  EcProgress ()->Show (Line);
}

VOID
EndWithFailure (
  IN  EFI_STATUS      Status,
  IN  CONST char16_t  *Format,
  OUT RUN_RESULT      *Result
  )
{
  EcProgress ()->LinesFollow (mRunRecord.BlocksDone);
  Result->Status = EndRun (Status, Ucs2 (Format), mRunRecord.BlocksDone, FailureAdvice ());
  Result->Ended  = TRUE;
}

EFI_STATUS
OpenRunLog (
  IN CONST CHAR16  *Path
  )
{
  EFI_STATUS  Status;
  UINT64      Size;

  Status = VolumeOpen (Path, &mLogFile, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE);
  if (EFI_ERROR (Status)) {
    mLogFile = NULL;
    return Status;
  }

  Status = VolumeGetSize (mLogFile, &Size);
  if (!EFI_ERROR (Status)) {
    Status = VolumeSetPosition (mLogFile, Size);
  }

  if (EFI_ERROR (Status)) {
    VolumeClose (&mLogFile);
    mLogFile = NULL;
  }

  return Status;
}

/**
  The outcome as the log quotes it: the screen line without its line end,
  and without quotes of its own.

  @param[in]  Line   The screen line.
  @param[out] Text   Receives the text; FIELD_CHARS * 2 characters.
**/
STATIC
VOID
OutcomeText (
  IN  CONST CHAR16  *Line,
  OUT CHAR16        *Text
  )
{
  UINTN  Index;

  for (Index = 0; Line[Index] != 0 && Line[Index] != u'\r' && Line[Index] != u'\n' && Index < 2 * FIELD_CHARS - 1; Index++) {
    Text[Index] = (Line[Index] == u'"') ? u'\'' : Line[Index];
  }

  Text[Index] = 0;
}

/**
  Write the run's line to the local log and close it.

  @param[in] Ascii    The line.
  @param[in] Length   Its length.
**/
STATIC
VOID
WriteLocalLog (
  IN CONST CHAR8  *Ascii,
  IN UINTN        Length
  )
{
  UINTN       Written;
  EFI_STATUS  Status;
  EFI_STATUS  Closed;

  Written = Length;
  Status  = VolumeWrite (mLogFile, &Written, Ascii);
  if (!EFI_ERROR (Status) && (Written != Length)) {
    Status = EFI_VOLUME_FULL;
  }

  Closed   = VolumeClose (&mLogFile);
  mLogFile = NULL;
  if (EFI_ERROR (Status) || EFI_ERROR (Closed)) {
    ShowMessage (Ucs2 (u"The run log could not be written (%r).\r\n"), EFI_ERROR (Status) ? Status : Closed);
  }
}

UINTN
FormatRunLogLine (
  IN  EFI_STATUS    Status,
  IN  BOOLEAN       Running,
  IN  CONST CHAR16  *Outcome,
  OUT CHAR8         *Ascii,
  IN  UINTN         AsciiSize
  )
{
  CHAR16  Line[RUN_LOG_LINE_CHARS + 1];
  CHAR16  Size[FIELD_CHARS];
  CHAR16  Crc[FIELD_CHARS];
  CHAR16  Id[FIELD_CHARS];
  CHAR16  Serial[FIELD_CHARS];
  CHAR16  Uuid[FIELD_CHARS];
  CHAR16  Product[PRODUCT_CHARS];
  CHAR16  Said[2 * FIELD_CHARS];
  CHAR16  Ended[FIELD_CHARS];
  CHAR16  When[FIELD_CHARS];
  CHAR16  Elapsed[FIELD_CHARS];
  CHAR16  Signer[FIELD_CHARS];
  CHAR16  Version[FIELD_CHARS];
  UINTN   Length;

  CONST RUN_RECORD  &R = mRunRecord;

  UnicodeSPrint (Size, sizeof (Size), R.ImageKnown ? Ucs2 (u"%Lu") : Ucs2 (u"-"), R.ImageSize);
  UnicodeSPrint (Crc, sizeof (Crc), R.ImageKnown ? Ucs2 (u"%08X") : Ucs2 (u"-"), R.ImageCrc);
  UnicodeSPrint (Id, sizeof (Id), mFlashIdRead ? Ucs2 (u"0x%02X") : Ucs2 (u"-"), mFlashId);
  UnicodeSPrint (Ended, sizeof (Ended), Running ? Ucs2 (u"running") : Ucs2 (u"0x%x"), static_cast<UINT32>(Status));
  ReadMachineIdentity (Serial, ARRAY_SIZE (Serial), Uuid, ARRAY_SIZE (Uuid));
  BOOLEAN  Named = ReadMachineProduct (Product, ARRAY_SIZE (Product));
  OutcomeText (Outcome, Said);
  SignerText (Signer, ARRAY_SIZE (Signer));
  UnicodeSPrint (Version, sizeof (Version), (R.Capsule || R.AtVersion) ? Ucs2 (u"0x%08X") : Ucs2 (u"-"), R.Version);
  //
  // A clock that could not be read gives no date: 0.0.0 would sort as the
  // oldest run there is and make elapsed= meaningless.
  //
  if (TimeIsKnown (&R.StartTime)) {
    UnicodeSPrint (
      When,
      sizeof (When),
      Ucs2 (u"%04d-%02d-%02d %02d:%02d:%02d"),
      R.StartTime.Year,
      R.StartTime.Month,
      R.StartTime.Day,
      R.StartTime.Hour,
      R.StartTime.Minute,
      R.StartTime.Second
      );
    UnicodeSPrint (Elapsed, sizeof (Elapsed), Ucs2 (u"%Ld"), SecondsSince (&R.StartTime));
  } else {
    UnicodeSPrint (When, sizeof (When), Ucs2 (u"time=unknown"));
    UnicodeSPrint (Elapsed, sizeof (Elapsed), Ucs2 (u"-"));
  }

  UnicodeSPrint (
    Line,
    sizeof (Line),
    Ucs2 (u"%s mode=%s image=\"%s\" size=%s crc32=%s blocks=%d/%d id=%s serial=%s uuid=%s elapsed=%s status=%s product=%s%s%s ec=%s changed=%d secureboot=%s signer=%s version=%s outcome=\"%s\"\r\n"),
    When,
    Ucs2 (mModeNames[R.Mode]),
    (R.Image != NULL) ? R.Image : Ucs2 (u"-"),
    Size,
    Crc,
    R.BlocksDone,
    R.BlocksPlanned,
    Id,
    Serial,
    Uuid,
    Elapsed,
    Ended,
    Named ? Ucs2 (u"\"") : Ucs2 (u""),
    Product,
    Named ? Ucs2 (u"\"") : Ucs2 (u""),
    EcState (Status),
    R.BlocksChanged,
    SecureBootState (),
    Signer,
    Version,
    Said
    );

  //
  // The log is ASCII: whatever the firmware's strings hold beyond it is '?'.
  //
  for (Length = 0; Line[Length] != 0 && Length + 1 < AsciiSize; Length++) {
    Ascii[Length] = ((Line[Length] >= 0x20 && Line[Length] < 0x7F) || Line[Length] == u'\r' || Line[Length] == u'\n')
                    ? static_cast<CHAR8>(Line[Length]) : '?';
  }

  Ascii[Length] = 0;
  return Length;
}

VOID
WriteRunLog (
  IN EFI_STATUS    Status,
  IN CONST CHAR16  *Outcome
  )
{
  CHAR8  Ascii[RUN_LOG_LINE_CHARS + 1];
  UINTN  Length;

  Length = FormatRunLogLine (Status, FALSE, Outcome, Ascii, sizeof (Ascii));
  if (mLogFile != NULL) {
    WriteLocalLog (Ascii, Length);
  }

  if (mLogSender != NULL) {
    mLogSender (Status, Ascii, Length);
  }
}

VOID
SetRunLogSender (
  IN RUN_LOG_SENDER  Sender
  )
{
  mLogSender = Sender;
}
