/** @file
  Byte transfers with the embedded controller (ports 0x62/0x66) and the
  8042 keyboard controller (port 0x64), each behind its status handshake.

  Every port access goes through EFI_CPU_IO2_PROTOCOL, located afresh on
  each access, so that a platform (or a test) may interpose its own.

**/

#ifndef MORVANE_EC_PORT_H_
#define MORVANE_EC_PORT_H_

extern "C" {
#include <Uefi.h>
#include <Protocol/CpuIo2.h>
}

#define EC_DATA_PORT      0x62
#define EC_COMMAND_PORT   0x66
#define KBC_COMMAND_PORT  0x64

#define EC_STATUS_OBF  0x01
#define EC_STATUS_IBF  0x02

#define KBC_CMD_DISABLE_KEYBOARD  0xAD
#define KBC_CMD_ENABLE_KEYBOARD   0xAE

//
// Output-buffer wait: 500 stalls of 10 us, one status read after each.
//
#define EC_OBF_POLL_LIMIT     500
#define EC_OBF_POLL_STALL_US  10

//
// Input-buffer wait: a tight spin first (a ready device clears IBF within a
// few reads), then polls with a stall in between until 10 s of stalling have
// passed. 10 s is well above the slowest legitimate EC operation, a 64 KiB
// SPI NOR block erase (a few seconds at worst).
//
#define EC_IBF_SPIN_LIMIT     10000
#define EC_IBF_POLL_STALL_US  100
#define EC_IBF_TIMEOUT_US     10000000

//
// An 8042 takes a command within microseconds: a second means there is
// none behind port 0x64.
//
#define KBC_IBF_TIMEOUT_US    1000000

extern EFI_CPU_IO2_PROTOCOL  *mCpuIo2;
extern BOOLEAN               mEcOutputReady;

/**
  Told when the EC presented no byte within EC_OBF_POLL_LIMIT polls.
**/
typedef
VOID
(EFIAPI *EC_OBF_TIMEOUT_HOOK)(
  VOID
  );

/**
  Read one byte from an I/O port through the CPU I/O 2 protocol.

  @param[in] Port   The I/O port.

  @return The byte read, or 0 when the protocol cannot be located.
**/
UINT8
CpuIoRead8 (
  IN UINT64  Port
  );

/**
  Write one byte to an I/O port through the CPU I/O 2 protocol.

  @param[in] Port    The I/O port.
  @param[in] Value   The byte to write.

  @return The status of the write, or of the failed protocol look-up.
**/
EFI_STATUS
CpuIoWrite8 (
  IN UINT64  Port,
  IN UINT8   Value
  );

/**
  Wait until the EC status register shows its input buffer empty.

  @retval EFI_SUCCESS   IBF is clear.
  @retval EFI_TIMEOUT   IBF stayed set for the whole bound.
**/
EFI_STATUS
WaitEcInputEmpty (
  VOID
  );

/**
  Wait until the keyboard controller shows its input buffer empty.

  @retval EFI_SUCCESS   IBF is clear.
  @retval EFI_TIMEOUT   IBF stayed set for the whole bound.
**/
EFI_STATUS
WaitKbcInputEmpty (
  VOID
  );

/**
  Have the port layer tell Hook of every byte the EC did not present in
  time; the port layer itself shows nothing.

  @param[in] Hook   The hook, or NULL.
**/
VOID
EcPortSetObfTimeoutHook (
  IN EC_OBF_TIMEOUT_HOOK  Hook
  );

/**
  Wait for a byte from the EC; sets mEcOutputReady, and tells the time-out
  hook when none comes within EC_OBF_POLL_LIMIT polls.
**/
VOID
WaitEcOutputFull (
  VOID
  );

/**
  Send a command byte to the EC command port.

  @param[in] Command   The command byte.

  @retval EFI_TIMEOUT   The EC never took its previous byte; nothing written.
  @return               Otherwise the status of the port write.
**/
EFI_STATUS
SendEcCommand (
  IN UINT8  Command
  );

/**
  Send a command byte to the keyboard controller.

  @param[in] Command   The command byte.

  @retval EFI_TIMEOUT   The controller never took its previous byte.
  @return               Otherwise the status of the port write.
**/
EFI_STATUS
SendKbcCommand (
  IN UINT8  Command
  );

/**
  Send a data byte to the EC data port, waiting on the EC status register.

  @param[in] Data   The data byte.

  @retval EFI_TIMEOUT   The EC never took its previous byte; nothing written.
  @return               Otherwise the status of the port write.
**/
EFI_STATUS
SendEcData (
  IN UINT8  Data
  );

/**
  Read a data byte from the EC.

  @param[out] Data   Receives the byte; left untouched on a time-out.

  @retval EFI_SUCCESS        The byte was read.
  @retval EFI_DEVICE_ERROR   The EC presented no byte in time.
**/
EFI_STATUS
ReadEcData (
  OUT UINT8  *Data
  );

#endif
