/** @file
  FmpDeviceLib for the EC: what FmpDxe (FmpDevicePkg) asks of the device.

  The device's identity, version and attributes are final: the image type
  is the one the driver is built for (PcdFmpDeviceImageTypeIdGuid, the
  machines' hardware ID that their capsules name), the version and lowest
  supported version come from the EC version record that Morvane keeps,
  the image is in use, and an update is signed and needs a reset.

  The version record is the one version floor of both routes (EcVersionRecord.h):
  SetImage holds a capsule to it before the EC is touched, whatever
  FmpDxe decided from its own variables, and raises it after the flash to
  the capsule's lowest supported version when that is higher. FmpDxe
  hands over the payload alone; the FMP payload header that carries the
  capsule's lowest supported version lies right before it in FmpDxe's
  buffer, inside what the signature FmpDxe checked covers. A record that
  cannot be read, or a variable of its name that is not the record,
  refuses the update: the floor it hides cannot be known.

  Writing and reading the EC are Morvane's own runs (EcRun.h), as the
  shell command and the boot program make them: SetImage flashes the
  payload that FmpDxe has already authenticated as `Morvane -u` would
  (each block compared first, only a block that differs erased,
  programmed and verified, then the closing check over every block), and
  GetImage reads the EC as a save does. Neither draws anything: FmpDxe
  hears the progress, and the run's last line goes to the debug log and
  to the abort reason of a failed update.

**/

extern "C" {
#include <PiDxe.h>
#include <Guid/SystemResourceTable.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/FmpDeviceLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PcdLib.h>
#include <Library/PrintLib.h>
}

#include "EcCapsule.h"
#include "EcFlash.h"
#include "EcFmpDevice.h"
#include "EcImagePlan.h"
#include "EcRun.h"
#include "EcVersionRecord.h"
#include "Ucs2.h"

// In use: the ESRT lists only images that are (EsrtFmpDxe skips the rest).
STATIC CONST UINT64  EC_FMP_ATTRIBUTES = IMAGE_ATTRIBUTE_IMAGE_UPDATABLE | IMAGE_ATTRIBUTE_RESET_REQUIRED |
                                         IMAGE_ATTRIBUTE_AUTHENTICATION_REQUIRED | IMAGE_ATTRIBUTE_IN_USE;

//
// An earlier update of this boot sent an erase and failed: the EC may be
// half-written, whatever the next attempt does before its own erase.
//
STATIC BOOLEAN  mEcIncomplete = FALSE;

///
/// How a run's failing status reads as a last-attempt status.
///
typedef struct {
  EFI_STATUS    Run;
  UINT32        Unchanged;     ///< no erase reached the EC
  UINT32        Incomplete;    ///< one did
} EC_FMP_OUTCOME;

STATIC CONST EC_FMP_OUTCOME  mOutcomes[] = {
  { EFI_TIMEOUT,           EC_FMP_STATUS_NO_EC,      EC_FMP_STATUS_EC_STOPPED        },
  { EFI_DEVICE_ERROR,      EC_FMP_STATUS_FAILED,     EC_FMP_STATUS_NEVER_VERIFIED    },
  { EFI_END_OF_MEDIA,      EC_FMP_STATUS_FAILED,     EC_FMP_STATUS_CHECK_FAILED      },
  { EFI_INVALID_PARAMETER, EC_FMP_STATUS_IMAGE_SIZE, EC_FMP_STATUS_FAILED_INCOMPLETE },
  { EFI_BAD_BUFFER_SIZE,   EC_FMP_STATUS_IMAGE_SIZE, EC_FMP_STATUS_FAILED_INCOMPLETE },
};

/**
  The last-attempt status of a failed run.

  @param[in] Status       The run's status.
  @param[in] Incomplete   An erase reached the EC, in this run or an earlier
                          one of this boot.

  @return A status from the device library's range.
**/
STATIC
UINT32
LastAttemptOf (
  IN EFI_STATUS  Status,
  IN BOOLEAN     Incomplete
  )
{
  UINTN  Index;

  for (Index = 0; Index < ARRAY_SIZE (mOutcomes); Index++) {
    if (mOutcomes[Index].Run == Status) {
      return Incomplete ? mOutcomes[Index].Incomplete : mOutcomes[Index].Unchanged;
    }
  }

  return Incomplete ? EC_FMP_STATUS_FAILED_INCOMPLETE : EC_FMP_STATUS_FAILED;
}

/**
  The last-attempt status of an update refused before its run: its own,
  unless an earlier update of this boot sent an erase and failed. The EC is
  then half-written whatever this one was refused for, and the status that
  FmpDxe keeps across the reset must say so.

  @param[in] Refusal   The refusal's own status.

  @return Refusal, or EC_FMP_STATUS_FAILED_INCOMPLETE.
**/
STATIC
UINT32
RefusedAs (
  IN UINT32  Refusal
  )
{
  return mEcIncomplete ? EC_FMP_STATUS_FAILED_INCOMPLETE : Refusal;
}

/**
  The abort reason of a failed update, as FmpDxe's caller frees it: the
  run's last line without its line end.

  @param[out] AbortReason   Receives a pool copy; NULL when there is no room.
**/
STATIC
VOID
GiveAbortReason (
  OUT CHAR16  **AbortReason
  )
{
  CONST CHAR16  *Line;
  UINTN         Length;

  Line   = RunLastLine ();
  Length = StrLen (Line);
  while ((Length > 0) && ((Line[Length - 1] == u'\r') || (Line[Length - 1] == u'\n'))) {
    Length--;
  }

  *AbortReason = static_cast<CHAR16 *>(AllocatePool ((Length + 1) * sizeof (CHAR16)));
  if (*AbortReason != NULL) {
    CopyMem (*AbortReason, Line, Length * sizeof (CHAR16));
    (*AbortReason)[Length] = 0;
  }
}

/**
  A run as the driver makes it: every one of Morvane's own checks (the
  closing check included), an EC that an earlier failure of this boot
  left half-written known as such, no file and no depot.

  @param[out] Options   The options.
  @param[in]  Mode      What the run does.
**/
STATIC
VOID
DriverOptions (
  OUT MORVANE_OPTIONS  *Options,
  IN  RUN_MODE         Mode
  )
{
  ZeroMem (Options, sizeof (*Options));
  Options->Mode         = Mode;
  Options->OwnOptions   = TRUE;
  Options->ErasedBefore = mEcIncomplete;
}

extern "C"
EFI_STATUS
EFIAPI
FmpDeviceGetSize (
  OUT UINTN  *Size
  )
{
  if (Size == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  // The EC cannot tell how large its flash part is: 0, as the interface
  // asks of a device that cannot say.
  *Size = 0;
  return EFI_SUCCESS;
}

/**
  Read the EC's flash as a save reads it: whole blocks from block 0, in one
  session bracketed by the keyboard's off and on, as many as the caller's
  buffer asks for (at most the 256 blocks the EC can number).

  @param[out]     Image       The buffer.
  @param[in, out] ImageSize   Its size in; the bytes read out. A caller
                              that asks for 0 bytes is told the most the
                              EC can hold, 16 MiB.

  @retval EFI_SUCCESS            Image holds the flash's first *ImageSize bytes.
  @retval EFI_BUFFER_TOO_SMALL   *ImageSize was 0.
  @retval EFI_OUT_OF_RESOURCES   No pool for the blocks.
  @retval EFI_DEVICE_ERROR       The EC did not answer (nothing was changed).
**/
extern "C"
EFI_STATUS
EFIAPI
FmpDeviceGetImage (
  OUT    VOID   *Image,
  IN OUT UINTN  *ImageSize
  )
{
  MORVANE_OPTIONS  Options;
  EFI_TIME         Start;
  EFI_STATUS       Status;
  UINTN            Size;
  UINT32           Blocks;
  UINT8            *Read;

  if (ImageSize == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  if (*ImageSize == 0) {
    *ImageSize = EC_FMP_IMAGE_MAX_SIZE;
    return EFI_BUFFER_TOO_SMALL;
  }

  if (Image == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  Size      = MIN (*ImageSize, static_cast<UINTN>(EC_FMP_IMAGE_MAX_SIZE));
  Blocks    = static_cast<UINT32>((Size + FLASH_BLOCK_SIZE - 1) / FLASH_BLOCK_SIZE);
  Read = static_cast<UINT8 *>(AllocatePool (static_cast<UINTN>(Blocks) * FLASH_BLOCK_SIZE));
  if (Read == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  DriverOptions (&Options, ModeSave);
  Options.SaveInMemory = TRUE;
  Options.SaveBlocks   = Blocks;
  LendSaveBuffer (Read, Blocks);
  EcFmpProgressFollowRun (NULL, Blocks);
  ReadStartTime (&Start);
  Status = RunMorvane (&Options, &Start);
  EcFmpProgressEndRun (!EFI_ERROR (Status));
  ReturnSaveBuffer ();
  if (!EFI_ERROR (Status)) {
    CopyMem (Image, Read, Size);
    *ImageSize = Size;
  }

  FreePool (Read);
  return EFI_ERROR (Status) ? EFI_DEVICE_ERROR : EFI_SUCCESS;
}

/**
  What can be told of an image without the EC: it holds 1 byte to 16 MiB,
  and the flash writes all of it (a last piece whose first half holds under
  8 KiB past block 0 would be left out: never an update that says it
  succeeded). A payload that is itself a capsule is refused too: FmpDxe
  has unwrapped the capsule it came in, and the EC would receive the inner
  one's headers and signature as its firmware.
**/
extern "C"
EFI_STATUS
EFIAPI
FmpDeviceCheckImageWithStatus (
  IN  CONST VOID  *Image,
  IN  UINTN       ImageSize,
  OUT UINT32      *ImageUpdatable,
  OUT UINT32      *LastAttemptStatus
  )
{
  if ((Image == NULL) || (ImageUpdatable == NULL) || (LastAttemptStatus == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  EC_IMAGE_PLAN  Plan;

  EcPlanImage (ImageSize, &Plan);
  *LastAttemptStatus = LAST_ATTEMPT_STATUS_SUCCESS;
  *ImageUpdatable    = IMAGE_UPDATABLE_VALID;
  if ((ImageSize == 0) || (ImageSize > EC_FMP_IMAGE_MAX_SIZE) || (Plan.LeftOutBytes > 0)) {
    *ImageUpdatable    = IMAGE_UPDATABLE_INVALID;
    *LastAttemptStatus = RefusedAs (EC_FMP_STATUS_IMAGE_SIZE);
  } else if (EcCapsuleLooksLikeOne (Image, ImageSize)) {
    *ImageUpdatable    = IMAGE_UPDATABLE_INVALID;
    *LastAttemptStatus = RefusedAs (EC_FMP_STATUS_CAPSULE_INSIDE);
  }

  return EFI_SUCCESS;
}

/**
  The version record as it stands; none reads as version 0, lowest 0.

  @param[out] Record              The record.
  @param[out] LastAttemptStatus   Why not, when it cannot be trusted.

  @retval EFI_SUCCESS   Record holds the floor.
  @retval EFI_ABORTED   The record could not be read, or a variable of its
                        name is not the record.
**/
STATIC
EFI_STATUS
ReadFloor (
  OUT MORVANE_EC_VERSION_RECORD  *Record,
  OUT UINT32                     *LastAttemptStatus
  )
{
  EFI_STATUS  Status;

  Status = EcVersionRecordRead (Record);
  if ((Status == EFI_SUCCESS) || (Status == EFI_NOT_FOUND)) {
    return EFI_SUCCESS;
  }

  DEBUG ((DEBUG_ERROR, "EcFmpDxe: the EC version record cannot be trusted (%r); nothing is flashed\n", Status));
  *LastAttemptStatus = RefusedAs ((Status == EC_VERSION_RECORD_FOREIGN) ? EC_FMP_STATUS_RECORD_FOREIGN : EC_FMP_STATUS_RECORD_UNREADABLE);
  return EFI_ABORTED;
}

/**
  The capsule's payload header, as FmpDxe leaves it right before the
  payload: exactly the header GenerateCapsule.py writes, of the version
  FmpDxe names.

  @param[in]  Payload            The payload FmpDxe hands over.
  @param[in]  PayloadSize        Its size.
  @param[in]  CapsuleFwVersion   The version FmpDxe read from the header.
  @param[out] Header             What the header says.
  @param[out] LastAttemptStatus  Why not, when there is no such header.

  @retval EFI_SUCCESS   Header holds the capsule's versions.
  @retval EFI_ABORTED   No such header.
**/
STATIC
EFI_STATUS
ReadPayloadHeader (
  IN  CONST UINT8        *Payload,
  IN  UINTN              PayloadSize,
  IN  UINT32             CapsuleFwVersion,
  OUT EC_PAYLOAD_HEADER  *Header,
  OUT UINT32             *LastAttemptStatus
  )
{
  CONST CHAR16  *Reason;

  Reason = EcCapsuleReadPayloadHeader (Payload - EC_PAYLOAD_HEADER_SIZE, EC_PAYLOAD_HEADER_SIZE + PayloadSize, Header);
  if ((Reason == NULL) && (Header->HeaderSize == EC_PAYLOAD_HEADER_SIZE) && (Header->FwVersion == CapsuleFwVersion)) {
    return EFI_SUCCESS;
  }

  DEBUG ((DEBUG_ERROR, "EcFmpDxe: no payload header of version 0x%08x before the payload; nothing is flashed\n", CapsuleFwVersion));
  *LastAttemptStatus = RefusedAs (EC_FMP_STATUS_PAYLOAD_HEADER);
  return EFI_ABORTED;
}

/**
  Flash the payload FmpDxe has authenticated onto the EC, as `Morvane -u`
  flashes an image: only the blocks that differ are erased, programmed and
  verified (eight attempts each, every wait bounded), then every block is
  read back once more; the keyboard is off meanwhile. A capsule below the
  version record's lowest supported version, a payload without its
  header, and a record that cannot be trusted are refused first. Only a
  run that succeeded moves the record to the capsule's version, and its
  lowest supported version up to the capsule's.

  @retval EFI_SUCCESS                The EC holds the payload, and its version is recorded.
  @retval EFI_ABORTED                The payload was refused before the EC was touched.
  @retval EFI_INCOMPATIBLE_VERSION   The capsule is below the record's lowest supported version.
  @return                            The run's failure; *LastAttemptStatus says which,
                                     and whether the EC was left incomplete.
**/
extern "C"
EFI_STATUS
EFIAPI
FmpDeviceSetImageWithStatus (
  IN  CONST VOID                                     *Image,
  IN  UINTN                                          ImageSize,
  IN  CONST VOID                                     *VendorCode       OPTIONAL,
  IN  EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS  Progress          OPTIONAL,
  IN  UINT32                                         CapsuleFwVersion,
  OUT CHAR16                                         **AbortReason,
  OUT UINT32                                         *LastAttemptStatus
  )
{
  EFI_STATUS                 Status;
  MORVANE_EC_VERSION_RECORD  Record;
  EC_PAYLOAD_HEADER          Header;
  MORVANE_OPTIONS            Options;
  EC_IMAGE_PLAN              Plan;
  EFI_TIME                   Start;
  UINT32                     Updatable;
  BOOLEAN                    Incomplete;

  if ((Image == NULL) || (LastAttemptStatus == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  Status = FmpDeviceCheckImageWithStatus (Image, ImageSize, &Updatable, LastAttemptStatus);
  if (EFI_ERROR (Status) || (Updatable != IMAGE_UPDATABLE_VALID)) {
    return EFI_ABORTED;
  }

  Status = ReadPayloadHeader (static_cast<CONST UINT8 *>(Image), ImageSize, CapsuleFwVersion, &Header, LastAttemptStatus);
  if (!EFI_ERROR (Status)) {
    Status = ReadFloor (&Record, LastAttemptStatus);
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // FmpDxe's own check may be older than the record: Morvane can have
  // raised it since FmpDxe read it.
  //
  if (CapsuleFwVersion < Record.LowestSupported) {
    DEBUG ((DEBUG_ERROR, "EcFmpDxe: version 0x%08x is below the lowest supported 0x%08x\n", CapsuleFwVersion, Record.LowestSupported));
    *LastAttemptStatus = RefusedAs (EC_FMP_STATUS_BELOW_FLOOR);
    return EFI_INCOMPATIBLE_VERSION;
  }

  EcPlanImage (ImageSize, &Plan);
  DriverOptions (&Options, ModeFlash);
  Options.Update = TRUE;
  // The run only reads a lent image.
  LendImage (static_cast<UINT8 *>(const_cast<VOID *>(Image)), ImageSize);
  EcFmpProgressFollowRun (Progress, Plan.Blocks);
  ReadStartTime (&Start);
  Status     = RunMorvane (&Options, &Start);
  Incomplete = RunEraseSent () || mEcIncomplete;
  ReturnImage ();
  if (EFI_ERROR (Status)) {
    EcFmpProgressEndRun (FALSE);
    mEcIncomplete      = Incomplete;
    *LastAttemptStatus = LastAttemptOf (Status, Incomplete);
    if (AbortReason != NULL) {
      GiveAbortReason (AbortReason);
    }

    return Status;
  }

  mEcIncomplete = FALSE;
  // The floor never goes down: the record read before the flash, raised
  // to the capsule's lowest supported version.
  Record.Version         = CapsuleFwVersion;
  Record.LowestSupported = MAX (Record.LowestSupported, Header.LowestSupportedVersion);
  Status                 = EcVersionRecordWrite (&Record);
  EcFmpProgressEndRun (!EFI_ERROR (Status));
  if (EFI_ERROR (Status)) {
    *LastAttemptStatus = EC_FMP_STATUS_RECORD;
    return Status;
  }

  return EFI_SUCCESS;
}

// ---------------------------------------------------------------------------
// The device as FmpDxe sees it.
// ---------------------------------------------------------------------------

extern "C"
EFI_STATUS
EFIAPI
RegisterFmpInstaller (
  IN FMP_DEVICE_LIB_REGISTER_FMP_INSTALLER  FmpInstaller
  )
{
  // The EC is no device of the UEFI driver model: FmpDxe installs the
  // interface on its own image handle.
  return EFI_UNSUPPORTED;
}

extern "C"
EFI_STATUS
EFIAPI
RegisterFmpUninstaller (
  IN FMP_DEVICE_LIB_REGISTER_FMP_UNINSTALLER  FmpUninstaller
  )
{
  return EFI_UNSUPPORTED;
}

extern "C"
EFI_STATUS
EFIAPI
FmpDeviceSetContext (
  IN EFI_HANDLE  Handle,
  IN OUT VOID    **Context
  )
{
  return EFI_UNSUPPORTED;
}

/**
  The capsules' image type, as the driver was built for: the GUID fwupd and
  the ESRT know the EC by.
**/
extern "C"
EFI_STATUS
EFIAPI
FmpDeviceGetImageTypeIdGuidPtr (
  OUT EFI_GUID  **Guid
  )
{
  if (Guid == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  if (PcdGetSize (PcdFmpDeviceImageTypeIdGuid) != sizeof (EFI_GUID)) {
    return EFI_UNSUPPORTED;
  }

  *Guid = static_cast<EFI_GUID *>(PcdGetPtr (PcdFmpDeviceImageTypeIdGuid));
  return EFI_SUCCESS;
}

extern "C"
EFI_STATUS
EFIAPI
FmpDeviceGetAttributes (
  OUT UINT64  *Supported,
  OUT UINT64  *Setting
  )
{
  if ((Supported == NULL) || (Setting == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  *Supported = EC_FMP_ATTRIBUTES;
  *Setting   = EC_FMP_ATTRIBUTES;
  return EFI_SUCCESS;
}

/**
  Read the version record; no record (a machine never flashed from a
  capsule) reads as version 0, lowest 0.

  @param[out] Record   The record.

  @retval EFI_SUCCESS        Record holds it.
  @retval EFI_DEVICE_ERROR   It could not be read, or a variable of its
                             name is not the record: the versions are not
                             known, and SetImage refuses every capsule.
**/
STATIC
EFI_STATUS
CurrentRecord (
  OUT MORVANE_EC_VERSION_RECORD  *Record
  )
{
  EFI_STATUS  Status;

  Status = EcVersionRecordRead (Record);
  return ((Status == EFI_SUCCESS) || (Status == EFI_NOT_FOUND)) ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}

extern "C"
EFI_STATUS
EFIAPI
FmpDeviceGetLowestSupportedVersion (
  OUT UINT32  *LowestSupportedVersion
  )
{
  MORVANE_EC_VERSION_RECORD  Record;
  EFI_STATUS                 Status;

  if (LowestSupportedVersion == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  Status                  = CurrentRecord (&Record);
  *LowestSupportedVersion = Record.LowestSupported;
  return Status;
}

extern "C"
EFI_STATUS
EFIAPI
FmpDeviceGetVersion (
  OUT UINT32  *Version
  )
{
  MORVANE_EC_VERSION_RECORD  Record;
  EFI_STATUS                 Status;

  if (Version == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  Status   = CurrentRecord (&Record);
  *Version = Record.Version;
  return Status;
}

extern "C"
EFI_STATUS
EFIAPI
FmpDeviceGetVersionString (
  OUT CHAR16  **VersionString
  )
{
  STATIC CONST UINTN         LENGTH = sizeof (u"0x00000000");
  MORVANE_EC_VERSION_RECORD  Record;

  if (VersionString == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  if (EFI_ERROR (CurrentRecord (&Record))) {
    return EFI_DEVICE_ERROR;
  }

  *VersionString = static_cast<CHAR16 *>(AllocatePool (LENGTH));
  if (*VersionString == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  UnicodeSPrint (*VersionString, LENGTH, Ucs2 (u"0x%08x"), Record.Version);
  return EFI_SUCCESS;
}

extern "C"
EFI_STATUS
EFIAPI
FmpDeviceGetHardwareInstance (
  OUT UINT64  *HardwareInstance
  )
{
  return EFI_UNSUPPORTED;
}

extern "C"
EFI_STATUS
EFIAPI
FmpDeviceCheckImage (
  IN  CONST VOID  *Image,
  IN  UINTN       ImageSize,
  OUT UINT32      *ImageUpdatable
  )
{
  UINT32  LastAttemptStatus;

  return FmpDeviceCheckImageWithStatus (Image, ImageSize, ImageUpdatable, &LastAttemptStatus);
}

extern "C"
EFI_STATUS
EFIAPI
FmpDeviceSetImage (
  IN  CONST VOID                                     *Image,
  IN  UINTN                                          ImageSize,
  IN  CONST VOID                                     *VendorCode       OPTIONAL,
  IN  EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS  Progress          OPTIONAL,
  IN  UINT32                                         CapsuleFwVersion,
  OUT CHAR16                                         **AbortReason
  )
{
  UINT32  LastAttemptStatus;

  return FmpDeviceSetImageWithStatus (Image, ImageSize, VendorCode, Progress, CapsuleFwVersion, AbortReason,
                                      &LastAttemptStatus);
}

extern "C"
EFI_STATUS
EFIAPI
FmpDeviceLock (
  VOID
  )
{
  // The EC has no write lock of its own; FmpDxe refuses updates after its
  // lock event all the same.
  return EFI_UNSUPPORTED;
}
