/** @file
  Test tool: the depot layer against a real web server.

    DepotProbe BASEURL [ALIEN]

  connects to BASEURL, PUTs and GETs back 1 MiB and 16 MiB and compares,
  asks for a file that is not there, and with ALIEN (a base URL where the
  server refuses PUT) tries a PUT there. Every step prints one line
  "depotprobe: STEP status=... ms=..." for the harness; the IPv4 policy is
  printed before the connect and after the close, so the harness can see
  it put back.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/ShellLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Protocol/Ip4Config2.h>
}

#include "Depot.h"
#include "Ucs2.h"

STATIC UINT64  mTicksPerMs;

/**
  Milliseconds since an earlier time-stamp counter reading.

  @param[in] Start   The reading.

  @return The milliseconds.
**/
STATIC
UINT64
MsSince (
  IN UINT64  Start
  )
{
  return DivU64x64Remainder (AsmReadTsc () - Start, mTicksPerMs, NULL);
}

/**
  Print the first card's IPv4 policy.

  @param[in] When   What the line is about.
**/
STATIC
VOID
PrintPolicy (
  IN CONST CHAR16  *When
  )
{
  EFI_IP4_CONFIG2_PROTOCOL  *Config;
  EFI_IP4_CONFIG2_POLICY    Policy;
  UINTN                     Size;

  Size = sizeof (Policy);
  if (EFI_ERROR (gBS->LocateProtocol (&gEfiIp4Config2ProtocolGuid, NULL, reinterpret_cast<VOID **>(&Config))) ||
      EFI_ERROR (Config->GetData (Config, Ip4Config2DataTypePolicy, &Size, &Policy)))
  {
    Print (Ucs2 (u"depotprobe: policy %s none\r\n"), When);
    return;
  }

  Print (Ucs2 (u"depotprobe: policy %s %s\r\n"), When, (Policy == Ip4Config2PolicyDhcp) ? Ucs2 (u"dhcp") : Ucs2 (u"static"));
}

/**
  PUT Size bytes of a pattern, GET them back and compare.

  @param[in] Name     The file name.
  @param[in] Out      The pattern buffer.
  @param[in] Back     The buffer to read into, as large.
  @param[in] Size     Bytes.

  @return The first failure.
**/
STATIC
EFI_STATUS
RoundTrip (
  IN CONST CHAR8  *Name,
  IN UINT8        *Out,
  IN UINT8        *Back,
  IN UINTN        Size
  )
{
  EFI_STATUS  Status;
  UINT64      Start;
  UINTN       Got;
  UINTN       Index;
  UINT32      Seed;

  Seed = static_cast<UINT32>(Size);
  for (Index = 0; Index < Size; Index++) {
    Seed       = Seed * 1103515245 + 12345;
    Out[Index] = static_cast<UINT8>(Seed >> 16);
  }

  Start  = AsmReadTsc ();
  Status = DepotPut (Name, Out, Size);
  Print (Ucs2 (u"depotprobe: put %a size=%lu status=%r ms=%lu\r\n"), Name, static_cast<UINT64>(Size), Status, MsSince (Start));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  SetMem (Back, Size, 0);
  Start  = AsmReadTsc ();
  Status = DepotGet (Name, Back, Size, &Got);
  Print (
    Ucs2 (u"depotprobe: get %a size=%lu status=%r ms=%lu equal=%a\r\n"),
    Name,
    static_cast<UINT64>(Got),
    Status,
    MsSince (Start),
    (!EFI_ERROR (Status) && Got == Size && CompareMem (Out, Back, Size) == 0) ? "yes" : "no"
    );
  return Status;
}

/**
  The probe.

  @param[in] ImageHandle   The image.
  @param[in] SystemTable   The system table.

  @return The first failure, or EFI_SUCCESS.
**/
extern "C"
EFI_STATUS
EFIAPI
UefiMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  STATIC CONST UINTN  mSizes[] = { SIZE_1MB, SIZE_16MB };
  STATIC CONST CHAR8  *CONST mNames[] = { "20261207/PROBE-000000000000-20261207-000001.bin", "20261207/PROBE-000000000000-20261207-000002.bin" };
  EFI_STATUS          Status;
  EFI_STATUS          First;
  LIST_ENTRY          *Package;
  CONST CHAR16        *Url;
  CONST CHAR16        *Alien;
  CHAR16              Mac[DEPOT_MAC_CHARS];
  UINT64              Start;
  UINT8               *Out;
  UINT8               *Back;
  UINTN               Got;
  UINTN               Index;

  if (EFI_ERROR (ShellInitialize ()) || EFI_ERROR (ShellCommandLineParse (EmptyParamList, &Package, NULL, TRUE))) {
    return EFI_INVALID_PARAMETER;
  }

  Url   = ShellCommandLineGetRawValue (Package, 1);
  Alien = ShellCommandLineGetRawValue (Package, 2);
  Start = AsmReadTsc ();
  gBS->Stall (100000);
  mTicksPerMs = DivU64x32 (AsmReadTsc () - Start, 100);

  PrintPolicy (Ucs2 (u"before"));
  Start  = AsmReadTsc ();
  Status = DepotConnect (Url);
  DepotMacText (Mac, DEPOT_MAC_CHARS);
  Print (Ucs2 (u"depotprobe: connect status=%r ms=%lu mac=%s\r\n"), Status, MsSince (Start), Mac);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Out   = static_cast<UINT8 *>(AllocatePool (SIZE_16MB));
  Back  = static_cast<UINT8 *>(AllocatePool (SIZE_16MB));
  First = (Out == NULL || Back == NULL) ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
  for (Index = 0; Index < ARRAY_SIZE (mSizes) && !EFI_ERROR (First); Index++) {
    First = RoundTrip (mNames[Index], Out, Back, mSizes[Index]);
  }

  if (Back != NULL) {
    Status = DepotGet ("probe-missing.bin", Back, SIZE_1MB, &Got);
    Print (Ucs2 (u"depotprobe: missing status=%r\r\n"), Status);
  }

  if ((Alien != NULL) && (Out != NULL)) {
    Status = DepotConnect (Alien);
    if (!EFI_ERROR (Status)) {
      Status = DepotPut ("probe-alien.bin", Out, 4096);
    }

    Print (Ucs2 (u"depotprobe: alien status=%r\r\n"), Status);
  }

  if (Out != NULL) {
    FreePool (Out);
  }

  if (Back != NULL) {
    FreePool (Back);
  }

  DepotClose ();
  DepotMacText (Mac, DEPOT_MAC_CHARS);
  Print (Ucs2 (u"depotprobe: closed mac=%s\r\n"), Mac);
  PrintPolicy (Ucs2 (u"after"));
  Print (Ucs2 (u"depotprobe: done status=%r\r\n"), First);
  return First;
}
