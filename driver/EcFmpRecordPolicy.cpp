/** @file
  The EC version record's name, guarded by a variable policy from the EC
  update driver's entry on.

  The name is public: an operating system could make a variable of it
  (with runtime access, or authenticated under a key of its own) before
  the firmware ever wrote the record, and one made under a key could not
  be deleted again. The policy allows only the record itself: NV and
  boot-service access, no runtime access, no authentication, 8 bytes. It
  takes no lock: the driver and Morvane write the record after the end of
  DXE, and the policy already keeps out every other kind of variable.

**/

extern "C" {
#include <PiDxe.h>
#include <Library/DebugLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/VariablePolicyHelperLib.h>
#include <Protocol/VariablePolicy.h>
}

#include "EcFmpDevice.h"
#include "EcVersionRecord.h"

STATIC CONST UINT32  RECORD_CANT_HAVE = EFI_VARIABLE_RUNTIME_ACCESS | EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS |
                                        EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS;

extern "C"
EFI_STATUS
EFIAPI
EcFmpDeviceLibConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EDKII_VARIABLE_POLICY_PROTOCOL  *Policy;
  EFI_STATUS                      Status;

  Status = gBS->LocateProtocol (&gEdkiiVariablePolicyProtocolGuid, NULL, reinterpret_cast<VOID **>(&Policy));
  if (!EFI_ERROR (Status)) {
    Status = RegisterBasicVariablePolicy (
               Policy,
               &gMorvaneEcVersionGuid,
               EcVersionRecordName (),
               sizeof (MORVANE_EC_VERSION_RECORD),
               sizeof (MORVANE_EC_VERSION_RECORD),
               MORVANE_EC_VERSION_ATTRIBUTES,
               RECORD_CANT_HAVE,
               VARIABLE_POLICY_TYPE_NO_LOCK
               );
  }

  if (EFI_ERROR (Status)) {
    DEBUG ((DEBUG_WARN, "EcFmpDxe: no variable policy guards the EC version record (%r)\n", Status));
  }

  return EFI_SUCCESS;
}
