/** @file
  Puts the simulated EC behind the legacy EC ports of a real machine (or
  QEMU) for end-to-end tests.

  The firmware's CPU I/O 2 interface is replaced, on its own handle, by an
  interposer: single-byte accesses to 0x62/0x66 go to the device model,
  writes to 0x64 are recorded and passed on to the real keyboard
  controller, and everything else is passed on unchanged.

**/

extern "C" {
#include <Uefi.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/CpuIo2.h>
}

#include "EcSimProtocol.h"
#include "EcSimVolume.h"

STATIC EFI_CPU_IO2_PROTOCOL     *mFirmwareCpuIo;
STATIC EFI_CPU_IO2_PROTOCOL     mInterposer;
STATIC MORVANE_EC_SIM_PROTOCOL  mControl;
STATIC EC_SIM                   mSim;

/**
  Tell whether an I/O access is one byte to the simulated EC.
**/
STATIC
BOOLEAN
IsEcAccess (
  IN EFI_CPU_IO_PROTOCOL_WIDTH  Width,
  IN UINT64                     Address,
  IN UINTN                      Count
  )
{
  return (Width == EfiCpuIoWidthUint8) && (Count == 1) &&
         ((Address == EC_SIM_DATA_PORT) || (Address == EC_SIM_COMMAND_PORT));
}

STATIC
EFI_STATUS
EFIAPI
InterposedIoRead (
  IN     EFI_CPU_IO2_PROTOCOL       *This,
  IN     EFI_CPU_IO_PROTOCOL_WIDTH  Width,
  IN     UINT64                     Address,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  if (!IsEcAccess (Width, Address, Count)) {
    return mFirmwareCpuIo->Io.Read (mFirmwareCpuIo, Width, Address, Count, Buffer);
  }

  EcSimTakeVolumeSettings (&mSim);
  *static_cast<UINT8 *>(Buffer) = EcSimRead (&mSim, Address);
  return EFI_SUCCESS;
}

STATIC
EFI_STATUS
EFIAPI
InterposedIoWrite (
  IN     EFI_CPU_IO2_PROTOCOL       *This,
  IN     EFI_CPU_IO_PROTOCOL_WIDTH  Width,
  IN     UINT64                     Address,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  if (!IsEcAccess (Width, Address, Count)) {
    if ((Address == EC_SIM_KBC_PORT) && (Width == EfiCpuIoWidthUint8) && (Count == 1)) {
      EcSimRecordKbc (&mSim, *static_cast<UINT8 *>(Buffer));
    }

    return mFirmwareCpuIo->Io.Write (mFirmwareCpuIo, Width, Address, Count, Buffer);
  }

  EcSimTakeVolumeSettings (&mSim);
  BOOLEAN  WasFlashing = mSim.FlashMode;
  EcSimWrite (&mSim, Address, *static_cast<UINT8 *>(Buffer));
  if (WasFlashing && !mSim.FlashMode) {
    EcSimDumpToVolume (&mSim);
  }

  return EFI_SUCCESS;
}

/**
  Stamp each recorded command with the console row the cursor stands on,
  so that tests can tell what had been printed when the EC received it.
**/
STATIC
UINT32
CursorRowStamp (
  IN VOID  *Context
  )
{
  return static_cast<UINT32>(gST->ConOut->Mode->CursorRow);
}

STATIC
VOID
EFIAPI
ResetSim (
  IN MORVANE_EC_SIM_PROTOCOL  *This,
  IN CONST EC_SIM_FAULTS      *Faults
  )
{
  EcSimReset (&mSim, mSim.Flash, Faults);
  mSim.Stamp = CursorRowStamp;
}

/**
  Find the handle that carries the firmware's CPU I/O 2 interface.

  @param[out] Handle   The handle.

  @return The status of the look-up.
**/
STATIC
EFI_STATUS
FindCpuIoHandle (
  OUT EFI_HANDLE  *Handle
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  *Handles;
  UINTN       Count;

  Status = gBS->LocateHandleBuffer (ByProtocol, &gEfiCpuIo2ProtocolGuid, NULL, &Count, &Handles);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  *Handle = Handles[0];
  FreePool (Handles);
  return gBS->HandleProtocol (*Handle, &gEfiCpuIo2ProtocolGuid, reinterpret_cast<VOID **>(&mFirmwareCpuIo));
}

/**
  Install the simulated EC: a fresh model, the interposer in place of the
  firmware's CPU I/O 2 interface, and the control protocol.

  @param[in] ImageHandle   The driver's image handle.
  @param[in] SystemTable   The system table.

  @retval EFI_SUCCESS   The simulated EC answers on 0x62/0x66.
  @return               The failure that kept it from being installed.
**/
extern "C"
EFI_STATUS
EFIAPI
EcSimDxeEntry (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  CpuIoHandle;
  UINT8       *Flash;

  Status = FindCpuIoHandle (&CpuIoHandle);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Flash = static_cast<UINT8 *>(AllocatePool (EC_SIM_FLASH_SIZE));
  if (Flash == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  EcSimReset (&mSim, Flash, NULL);
  mSim.Stamp = CursorRowStamp;
  mInterposer.Mem      = mFirmwareCpuIo->Mem;
  mInterposer.Io.Read  = InterposedIoRead;
  mInterposer.Io.Write = InterposedIoWrite;
  Status               = gBS->ReinstallProtocolInterface (CpuIoHandle, &gEfiCpuIo2ProtocolGuid, mFirmwareCpuIo, &mInterposer);
  if (EFI_ERROR (Status)) {
    FreePool (Flash);
    return Status;
  }

  mControl.Reset = ResetSim;
  mControl.Sim   = &mSim;
  return gBS->InstallMultipleProtocolInterfaces (&ImageHandle, &gMorvaneEcSimProtocolGuid, &mControl, NULL);
}
