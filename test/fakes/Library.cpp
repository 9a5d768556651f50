/** @file
  Fake UefiLib printing and pool allocation over MdePkg's real BasePrintLib,
  and the memory library calls the product makes.

  Print formats into a buffer of PcdUefiLibMaxPrintBufferSize characters and
  writes it to gST->ConOut, as UefiLib does on firmware.

**/

#include "Firmware.h"

#include <cstdlib>
#include <cstring>

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Protocol/Rng.h>
#include <Guid/ImageAuthentication.h>
#include <Guid/SmBios.h>
#include <Protocol/CpuIo2.h>
}

#include "RunTrust.h"

#define MAX_PRINT_CHARS  320

void *
FakeAllocate (
  size_t  Size
  )
{
  void  *Buffer = std::malloc (Size);

  Fake::gState->Live[Buffer] = Size;
  return Buffer;
}

void
FakeRelease (
  const void  *Buffer
  )
{
  if (Fake::gState->Live.erase (Buffer) == 0) {
    Fake::gState->BadFrees++;
    return;
  }

  std::free (const_cast<void *>(Buffer));
}

UINTN
EFIAPI
Print (
  IN CONST CHAR16  *Format,
  ...
  )
{
  CHAR16   Buffer[MAX_PRINT_CHARS + 1];
  VA_LIST  Marker;
  UINTN    Count;

  VA_START (Marker, Format);
  Count = UnicodeVSPrint (Buffer, sizeof (Buffer), Format, Marker);
  VA_END (Marker);
  if (Count > 0) {
    gST->ConOut->OutputString (gST->ConOut, Buffer);
  }

  return Count;
}

CHAR16 *
EFIAPI
CatSPrint (
  IN  CHAR16        *String  OPTIONAL,
  IN  CONST CHAR16  *FormatString,
  ...
  )
{
  CHAR16   Formatted[1024];
  VA_LIST  Marker;
  size_t   Head;
  size_t   Tail;

  if (++Fake::gState->CatSPrintCalls == Fake::gState->FailCatSPrintAt) {
    return nullptr;
  }

  VA_START (Marker, FormatString);
  Tail = UnicodeVSPrint (Formatted, sizeof (Formatted), FormatString, Marker);
  VA_END (Marker);

  Head = 0;
  while (String != nullptr && String[Head] != 0) {
    Head++;
  }

  auto  *Result = static_cast<CHAR16 *>(FakeAllocate ((Head + Tail + 1) * sizeof (CHAR16)));
  if (Head > 0) {
    std::memcpy (Result, String, Head * sizeof (CHAR16));
  }

  std::memcpy (Result + Head, Formatted, (Tail + 1) * sizeof (CHAR16));
  return Result;
}

VOID *
EFIAPI
AllocatePool (
  IN UINTN  AllocationSize
  )
{
  return Fake::gState->FailAllocatePool ? nullptr : FakeAllocate (AllocationSize);
}

VOID
EFIAPI
FreePool (
  IN VOID  *Buffer
  )
{
  FakeRelease (Buffer);
}

VOID *
EFIAPI
SetMem (
  OUT VOID  *Buffer,
  IN UINTN  Length,
  IN UINT8  Value
  )
{
  return std::memset (Buffer, Value, Length);
}

VOID *
EFIAPI
ZeroMem (
  OUT VOID  *Buffer,
  IN UINTN  Length
  )
{
  return std::memset (Buffer, 0, Length);
}

INTN
EFIAPI
CompareMem (
  IN CONST VOID  *DestinationBuffer,
  IN CONST VOID  *SourceBuffer,
  IN UINTN       Length
  )
{
  auto  *A = static_cast<const UINT8 *>(DestinationBuffer);
  auto  *B = static_cast<const UINT8 *>(SourceBuffer);

  Fake::gState->CompareCalls++;
  for (UINTN Index = 0; Index < Length; Index++) {
    if (A[Index] != B[Index]) {
      return static_cast<INTN>(A[Index]) - static_cast<INTN>(B[Index]);
    }
  }

  return 0;
}

VOID *
EFIAPI
CopyMem (
  OUT VOID       *DestinationBuffer,
  IN CONST VOID  *SourceBuffer,
  IN UINTN       Length
  )
{
  return std::memmove (DestinationBuffer, SourceBuffer, Length);
}

GUID *
EFIAPI
CopyGuid (
  OUT GUID       *DestinationGuid,
  IN CONST GUID  *SourceGuid
  )
{
  return static_cast<GUID *>(std::memcpy (DestinationGuid, SourceGuid, sizeof (GUID)));
}

// Emitted by the firmware build's AutoGen from the package declarations.
extern "C" {
EFI_GUID  gEfiCpuIo2ProtocolGuid = EFI_CPU_IO2_PROTOCOL_GUID;
EFI_GUID  gEfiRngProtocolGuid    = EFI_RNG_PROTOCOL_GUID;
EFI_GUID  gEfiSmbiosTableGuid    = SMBIOS_TABLE_GUID;
EFI_GUID  gEfiSmbios3TableGuid   = SMBIOS3_TABLE_GUID;
EFI_GUID  gMorvaneEcVersionGuid  = { 0x5baf24e3, 0x918d, 0x4465, { 0xbd, 0x06, 0x20, 0xf9, 0x27, 0x54, 0xb7, 0x34 } };
EFI_GUID  gEfiCertPkcs7Guid      = EFI_CERT_TYPE_PKCS7_GUID;
}

// The cycle counter: a fixed step per read, so that a run repeats.
extern "C" UINT64
EFIAPI
AsmReadTsc (
  VOID
  )
{
  return Fake::gState->Tsc += 0x9E3779B9;
}

// What run/RunTrust.cpp reads from the build's PCD, set by each test.
BOOLEAN
RunTrustedCert (
  OUT CONST UINT8  **Cert,
  OUT UINTN        *Size
  )
{
  *Cert = Fake::gState->TrustedCert.data ();
  *Size = Fake::gState->TrustedCert.size ();
  return *Size > 0;
}

BOOLEAN
EFIAPI
CompareGuid (
  IN CONST GUID  *Guid1,
  IN CONST GUID  *Guid2
  )
{
  return std::memcmp (Guid1, Guid2, sizeof (GUID)) == 0;
}
