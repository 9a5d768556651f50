/** @file
  The EC firmware's version record in a boot-services-only variable.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

#include "EcVersionRecord.h"
#include "Ucs2.h"

CONST CHAR16 *
EcVersionRecordName (
  VOID
  )
{
  return Ucs2 (u"MorvaneEcVersion");
}

STATIC
CHAR16 *
RecordName (
  VOID
  )
{
  // The variable services take a non-const name and never write to it.
  return const_cast<CHAR16 *>(EcVersionRecordName ());
}

/**
  Read the variable as it is, whatever its attributes and size (up to the
  record's size).

  @param[out] Record       The data read.
  @param[out] Attributes   The variable's attributes.
  @param[out] Size         The variable's size in bytes.

  @return The variable service's status; EFI_BUFFER_TOO_SMALL for a
          variable larger than a record (Size then holds its size).
**/
STATIC
EFI_STATUS
ReadVariable (
  OUT MORVANE_EC_VERSION_RECORD  *Record,
  OUT UINT32                     *Attributes,
  OUT UINTN                      *Size
  )
{
  *Attributes = 0;
  *Size       = sizeof (*Record);
  return gRT->GetVariable (RecordName (), &gMorvaneEcVersionGuid, Attributes, Size, Record);
}

EFI_STATUS
EcVersionRecordRead (
  OUT MORVANE_EC_VERSION_RECORD  *Record
  )
{
  EFI_STATUS  Status;
  UINT32      Attributes;
  UINTN       Size;

  ZeroMem (Record, sizeof (*Record));
  Status = ReadVariable (Record, &Attributes, &Size);
  if (Status == EFI_BUFFER_TOO_SMALL) {
    ZeroMem (Record, sizeof (*Record));
    return EC_VERSION_RECORD_FOREIGN;
  }

  if (EFI_ERROR (Status)) {
    ZeroMem (Record, sizeof (*Record));
    return Status;
  }

  if ((Attributes != MORVANE_EC_VERSION_ATTRIBUTES) || (Size != sizeof (*Record))) {
    ZeroMem (Record, sizeof (*Record));
    return EC_VERSION_RECORD_FOREIGN;
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EcVersionRecordDropForeign (
  VOID
  )
{
  EFI_STATUS                 Status;
  MORVANE_EC_VERSION_RECORD  Present;

  Status = EcVersionRecordRead (&Present);
  if (Status != EC_VERSION_RECORD_FOREIGN) {
    return ((Status == EFI_NOT_FOUND) || !EFI_ERROR (Status)) ? EFI_SUCCESS : Status;
  }

  return gRT->SetVariable (RecordName (), &gMorvaneEcVersionGuid, 0, 0, NULL);
}

EFI_STATUS
EcVersionRecordWrite (
  IN CONST MORVANE_EC_VERSION_RECORD  *Record
  )
{
  EFI_STATUS  Status;

  // A variable with other attributes cannot be overwritten, only deleted.
  Status = EcVersionRecordDropForeign ();
  if (EFI_ERROR (Status)) {
    return Status;
  }

  return gRT->SetVariable (
                RecordName (),
                &gMorvaneEcVersionGuid,
                MORVANE_EC_VERSION_ATTRIBUTES,
                sizeof (*Record),
                const_cast<MORVANE_EC_VERSION_RECORD *>(Record)
                );
}
