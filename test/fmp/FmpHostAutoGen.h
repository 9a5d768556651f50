/** @file
  What the driver build's AutoGen.h gives the EC device library, for the
  host tests: its one PCD, the image type GUID.

**/

#ifndef MORVANE_FMP_HOST_AUTOGEN_H_
#define MORVANE_FMP_HOST_AUTOGEN_H_

extern "C" {
#include <Uefi.h>
extern EFI_GUID  gEcFmpTestImageTypeId;
}

#define _PCD_GET_MODE_SIZE_PcdFmpDeviceImageTypeIdGuid  sizeof (EFI_GUID)
#define _PCD_GET_MODE_PTR_PcdFmpDeviceImageTypeIdGuid   (&gEcFmpTestImageTypeId)

#endif
