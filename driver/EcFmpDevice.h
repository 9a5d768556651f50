/** @file
  The EC update driver's device library, inside: the last-attempt statuses
  it reports, and the progress FmpDxe hears while the run flashes the EC.

**/

#ifndef MORVANE_EC_FMP_DEVICE_H_
#define MORVANE_EC_FMP_DEVICE_H_

extern "C" {
#include <Uefi.h>
#include <LastAttemptStatus.h>
#include <Protocol/FirmwareManagement.h>
}

///
/// The largest EC image: the EC numbers its 64 KiB blocks with 8 bits.
///
#define EC_FMP_IMAGE_MAX_SIZE  SIZE_16MB

///
/// Why an update failed, as the ESRT's last-attempt status: the range
/// FmpDxe leaves to device libraries, one value per way the run can end.
/// "Unchanged": no erase reached the EC; "incomplete": one did, and the EC
/// must be flashed again before the machine is switched off.
///
enum : UINT32 {
  EC_FMP_STATUS_RECORD = LAST_ATTEMPT_STATUS_DEVICE_LIBRARY_MIN_ERROR_CODE_VALUE,   ///< 0x1800 the EC is flashed; its version record could not be written
  EC_FMP_STATUS_IMAGE_SIZE,                                                         ///< 0x1801 empty, above 16 MiB, or a tail the flash leaves out; nothing touched
  EC_FMP_STATUS_NO_EC,                                                              ///< 0x1802 the EC did not answer; unchanged
  EC_FMP_STATUS_EC_STOPPED,                                                         ///< 0x1803 the EC stopped answering; incomplete
  EC_FMP_STATUS_NEVER_VERIFIED,                                                     ///< 0x1804 a block never verified; incomplete
  EC_FMP_STATUS_CHECK_FAILED,                                                       ///< 0x1805 the closing check found a block changed; incomplete
  EC_FMP_STATUS_FAILED,                                                             ///< 0x1806 any other failure; unchanged
  EC_FMP_STATUS_FAILED_INCOMPLETE,                                                  ///< 0x1807 any other failure; incomplete
  EC_FMP_STATUS_RECORD_UNREADABLE,                                                  ///< 0x1808 the version record could not be read; nothing touched
  EC_FMP_STATUS_RECORD_FOREIGN,                                                     ///< 0x1809 a variable of the record's name is not the record; nothing touched
  EC_FMP_STATUS_PAYLOAD_HEADER,                                                     ///< 0x180A no payload header of the capsule's version before the payload; nothing touched
  EC_FMP_STATUS_BELOW_FLOOR,                                                        ///< 0x180B the capsule's version is below the record's lowest; nothing touched
  EC_FMP_STATUS_CAPSULE_INSIDE,                                                     ///< 0x180C the payload is itself a capsule; nothing touched
};

/**
  Guard the version record's name with EDK II's variable policy from the
  driver's entry on: only a variable of the record's own attributes and
  size may be made under it, so no one can take the name before the
  firmware writes the record. A policy service that is missing or refuses
  (one loaded after the end of DXE, as an option ROM is) is noted in the
  debug log, and the driver goes on: its reads still tell a foreign
  variable from the record.

  @param[in] ImageHandle   The driver's image.
  @param[in] SystemTable   The system table.

  @retval EFI_SUCCESS   Always.
**/
extern "C"
EFI_STATUS
EFIAPI
EcFmpDeviceLibConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

///
/// A flash's progress as FmpDxe wants it: whole percent from 1 to 100,
/// each value once.
///
typedef struct {
  EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS    Report;
  UINTN                                            Shown;
} EC_FMP_PROGRESS;

/**
  Begin reporting a flash's progress. Nothing is reported yet: to FmpDxe
  a completion of 0 would mean that the device reports no progress.

  @param[out] Progress   The progress state.
  @param[in]  Report     FmpDxe's Progress function; NULL reports nothing.
**/
VOID
EcFmpProgressStart (
  OUT EC_FMP_PROGRESS                                *Progress,
  IN  EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS  Report OPTIONAL
  );

/**
  Report that Done of Total steps are done. Only a whole percent above the
  last one shown is passed on, so a run calls FmpDxe at most 100 times.

  @param[in, out] Progress   The progress state.
  @param[in]      Done       Steps done.
  @param[in]      Total      Steps in all; 0 counts as done.
**/
VOID
EcFmpProgressBlocks (
  IN OUT EC_FMP_PROGRESS  *Progress,
  IN     UINTN            Done,
  IN     UINTN            Total
  );

/**
  Follow the run that comes next: its progress table (EcProgress.h) is set
  so that each block flashed (or found equal), and each block of the
  closing check after it, moves FmpDxe's progress on; its lines go to the
  debug log only.

  @param[in] Report   FmpDxe's Progress function; NULL reports nothing.
  @param[in] Blocks   Blocks of the image the run flashes.
**/
VOID
EcFmpProgressFollowRun (
  IN EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS  Report OPTIONAL,
  IN UINT32                                         Blocks
  );

/**
  The run has ended: its progress table is cleared, and a run that
  completed reports 100.

  @param[in] Completed   The run succeeded.
**/
VOID
EcFmpProgressEndRun (
  IN BOOLEAN  Completed
  );

#endif
