/** @file
  The simulated EC without a shell, for end-to-end tests of Morvane booted
  by the firmware: no control application can run then, so the driver
  takes its faults from a file ECSIM.CFG on any FAT volume, and dumps its
  flash and command record beside it (SIM.FL, SIM.REC, as EcSimCtl dump
  writes them) each time the EC leaves flash mode.

  The volumes are not connected yet when an option ROM driver loads, so the
  file is looked for at the first access to the EC's ports (after
  connecting every controller: a network boot leaves the disks alone). Without the
  file nothing changes: the control application drives the EC as before.

  ECSIM.CFG: words separated by blanks or line ends, "nodevice" or
  "key=N" (decimal, or hexadecimal after 0x) with EcSimCtl's keys.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/SimpleFileSystem.h>
}

#include "EcSimProtocol.h"
#include "EcSimVolume.h"
#include "Ucs2.h"

#define SETTINGS_BYTES  1024

STATIC BOOLEAN            mLooked = FALSE;
STATIC EFI_FILE_PROTOCOL  *mDumpRoot = NULL;

/**
  A number: decimal, or hexadecimal after 0x.
**/
STATIC
UINT32
ReadNumber (
  IN CONST CHAR8  *Text,
  IN UINTN        Length
  )
{
  UINT32  Value;
  UINT32  Base;
  UINTN   Index;
  CHAR8   C;

  Base  = ((Length > 2) && (Text[0] == '0') && ((Text[1] == 'x') || (Text[1] == 'X'))) ? 16 : 10;
  Value = 0;
  for (Index = (Base == 16) ? 2 : 0; Index < Length; Index++) {
    C = Text[Index];
    if ((C >= '0') && (C <= '9')) {
      Value = Value * Base + static_cast<UINT32>(C - '0');
    } else if ((Base == 16) && (C >= 'a') && (C <= 'f')) {
      Value = Value * Base + static_cast<UINT32>(C - 'a' + 10);
    } else if ((Base == 16) && (C >= 'A') && (C <= 'F')) {
      Value = Value * Base + static_cast<UINT32>(C - 'A' + 10);
    }
  }

  return Value;
}

/**
  Apply one word of the settings.
**/
STATIC
VOID
ApplyWord (
  IN     CONST CHAR8    *Word,
  IN     UINTN          Length,
  IN OUT EC_SIM_FAULTS  *Faults
  )
{
  UINTN  KeyLength;

  if ((Length == 8) && (CompareMem (Word, "nodevice", 8) == 0)) {
    Faults->NoDevice = TRUE;
    return;
  }

  for (KeyLength = 0; KeyLength < Length && Word[KeyLength] != '='; KeyLength++) {
  }

  if (KeyLength == Length) {
    return;
  }

  if ((KeyLength == 2) && (CompareMem (Word, "id", 2) == 0)) {
    Faults->ManufacturerId = static_cast<UINT8>(ReadNumber (Word + 3, Length - 3));
    return;
  }

  EcSimSetFault (Faults, Word, KeyLength, ReadNumber (Word + KeyLength + 1, Length - KeyLength - 1));
}

/**
  Read the settings file of one volume into faults.

  @retval TRUE   The volume holds ECSIM.CFG.
**/
STATIC
BOOLEAN
ReadSettings (
  IN  EFI_FILE_PROTOCOL  *Root,
  OUT EC_SIM_FAULTS      *Faults
  )
{
  EFI_FILE_PROTOCOL  *File;
  CHAR8              Text[SETTINGS_BYTES];
  UINTN              Size;
  UINTN              Start;
  UINTN              End;

  if (EFI_ERROR (Root->Open (Root, &File, const_cast<CHAR16 *>(Ucs2 (u"ECSIM.CFG")), EFI_FILE_MODE_READ, 0))) {
    return FALSE;
  }

  Size = sizeof (Text);
  if (EFI_ERROR (File->Read (File, &Size, Text))) {
    Size = 0;
  }

  File->Close (File);
  EcSimDefaultFaults (Faults);
  for (Start = 0; Start < Size; Start = End + 1) {
    for (End = Start; End < Size && Text[End] > ' '; End++) {
    }

    if (End > Start) {
      ApplyWord (Text + Start, End - Start, Faults);
    }
  }

  return TRUE;
}

VOID
EcSimTakeVolumeSettings (
  IN OUT EC_SIM  *Sim
  )
{
  EFI_HANDLE                       *Handles;
  UINTN                            Count;
  UINTN                            Index;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  *Volume;
  EFI_FILE_PROTOCOL                *Root;
  EC_SIM_FAULTS                    Faults;
  EC_SIM_STAMP                     Stamp;

  if (mLooked) {
    return;
  }

  mLooked = TRUE;

  //
  // A machine that boots from the network has its disks left unconnected
  // by the boot manager: connect everything first.
  //
  if (!EFI_ERROR (gBS->LocateHandleBuffer (AllHandles, NULL, NULL, &Count, &Handles))) {
    for (Index = 0; Index < Count; Index++) {
      gBS->ConnectController (Handles[Index], NULL, NULL, TRUE);
    }

    FreePool (Handles);
  }

  if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiSimpleFileSystemProtocolGuid, NULL, &Count, &Handles))) {
    return;
  }

  for (Index = 0; Index < Count && mDumpRoot == NULL; Index++) {
    if (EFI_ERROR (gBS->HandleProtocol (Handles[Index], &gEfiSimpleFileSystemProtocolGuid, reinterpret_cast<VOID **>(&Volume))) ||
        EFI_ERROR (Volume->OpenVolume (Volume, &Root)))
    {
      continue;
    }

    if (ReadSettings (Root, &Faults)) {
      Stamp = Sim->Stamp;
      EcSimReset (Sim, Sim->Flash, &Faults);
      Sim->Stamp = Stamp;
      mDumpRoot  = Root;
    } else {
      Root->Close (Root);
    }
  }

  FreePool (Handles);
}

/**
  Write a new file, replacing any of that name.
**/
STATIC
VOID
WriteNewFile (
  IN CONST char16_t  *Name,
  IN CONST VOID      *First,
  IN UINTN           FirstSize,
  IN CONST VOID      *Second,
  IN UINTN           SecondSize
  )
{
  EFI_FILE_PROTOCOL  *File;
  UINTN              Size;
  CHAR16             *Path;

  Path = const_cast<CHAR16 *>(Ucs2 (Name));
  if (!EFI_ERROR (mDumpRoot->Open (mDumpRoot, &File, Path, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0))) {
    File->Delete (File);
  }

  if (EFI_ERROR (mDumpRoot->Open (mDumpRoot, &File, Path, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE, 0))) {
    return;
  }

  Size = FirstSize;
  if (Size > 0) {
    File->Write (File, &Size, const_cast<VOID *>(First));
  }

  Size = SecondSize;
  if (Size > 0) {
    File->Write (File, &Size, const_cast<VOID *>(Second));
  }

  File->Close (File);
}

VOID
EcSimDumpToVolume (
  IN CONST EC_SIM  *Sim
  )
{
  EC_SIM_RECORD_HEADER  Header;

  if (mDumpRoot == NULL) {
    return;
  }

  Header.Magic      = EC_SIM_RECORD_MAGIC;
  Header.Count      = Sim->RecordLength;
  Header.Overflow   = Sim->RecordOverflow;
  Header.FlashBytes = EcSimUsedFlashBytes (Sim);
  Header.Counters   = Sim->Counters;
  WriteNewFile (u"SIM.FL", Sim->Flash, Header.FlashBytes, NULL, 0);
  WriteNewFile (u"SIM.REC", &Header, sizeof (Header), Sim->Record, Sim->RecordLength * sizeof (EC_SIM_EVENT));
}
