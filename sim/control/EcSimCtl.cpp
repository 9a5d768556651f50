/** @file
  EcSimCtl: drives the simulated EC from test scripts.

    EcSimCtl reset [id=N] [nodevice] [busy=N] [erasebusy=N] [stuck=N]
                   [obf=N] [late=N] [latereads=N] [corrupt=N] [attempts=N]
                   [old=N] [blocks=N] [skip=K] [skipreads=N] [size=N]
    EcSimCtl newrecord
    EcSimCtl dump <flash file> <record file>

  The flash file holds the flash up to its last programmed 64 KiB block
  (the rest is erased); the record file holds a header, the counters and
  the command record.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/ShellLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
}

#include "EcSimProtocol.h"
#include "Ucs2.h"

/**
  Apply one "key=value" (or "nodevice") argument to the faults.

  @retval TRUE   The argument was understood.
**/
STATIC
BOOLEAN
ApplyFault (
  IN     CONST CHAR16   *Argument,
  IN OUT EC_SIM_FAULTS  *Faults
  )
{
  CONST CHAR16  *Value;
  UINTN         KeyLength;

  if (StrCmp (Argument, Ucs2 (u"nodevice")) == 0) {
    Faults->NoDevice = TRUE;
    return TRUE;
  }

  Value = StrStr (Argument, Ucs2 (u"="));
  if (Value == NULL) {
    return FALSE;
  }

  KeyLength = static_cast<UINTN>(Value - Argument);
  Value++;
  if ((KeyLength == 2) && (StrnCmp (Argument, Ucs2 (u"id"), 2) == 0)) {
    Faults->ManufacturerId = static_cast<UINT8>(ShellStrToUintn (Value));
    return TRUE;
  }

  return EcSimSetFault (Faults, Argument, KeyLength, static_cast<UINT32>(ShellStrToUintn (Value)));
}

typedef struct {
  VOID     *Buffer;
  UINTN    Size;
} FILE_PART;

/**
  Write the parts, in order, to a new file, replacing any file of that name.

  @param[in] Name    The file.
  @param[in] Parts   What to write.
  @param[in] Count   How many parts.

  @return The status of the first failing step, or EFI_SUCCESS.
**/
STATIC
EFI_STATUS
WriteNewFile (
  IN CONST CHAR16     *Name,
  IN CONST FILE_PART  *Parts,
  IN UINTN            Count
  )
{
  EFI_STATUS         Status;
  SHELL_FILE_HANDLE  File;
  UINTN              Index;
  UINTN              Size;

  if (!EFI_ERROR (ShellFileExists (Name))) {
    ShellDeleteFileByName (Name);
  }

  File   = NULL;
  Status = ShellOpenFileByName (Name, &File, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE, 0);
  for (Index = 0; !EFI_ERROR (Status) && Index < Count; Index++) {
    Size = Parts[Index].Size;
    if (Size > 0) {
      Status = ShellWriteFile (File, &Size, Parts[Index].Buffer);
    }
  }

  if (File != NULL) {
    ShellCloseFile (&File);
  }

  return Status;
}

/**
  Write the flash (up to its last programmed block) and the record.

  @return The status of the first failing write, or EFI_SUCCESS.
**/
STATIC
EFI_STATUS
Dump (
  IN EC_SIM        *Sim,
  IN CONST CHAR16  *FlashName,
  IN CONST CHAR16  *RecordName
  )
{
  EFI_STATUS     Status;
  EC_SIM_RECORD_HEADER  Header;

  Header.Magic      = EC_SIM_RECORD_MAGIC;
  Header.Count      = Sim->RecordLength;
  Header.Overflow   = Sim->RecordOverflow;
  Header.FlashBytes = EcSimUsedFlashBytes (Sim);
  Header.Counters   = Sim->Counters;

  CONST FILE_PART  FlashParts[]  = {
    { Sim->Flash, Header.FlashBytes }
  };
  CONST FILE_PART  RecordParts[] = {
    { &Header,     sizeof (Header)                           },
    { Sim->Record, Sim->RecordLength * sizeof (EC_SIM_EVENT) }
  };

  Status = WriteNewFile (FlashName, FlashParts, ARRAY_SIZE (FlashParts));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  return WriteNewFile (RecordName, RecordParts, ARRAY_SIZE (RecordParts));
}

/**
  @retval EFI_SUCCESS             Done.
  @retval EFI_NOT_FOUND           The simulated EC driver is not loaded.
  @retval EFI_INVALID_PARAMETER   The command line was not understood.
**/
extern "C"
EFI_STATUS
EFIAPI
UefiMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS               Status;
  LIST_ENTRY               *Package;
  MORVANE_EC_SIM_PROTOCOL  *Control;
  CONST CHAR16             *Verb;
  EC_SIM_FAULTS            Faults;
  UINTN                    Index;

  Status = ShellInitialize ();
  if (!EFI_ERROR (Status)) {
    Status = ShellCommandLineParse (EmptyParamList, &Package, NULL, TRUE);
  }

  if (EFI_ERROR (Status)) {
    return EFI_INVALID_PARAMETER;
  }

  Status = gBS->LocateProtocol (&gMorvaneEcSimProtocolGuid, NULL, reinterpret_cast<VOID **>(&Control));
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"EcSimCtl: the simulated EC is not loaded\r\n"));
    return EFI_NOT_FOUND;
  }

  Verb   = ShellCommandLineGetRawValue (Package, 1);
  Status = EFI_INVALID_PARAMETER;
  if ((Verb != NULL) && (StrCmp (Verb, Ucs2 (u"reset")) == 0)) {
    EcSimDefaultFaults (&Faults);
    Status = EFI_SUCCESS;
    for (Index = 2; ShellCommandLineGetRawValue (Package, Index) != NULL; Index++) {
      if (!ApplyFault (ShellCommandLineGetRawValue (Package, Index), &Faults)) {
        Print (Ucs2 (u"EcSimCtl: unknown setting %s\r\n"), ShellCommandLineGetRawValue (Package, Index));
        Status = EFI_INVALID_PARAMETER;
      }
    }

    if (!EFI_ERROR (Status)) {
      Control->Reset (Control, &Faults);
    }
  } else if ((Verb != NULL) && (StrCmp (Verb, Ucs2 (u"newrecord")) == 0)) {
    EcSimNewRecord (Control->Sim);
    Status = EFI_SUCCESS;
  } else if ((Verb != NULL) && (StrCmp (Verb, Ucs2 (u"dump")) == 0) &&
             (ShellCommandLineGetRawValue (Package, 3) != NULL))
  {
    Status = Dump (Control->Sim, ShellCommandLineGetRawValue (Package, 2), ShellCommandLineGetRawValue (Package, 3));
  }

  ShellCommandLineFreeVarList (Package);
  return Status;
}
