/** @file
  FmpDeviceLib for the EC: what FmpDxe (FmpDevicePkg) asks of the device.

  The device's identity, version and attributes are final: the image type
  is the one the driver is built for (PcdFmpDeviceImageTypeIdGuid, the
  machines' hardware ID that their capsules name), the version and lowest
  supported version come from the EC version record that Morvane keeps,
  the image is in use, and an update is signed and needs a reset. Reading,
  checking and writing the EC itself (FmpDeviceGetSize, FmpDeviceGetImage,
  FmpDeviceCheckImageWithStatus, FmpDeviceSetImageWithStatus) are
  placeholders that keep a record of what they were given, for the
  end-to-end tests.

**/

extern "C" {
#include <PiDxe.h>
#include <LastAttemptStatus.h>
#include <Guid/SystemResourceTable.h>
#include <Library/BaseCryptLib.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/FmpDeviceLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PcdLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

#include "EcFmpDevice.h"
#include "EcVersionRecord.h"
#include "Ucs2.h"

///
/// Why the device library refused or failed, as ESRT last-attempt statuses
/// (the range FmpDxe leaves to device libraries).
///
enum : UINT32 {
  EC_FMP_STATUS_RECORD = LAST_ATTEMPT_STATUS_DEVICE_LIBRARY_MIN_ERROR_CODE_VALUE,   // a variable could not be written
  EC_FMP_STATUS_IMAGE_SIZE,
};

// In use: the ESRT lists only images that are (EsrtFmpDxe skips the rest).
STATIC CONST UINT64  EC_FMP_ATTRIBUTES = IMAGE_ATTRIBUTE_IMAGE_UPDATABLE | IMAGE_ATTRIBUTE_RESET_REQUIRED |
                                         IMAGE_ATTRIBUTE_AUTHENTICATION_REQUIRED | IMAGE_ATTRIBUTE_IN_USE;

// ---------------------------------------------------------------------------
// Placeholder device: stands in for the EC until the run layer is wired in.
// ---------------------------------------------------------------------------

///
/// What SetImage was given, kept where tests can read it: the shell's
/// dmpstore, and Linux's efivarfs (hence runtime access).
///
typedef struct {
  UINT32    Size;
  UINT32    CapsuleVersion;
  UINT8     Sha256[SHA256_DIGEST_SIZE];
  UINT8     Head[16];
} EC_FMP_TEST_RECORD;

#define EC_FMP_TEST_ATTRIBUTES  (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS)
#define EC_FMP_PATTERN_SIZE     SIZE_4KB

/**
  The placeholder's current image: a fixed pattern.
**/
STATIC
UINT8
PatternByte (
  IN UINTN  Offset
  )
{
  return static_cast<UINT8>((Offset * 7) ^ 0xA5);
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

  *Size = EC_FMP_PATTERN_SIZE;
  return EFI_SUCCESS;
}

extern "C"
EFI_STATUS
EFIAPI
FmpDeviceGetImage (
  OUT    VOID   *Image,
  IN OUT UINTN  *ImageSize
  )
{
  if ((Image == NULL) || (ImageSize == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  if (*ImageSize < EC_FMP_PATTERN_SIZE) {
    *ImageSize = EC_FMP_PATTERN_SIZE;
    return EFI_BUFFER_TOO_SMALL;
  }

  for (UINTN Offset = 0; Offset < EC_FMP_PATTERN_SIZE; Offset++) {
    static_cast<UINT8 *>(Image)[Offset] = PatternByte (Offset);
  }

  *ImageSize = EC_FMP_PATTERN_SIZE;
  return EFI_SUCCESS;
}

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

  *LastAttemptStatus = LAST_ATTEMPT_STATUS_SUCCESS;
  *ImageUpdatable    = IMAGE_UPDATABLE_VALID;
  if ((ImageSize == 0) || (ImageSize > EC_FMP_IMAGE_MAX_SIZE)) {
    *ImageUpdatable    = IMAGE_UPDATABLE_INVALID;
    *LastAttemptStatus = EC_FMP_STATUS_IMAGE_SIZE;
  }

  return EFI_SUCCESS;
}

/**
  Keep the test record of what SetImage was given.
**/
STATIC
EFI_STATUS
KeepTestRecord (
  IN CONST UINT8  *Image,
  IN UINTN        ImageSize,
  IN UINT32       CapsuleVersion
  )
{
  EC_FMP_TEST_RECORD  Record;

  ZeroMem (&Record, sizeof (Record));
  Record.Size           = static_cast<UINT32>(ImageSize);
  Record.CapsuleVersion = CapsuleVersion;
  CopyMem (Record.Head, Image, MIN (ImageSize, sizeof (Record.Head)));
  if (!Sha256HashAll (Image, ImageSize, Record.Sha256)) {
    return EFI_DEVICE_ERROR;
  }

  return gRT->SetVariable (
                const_cast<CHAR16 *>(Ucs2 (u"MorvaneEcTestSetImage")),
                &gMorvaneEcVersionGuid,
                EC_FMP_TEST_ATTRIBUTES,
                sizeof (Record),
                &Record
                );
}

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
  EC_FMP_PROGRESS            Shown;
  MORVANE_EC_VERSION_RECORD  Record;
  UINT32                     Updatable;

  if ((Image == NULL) || (LastAttemptStatus == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  Status = FmpDeviceCheckImageWithStatus (Image, ImageSize, &Updatable, LastAttemptStatus);
  if (EFI_ERROR (Status) || (Updatable != IMAGE_UPDATABLE_VALID)) {
    return EFI_ABORTED;
  }

  EcFmpProgressStart (&Shown, Progress);
  Status = KeepTestRecord (static_cast<CONST UINT8 *>(Image), ImageSize, CapsuleFwVersion);
  if (EFI_ERROR (Status)) {
    *LastAttemptStatus = EC_FMP_STATUS_RECORD;
    return Status;
  }

  EcFmpProgressBlocks (&Shown, 1, 2);
  // Only the version changes: an update keeps the lowest supported version
  // (FmpDxe raises its own copy from the capsule's header).
  EcVersionRecordRead (&Record);
  Record.Version = CapsuleFwVersion;
  Status         = EcVersionRecordWrite (&Record);
  if (EFI_ERROR (Status)) {
    *LastAttemptStatus = EC_FMP_STATUS_RECORD;
    return Status;
  }

  EcFmpProgressBlocks (&Shown, 2, 2);
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
  Read the version record; no record (a machine Morvane never flashed)
  reads as version 0 with nothing refused.
**/
STATIC
MORVANE_EC_VERSION_RECORD
CurrentRecord (
  VOID
  )
{
  MORVANE_EC_VERSION_RECORD  Record;

  EcVersionRecordRead (&Record);
  return Record;
}

extern "C"
EFI_STATUS
EFIAPI
FmpDeviceGetLowestSupportedVersion (
  OUT UINT32  *LowestSupportedVersion
  )
{
  if (LowestSupportedVersion == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *LowestSupportedVersion = CurrentRecord ().LowestSupported;
  return EFI_SUCCESS;
}

extern "C"
EFI_STATUS
EFIAPI
FmpDeviceGetVersion (
  OUT UINT32  *Version
  )
{
  if (Version == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *Version = CurrentRecord ().Version;
  return EFI_SUCCESS;
}

extern "C"
EFI_STATUS
EFIAPI
FmpDeviceGetVersionString (
  OUT CHAR16  **VersionString
  )
{
  STATIC CONST UINTN  LENGTH = sizeof (u"0x00000000");

  if (VersionString == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *VersionString = static_cast<CHAR16 *>(AllocatePool (LENGTH));
  if (*VersionString == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  UnicodeSPrint (*VersionString, LENGTH, Ucs2 (u"0x%08x"), CurrentRecord ().Version);
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
