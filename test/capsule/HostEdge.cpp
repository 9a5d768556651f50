/** @file
  What the firmware build supplies to EcCapsuleLib and the EDK II crypto
  sources that the host tests compile: pool allocation and the GUIDs that
  AutoGen would emit.

**/

#include <cstdlib>

extern "C" {
#include <Uefi.h>
#include <Guid/ImageAuthentication.h>
#include <Library/MemoryAllocationLib.h>

EFI_GUID  gEfiCertPkcs7Guid = EFI_CERT_TYPE_PKCS7_GUID;

VOID *
EFIAPI
AllocatePool (
  IN UINTN  AllocationSize
  )
{
  return std::malloc (AllocationSize);
}

VOID
EFIAPI
FreePool (
  IN VOID  *Buffer
  )
{
  std::free (Buffer);
}
}
