/** @file
  The EC update driver's device library, inside: the progress plumbing and
  the records its placeholder device keeps for tests.

**/

#ifndef MORVANE_EC_FMP_DEVICE_H_
#define MORVANE_EC_FMP_DEVICE_H_

#include <Protocol/FirmwareManagement.h>

///
/// The largest EC image: the EC numbers its 64 KiB blocks with 8 bits.
///
#define EC_FMP_IMAGE_MAX_SIZE  SIZE_16MB

///
/// A flash's progress as FmpDxe wants it: whole percent, each value once.
///
typedef struct {
  EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS    Report;
  UINTN                                            Shown;
} EC_FMP_PROGRESS;

/**
  Begin reporting a flash's progress (0 %).

  @param[out] Progress   The progress state.
  @param[in]  Report     FmpDxe's Progress function; NULL reports nothing.
**/
VOID
EcFmpProgressStart (
  OUT EC_FMP_PROGRESS                                *Progress,
  IN  EFI_FIRMWARE_MANAGEMENT_UPDATE_IMAGE_PROGRESS  Report OPTIONAL
  );

/**
  Report that Done of Total blocks are flashed. Only a percentage above the
  last one shown is passed on, so a run of 256 blocks calls FmpDxe at most
  101 times.

  @param[in, out] Progress   The progress state.
  @param[in]      Done       Blocks done.
  @param[in]      Total      Blocks in all; 0 counts as done.
**/
VOID
EcFmpProgressBlocks (
  IN OUT EC_FMP_PROGRESS  *Progress,
  IN     UINTN            Done,
  IN     UINTN            Total
  );

#endif
