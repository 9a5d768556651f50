/** @file
  Test tool: EcCapsuleLib on real firmware, with CryptoPkg's OpenSSL.

    CapsuleProbe TRUST.cer TABLE.bin CAPSULE...

  writes this machine's SMBIOS structure table to TABLE.bin and prints its
  hardware IDs, then for each capsule prints what the parser found, whether
  its signature leads to TRUST.cer, who signed it, and whether it names
  this machine. One line each, "capsuleprobe: ...", for the harness.

**/

extern "C" {
#include <Uefi.h>
#include <Guid/SmBios.h>
#include <IndustryStandard/SmBios.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/ShellLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
}

#include "EcCapsule.h"
#include "Ucs2.h"

//
// Largest file the probe reads.
//
#define PROBE_MAX_FILE  (32 * 1024 * 1024)

/**
  Read a whole file into pool memory.

  @param[in]  Name   Its name.
  @param[out] Data   The bytes; free with FreePool.
  @param[out] Size   How many.

  @retval EFI_SUCCESS   Read.
  @return               Why not.
**/
STATIC
EFI_STATUS
ReadWhole (
  IN  CONST CHAR16  *Name,
  OUT UINT8         **Data,
  OUT UINTN         *Size
  )
{
  SHELL_FILE_HANDLE  File;
  UINT64             FileSize;
  EFI_STATUS         Status;

  *Data  = NULL;
  Status = ShellOpenFileByName (Name, &File, EFI_FILE_MODE_READ, 0);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = ShellGetFileSize (File, &FileSize);
  if (!EFI_ERROR (Status) && ((FileSize == 0) || (FileSize > PROBE_MAX_FILE))) {
    Status = EFI_BAD_BUFFER_SIZE;
  }

  if (!EFI_ERROR (Status)) {
    *Size = static_cast<UINTN>(FileSize);
    *Data = static_cast<UINT8 *>(AllocatePool (*Size));
    Status = (*Data == NULL) ? EFI_OUT_OF_RESOURCES : ShellReadFile (File, Size, *Data);
  }

  if (!EFI_ERROR (Status) && (*Size != FileSize)) {
    Status = EFI_END_OF_FILE;
  }

  ShellCloseFile (&File);
  if (EFI_ERROR (Status) && (*Data != NULL)) {
    FreePool (*Data);
    *Data = NULL;
  }

  return Status;
}

/**
  Find the SMBIOS structure table (SMBIOS 3 first).

  @param[out] Table    Its first byte.
  @param[out] Length   Its length.

  @retval TRUE   The firmware publishes one.
**/
STATIC
BOOLEAN
FindTable (
  OUT CONST UINT8  **Table,
  OUT UINTN        *Length
  )
{
  VOID  *Point;

  if (!EFI_ERROR (EfiGetSystemConfigurationTable (&gEfiSmbios3TableGuid, &Point))) {
    *Table  = reinterpret_cast<CONST UINT8 *>(static_cast<UINTN>(static_cast<SMBIOS_TABLE_3_0_ENTRY_POINT *>(Point)->TableAddress));
    *Length = static_cast<SMBIOS_TABLE_3_0_ENTRY_POINT *>(Point)->TableMaximumSize;
    return TRUE;
  }

  if (!EFI_ERROR (EfiGetSystemConfigurationTable (&gEfiSmbiosTableGuid, &Point))) {
    *Table  = reinterpret_cast<CONST UINT8 *>(static_cast<UINTN>(static_cast<SMBIOS_TABLE_ENTRY_POINT *>(Point)->TableAddress));
    *Length = static_cast<SMBIOS_TABLE_ENTRY_POINT *>(Point)->TableLength;
    return TRUE;
  }

  return FALSE;
}

/**
  Print the machine's IDs and write its table.

  @param[in]  Name   Where to write the table.
  @param[out] Ids    The IDs.
**/
STATIC
VOID
ProbeMachine (
  IN  CONST CHAR16  *Name,
  OUT EC_HWIDS      *Ids
  )
{
  CONST UINT8        *Table;
  UINTN              Length;
  UINTN              Index;
  EC_HWID_FIELDS     Fields;
  SHELL_FILE_HANDLE  File;
  EFI_STATUS         Status;

  ZeroMem (Ids, sizeof (*Ids));
  if (!FindTable (&Table, &Length)) {
    Print (Ucs2 (u"capsuleprobe: smbios none\r\n"));
    return;
  }

  Status = ShellOpenFileByName (Name, &File, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE, 0);
  if (!EFI_ERROR (Status)) {
    Status = ShellWriteFile (File, &Length, const_cast<UINT8 *>(Table));
    ShellCloseFile (&File);
  }

  Print (Ucs2 (u"capsuleprobe: smbios bytes=%u written=%r\r\n"), Length, Status);
  EcHwIdFieldsFromSmbios (Table, Length, &Fields);
  Status = EcHwIdsCompute (&Fields, Ids);
  for (Index = 0; Index < EC_HWID_COUNT; Index++) {
    if (Ids->Present[Index]) {
      Print (Ucs2 (u"capsuleprobe: hwid %u %g\r\n"), Index, &Ids->Id[Index]);
    } else {
      Print (Ucs2 (u"capsuleprobe: hwid %u none\r\n"), Index);
    }
  }

  Print (Ucs2 (u"capsuleprobe: hwids status=%r\r\n"), Status);
}

/**
  Take one capsule apart and check it.

  @param[in] Name       The capsule file.
  @param[in] Trust      The trusted certificate.
  @param[in] TrustSize  Its size.
  @param[in] Ids        The machine's IDs.
**/
STATIC
VOID
ProbeCapsule (
  IN CONST CHAR16    *Name,
  IN CONST UINT8     *Trust,
  IN UINTN           TrustSize,
  IN CONST EC_HWIDS  *Ids
  )
{
  UINT8         *File;
  UINTN         Size;
  EC_CAPSULE    Capsule;
  CONST CHAR16  *Reason;
  CHAR16        Signer[EC_CAPSULE_NAME_CHARS];
  EFI_STATUS    Status;
  UINTN         Which;

  Status = ReadWhole (Name, &File, &Size);
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"capsuleprobe: %s read=%r\r\n"), Name, Status);
    return;
  }

  Status = EcCapsuleParse (File, Size, &Capsule, &Reason);
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"capsuleprobe: %s looks=%d parse=%r reason=%s\r\n"), Name, EcCapsuleLooksLikeOne (File, Size), Status, Reason);
    FreePool (File);
    return;
  }

  Print (
    Ucs2 (u"capsuleprobe: %s parse=%r type=%g version=0x%x lowest=0x%x count=%lu payload=%u\r\n"),
    Name,
    Status,
    &Capsule.ImageTypeId,
    Capsule.FwVersion,
    Capsule.LowestSupportedVersion,
    Capsule.MonotonicCount,
    Capsule.PayloadSize
    );
  if (EFI_ERROR (EcCapsuleSignerName (&Capsule, Signer, EC_CAPSULE_NAME_CHARS))) {
    Signer[0] = 0;
  }

  Print (
    Ucs2 (u"capsuleprobe: %s verify=%r signer=%s match=%d which=%d\r\n"),
    Name,
    EcCapsuleVerify (&Capsule, Trust, TrustSize),
    Signer,
    EcHwIdsMatch (Ids, &Capsule.ImageTypeId, &Which),
    EcHwIdsMatch (Ids, &Capsule.ImageTypeId, &Which) ? Which : 99
    );
  FreePool (File);
}

extern "C"
EFI_STATUS
EFIAPI
UefiMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  STATIC CONST SHELL_PARAM_ITEM  EmptyParamList[] = {
    { NULL, TypeMax }
  };
  LIST_ENTRY                     *Package;
  CONST CHAR16                   *Arg;
  UINT8                          *Trust;
  UINTN                          TrustSize;
  CHAR16                         TrustName[EC_CAPSULE_NAME_CHARS];
  EC_HWIDS                       Ids;
  UINTN                          Index;
  EFI_STATUS                     Status;

  if (EFI_ERROR (ShellInitialize ()) || EFI_ERROR (ShellCommandLineParse (EmptyParamList, &Package, NULL, TRUE))) {
    return EFI_INVALID_PARAMETER;
  }

  if ((ShellCommandLineGetRawValue (Package, 1) == NULL) || (ShellCommandLineGetRawValue (Package, 2) == NULL)) {
    Print (Ucs2 (u"capsuleprobe: usage: CapsuleProbe TRUST.cer TABLE.bin CAPSULE...\r\n"));
    return EFI_INVALID_PARAMETER;
  }

  Status = ReadWhole (ShellCommandLineGetRawValue (Package, 1), &Trust, &TrustSize);
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"capsuleprobe: trust read=%r\r\n"), Status);
    return Status;
  }

  Status = EcCapsuleCertName (Trust, TrustSize, TrustName, EC_CAPSULE_NAME_CHARS);
  Print (Ucs2 (u"capsuleprobe: trust name=%r %s\r\n"), Status, (Status == EFI_SUCCESS) ? TrustName : Ucs2 (u"-"));
  ProbeMachine (ShellCommandLineGetRawValue (Package, 2), &Ids);
  for (Index = 3; (Arg = ShellCommandLineGetRawValue (Package, Index)) != NULL; Index++) {
    ProbeCapsule (Arg, Trust, TrustSize, &Ids);
  }

  FreePool (Trust);
  ShellCommandLineFreeVarList (Package);
  Print (Ucs2 (u"capsuleprobe: done\r\n"));
  return EFI_SUCCESS;
}
