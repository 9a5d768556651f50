/** @file
  Port layer: single-byte transfers with the EC and the keyboard controller.

  The input-buffer waits are bounded: a device that never takes a byte (or
  ports that read back 0xFF because nothing is there) ends the wait with
  EFI_TIMEOUT instead of holding the tool for good.

**/

extern "C" {
#include <Uefi.h>
#include <Library/UefiBootServicesTableLib.h>
}

#include "EcPort.h"

EFI_CPU_IO2_PROTOCOL  *mCpuIo2        = NULL;
BOOLEAN               mEcOutputReady = FALSE;

//
// Who hears of a byte that never came: the front end's progress, which
// says "EcObFull error" on a screen and nothing in a driver.
//
STATIC EC_OBF_TIMEOUT_HOOK  mObfTimeoutHook = NULL;

/**
  Locate the CPU I/O 2 protocol into mCpuIo2; never cached, so that an
  interposer installed at any time is honoured.

  @return The status of LocateProtocol.
**/
STATIC
EFI_STATUS
LocateCpuIo2 (
  VOID
  )
{
  return gBS->LocateProtocol (&gEfiCpuIo2ProtocolGuid, NULL, reinterpret_cast<VOID **>(&mCpuIo2));
}

UINT8
CpuIoRead8 (
  IN UINT64  Port
  )
{
  UINT8  Value;

  Value = 0;
  if (!EFI_ERROR (LocateCpuIo2 ())) {
    mCpuIo2->Io.Read (mCpuIo2, EfiCpuIoWidthUint8, Port, 1, &Value);
  }

  return Value;
}

EFI_STATUS
CpuIoWrite8 (
  IN UINT64  Port,
  IN UINT8   Value
  )
{
  EFI_STATUS  Status;

  Status = LocateCpuIo2 ();
  if (EFI_ERROR (Status)) {
    return Status;
  }

  return mCpuIo2->Io.Write (mCpuIo2, EfiCpuIoWidthUint8, Port, 1, &Value);
}

/**
  Wait for IBF to clear on a status port: a stall-free spin, then stalled
  polls up to a bound of stalling.

  @param[in] StatusPort   The status register to poll.
  @param[in] TimeoutUs    The bound, in microseconds of stalling.

  @retval EFI_SUCCESS   IBF is clear.
  @retval EFI_TIMEOUT   IBF stayed set.
**/
STATIC
EFI_STATUS
WaitInputEmpty (
  IN UINT64  StatusPort,
  IN UINT32  TimeoutUs
  )
{
  UINT32  Spin;
  UINT32  Waited;

  for (Spin = 0; Spin < EC_IBF_SPIN_LIMIT; Spin++) {
    if ((CpuIoRead8 (StatusPort) & EC_STATUS_IBF) == 0) {
      return EFI_SUCCESS;
    }
  }

  for (Waited = 0; Waited < TimeoutUs; Waited += EC_IBF_POLL_STALL_US) {
    gBS->Stall (EC_IBF_POLL_STALL_US);
    if ((CpuIoRead8 (StatusPort) & EC_STATUS_IBF) == 0) {
      return EFI_SUCCESS;
    }
  }

  return EFI_TIMEOUT;
}

EFI_STATUS
WaitEcInputEmpty (
  VOID
  )
{
  return WaitInputEmpty (EC_COMMAND_PORT, EC_IBF_TIMEOUT_US);
}

EFI_STATUS
WaitKbcInputEmpty (
  VOID
  )
{
  return WaitInputEmpty (KBC_COMMAND_PORT, KBC_IBF_TIMEOUT_US);
}

VOID
EcPortSetObfTimeoutHook (
  IN EC_OBF_TIMEOUT_HOOK  Hook
  )
{
  mObfTimeoutHook = Hook;
}

VOID
WaitEcOutputFull (
  VOID
  )
{
  UINT8   EcStatus;
  UINT32  Polls;

  EcStatus = CpuIoRead8 (EC_COMMAND_PORT);
  for (Polls = 0; Polls < EC_OBF_POLL_LIMIT && (EcStatus & EC_STATUS_OBF) == 0; Polls++) {
    gBS->Stall (EC_OBF_POLL_STALL_US);
    EcStatus = CpuIoRead8 (EC_COMMAND_PORT);
  }

  if ((Polls < EC_OBF_POLL_LIMIT) || ((EcStatus & EC_STATUS_OBF) != 0)) {
    mEcOutputReady = TRUE;
  } else {
    if (mObfTimeoutHook != NULL) {
      mObfTimeoutHook ();
    }

    mEcOutputReady = FALSE;
  }
}

/**
  Write a byte to a port once the device's input buffer is empty.

  @param[in] StatusPort   The status register that gates the write.
  @param[in] TimeoutUs    How long the device may keep its input buffer full.
  @param[in] Port         The port to write.
  @param[in] Value        The byte.

  @retval EFI_TIMEOUT   The input buffer never emptied; nothing was written.
  @return               Otherwise the status of the write.
**/
STATIC
EFI_STATUS
SendWhenEmpty (
  IN UINT64  StatusPort,
  IN UINT32  TimeoutUs,
  IN UINT64  Port,
  IN UINT8   Value
  )
{
  if (WaitInputEmpty (StatusPort, TimeoutUs) == EFI_TIMEOUT) {
    return EFI_TIMEOUT;
  }

  return CpuIoWrite8 (Port, Value);
}

EFI_STATUS
SendEcCommand (
  IN UINT8  Command
  )
{
  return SendWhenEmpty (EC_COMMAND_PORT, EC_IBF_TIMEOUT_US, EC_COMMAND_PORT, Command);
}

EFI_STATUS
SendKbcCommand (
  IN UINT8  Command
  )
{
  return SendWhenEmpty (KBC_COMMAND_PORT, KBC_IBF_TIMEOUT_US, KBC_COMMAND_PORT, Command);
}

EFI_STATUS
SendEcData (
  IN UINT8  Data
  )
{
  return SendWhenEmpty (EC_COMMAND_PORT, EC_IBF_TIMEOUT_US, EC_DATA_PORT, Data);
}

EFI_STATUS
ReadEcData (
  OUT UINT8  *Data
  )
{
  WaitEcOutputFull ();
  if (!mEcOutputReady) {
    return EFI_DEVICE_ERROR;
  }

  *Data = CpuIoRead8 (EC_DATA_PORT);
  return EFI_SUCCESS;
}
