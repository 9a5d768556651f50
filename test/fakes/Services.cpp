/** @file
  Fake boot and runtime services: LocateProtocol for CPU I/O 2 (wired to the
  simulated EC) and the random number generator, Stall on a virtual clock,
  GetTime from that clock.

**/

#include "Firmware.h"

#include <cstring>

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/Rng.h>
#include <Guid/SmBios.h>
#include <IndustryStandard/SmBios.h>
}

#include "EcFlash.h"
#include "EcProgress.h"
#include "DepotRun.h"
#include "RunState.h"

extern EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  mFakeConOut;
void                                    ResetConsole (void);

namespace {

Fake::State            mState;

std::string
Hex (
  UINT64  Value
  )
{
  char  Text[24];

  snprintf (Text, sizeof (Text), "0x%llX", static_cast<unsigned long long>(Value));
  return Text;
}

// Counts a port access (Port set) or a stall, and ends the test once it has
// spent its budget, naming the port it was busy with.
void
Spend (
  const char  *What,
  UINT64      Port
  )
{
  auto  *S = Fake::gState;

  if (What != nullptr) {
    S->PortAccesses++;
    S->LastAccess = What;
    S->LastPort   = Port;
  }

  if ((S->PortAccesses <= S->PortBudget) && (S->ClockUs <= S->ClockBudgetUs)) {
    return;
  }

  throw Fake::BudgetSpent (
          "test budget spent: " + std::to_string (S->PortAccesses) + " of " + std::to_string (S->PortBudget) +
          " port accesses, " + std::to_string (S->ClockUs / 1000) + " of " + std::to_string (S->ClockBudgetUs / 1000) +
          " ms of virtual time, " + std::to_string (S->StallCalls) + " stalls; a loop that does not end, last at a " +
          S->LastAccess + " of port " + Hex (S->LastPort));
}
EFI_BOOT_SERVICES      mBootServices;
EFI_RUNTIME_SERVICES   mRuntimeServices;
EFI_SYSTEM_TABLE       mSystemTable;
EFI_CONFIGURATION_TABLE       mConfigTable;
SMBIOS_TABLE_3_0_ENTRY_POINT  mSmbiosEntry;
EFI_CPU_IO2_PROTOCOL   mCpuIo;

EFI_STATUS
EFIAPI
IoRead (
  IN     EFI_CPU_IO2_PROTOCOL       *This,
  IN     EFI_CPU_IO_PROTOCOL_WIDTH  Width,
  IN     UINT64                     Address,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  if ((Width != EfiCpuIoWidthUint8) || (Count != 1)) {
    return EFI_INVALID_PARAMETER;
  }

  auto  &Script = Fake::gState->Script[Address];

  Spend ("read", Address);
  Fake::gState->ReadsOf[Address]++;
  if (!Script.empty ()) {
    *static_cast<UINT8 *>(Buffer) = Script.front ();
    Script.pop_front ();
    return EFI_SUCCESS;
  }

  *static_cast<UINT8 *>(Buffer) = EcSimRead (Fake::gState->Sim, Address);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
IoWrite (
  IN     EFI_CPU_IO2_PROTOCOL       *This,
  IN     EFI_CPU_IO_PROTOCOL_WIDTH  Width,
  IN     UINT64                     Address,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  if ((Width != EfiCpuIoWidthUint8) || (Count != 1)) {
    return EFI_INVALID_PARAMETER;
  }

  Spend ("write", Address);
  Fake::gState->Writes.push_back ({ Address, *static_cast<UINT8 *>(Buffer) });
  EcSimWrite (Fake::gState->Sim, Address, *static_cast<UINT8 *>(Buffer));
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
GetRng (
  IN  EFI_RNG_PROTOCOL    *This,
  IN  EFI_RNG_ALGORITHM   *Algorithm  OPTIONAL,
  IN  UINTN               Length,
  OUT UINT8               *Value
  )
{
  for (UINTN Index = 0; Index < Length; Index++) {
    Value[Index] = static_cast<UINT8>(Fake::gState->RngNext >> (8 * (Index % 4)));
    if (Index % 4 == 3) {
      Fake::gState->RngNext++;
    }
  }

  return EFI_SUCCESS;
}

EFI_RNG_PROTOCOL  mRng = { nullptr, GetRng };

EFI_STATUS
EFIAPI
LocateProtocol (
  IN  EFI_GUID  *Protocol,
  IN  VOID      *Registration  OPTIONAL,
  OUT VOID      **Interface
  )
{
  if (CompareGuid (Protocol, &gEfiRngProtocolGuid)) {
    *Interface = &mRng;
    return Fake::gState->HasRng ? EFI_SUCCESS : EFI_NOT_FOUND;
  }

  Fake::gState->Locates++;
  if (Fake::gState->LocateFails || !CompareGuid (Protocol, &gEfiCpuIo2ProtocolGuid)) {
    return EFI_NOT_FOUND;
  }

  *Interface = &mCpuIo;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
Stall (
  IN UINTN  Microseconds
  )
{
  Fake::gState->ClockUs += Microseconds;
  Fake::gState->StallCalls++;
  Spend (nullptr, 0);

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SetWatchdogTimer (
  IN UINTN   Timeout,
  IN UINT64  WatchdogCode,
  IN UINTN   DataSize,
  IN CHAR16  *WatchdogData OPTIONAL
  )
{
  Fake::gState->WatchdogTimeout  = static_cast<INT64>(Timeout);
  Fake::gState->WatchdogAtAccess = Fake::gState->PortAccesses;
  return EFI_SUCCESS;
}

bool
IsLeap (
  UINT16  Year
  )
{
  return (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
}

UINT8
DaysIn (
  UINT16  Year,
  UINT8   Month
  )
{
  static const UINT8  Days[] = { 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 };

  return (Month == 2 && IsLeap (Year)) ? 29 : Days[Month - 1];
}

// The base time advanced by the virtual clock, a second at a time.
EFI_STATUS
EFIAPI
GetNextMonotonicCount (
  OUT UINT64  *Count
  )
{
  *Count = (static_cast<UINT64>(Fake::gState->BootCount) << 32) | Fake::gState->MonotonicLow++;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
GetTime (
  OUT EFI_TIME               *Time,
  OUT EFI_TIME_CAPABILITIES  *Capabilities OPTIONAL
  )
{
  if (EFI_ERROR (Fake::gState->GetTimeStatus)) {
    return Fake::gState->GetTimeStatus;
  }

  EFI_TIME  T = Fake::gState->BaseTime;

  for (UINT64 S = Fake::gState->ClockUs / 1000000; S > 0; S--) {
    if (++T.Second < 60) {
      continue;
    }

    T.Second = 0;
    if (++T.Minute < 60) {
      continue;
    }

    T.Minute = 0;
    if (++T.Hour < 24) {
      continue;
    }

    T.Hour = 0;
    if (++T.Day <= DaysIn (T.Year, T.Month)) {
      continue;
    }

    T.Day = 1;
    if (++T.Month > 12) {
      T.Month = 1;
      T.Year++;
    }
  }

  *Time = T;
  return EFI_SUCCESS;
}

UINT32
StampEvent (
  VOID  *Context
  )
{
  Fake::gState->Log.push_back ({ "dev", u"" });
  return static_cast<UINT32>(Fake::gState->Log.size () - 1);
}

}  // namespace

extern "C" {
EFI_BOOT_SERVICES     *gBS = &mBootServices;
EFI_RUNTIME_SERVICES  *gRT = &mRuntimeServices;
EFI_SYSTEM_TABLE      *gST = &mSystemTable;
EFI_HANDLE            gImageHandle = nullptr;
}

namespace Fake {

State  *gState = &mState;

void
Reset (
  EC_SIM  *Sim
  )
{
  mState       = State ();
  mState.Sim   = Sim;
  mState.BaseTime.Year   = 2026;
  mState.BaseTime.Month  = 12;
  mState.BaseTime.Day    = 7;
  mState.BaseTime.Hour   = 9;
  mState.BaseTime.Minute = 30;
  mState.BaseTime.Second = 5;
  Sim->Stamp             = StampEvent;

  mBootServices                = {};
  mBootServices.LocateProtocol = LocateProtocol;
  mBootServices.Stall          = Stall;
  mBootServices.SetWatchdogTimer = SetWatchdogTimer;
  mBootServices.GetNextMonotonicCount = GetNextMonotonicCount;
  Fake::ResetNetwork (&mBootServices);
  mRuntimeServices             = {};
  mRuntimeServices.GetTime     = GetTime;
  mSystemTable                 = {};
  mSystemTable.ConOut          = &mFakeConOut;
  mSystemTable.BootServices    = &mBootServices;
  mSystemTable.RuntimeServices = &mRuntimeServices;
  Fake::ResetBootEdge (&mBootServices, &mRuntimeServices, &mSystemTable);
  mCpuIo                       = {};
  mCpuIo.Io.Read               = IoRead;
  mCpuIo.Io.Write              = IoWrite;
  ResetConsole ();

  // The product's module state, as a freshly loaded image has it.
  mCpuIo2        = nullptr;
  mEcOutputReady = FALSE;
  mBlockNumber   = 0;
  mFlashId       = 0;
  mFlashIdRead   = FALSE;
  mRetryCount    = 0;
  mEcLink        = EcAnswering;
  mImage         = {};
  mDepotRun      = {};
  EcProgressSet (nullptr);
  std::memset (mImageLow, 0, sizeof (mImageLow));
  std::memset (mImageHigh, 0, sizeof (mImageHigh));
  std::memset (mReadBackLow, 0, sizeof (mReadBackLow));
  std::memset (mReadBackHigh, 0, sizeof (mReadBackHigh));
}

void
PublishSmbios (
  const std::string           &Serial,
  const std::vector<UINT8>    &Uuid,
  const std::string           &Product
  )
{
  // A BIOS information structure first, then system information (type 1,
  // product name as string 2, serial number as string 4, UUID at offset 8),
  // a baseboard and a chassis, then the end structure.
  std::vector<UINT8>  &T = gState->Smbios;

  T = { 0, 0x12, 0x00, 0x00 };
  T.resize (0x12, 0);
  T[4] = 1;
  for (char C : std::string ("Vendor")) {
    T.push_back (static_cast<UINT8>(C));
  }

  T.insert (T.end (), { 0, 0 });
  T.insert (T.end (), { 1, 0x1B, 0x01, 0x00, 1, static_cast<UINT8>(Product.empty () ? 0 : 2), 3,
                        static_cast<UINT8>(Serial.empty () ? 0 : 4) });
  T.insert (T.end (), Uuid.begin (), Uuid.end ());
  T.insert (T.end (), { 6, 0, 0 });
  for (const std::string &Text : { std::string ("Maker"), Product.empty () ? std::string ("-") : Product, std::string ("1.0") }) {
    T.insert (T.end (), Text.c_str (), Text.c_str () + Text.size () + 1);
  }

  T.insert (T.end (), Serial.begin (), Serial.end ());
  if (!Serial.empty ()) {
    T.push_back (0);
  }

  T.push_back (0);

  // A baseboard (type 2) and a chassis (type 3, a notebook), for the
  // hardware IDs that name them.
  T.insert (T.end (), { 2, 0x08, 0x02, 0x00, 1, 2, 0, 0 });
  T.insert (T.end (), { 'B', 'o', 'a', 'r', 'd', ' ', 'C', 'o', 0, 'B', '1', 0, 0 });
  T.insert (T.end (), { 3, 0x09, 0x03, 0x00, 1, 0x0A, 0, 0, 0 });
  T.insert (T.end (), { 'M', 'a', 'k', 'e', 'r', 0, 0 });
  T.insert (T.end (), { 127, 4, 0x04, 0x00, 0, 0 });

  mSmbiosEntry                   = {};
  mSmbiosEntry.TableMaximumSize  = static_cast<UINT32>(T.size ());
  mSmbiosEntry.TableAddress      = reinterpret_cast<UINT64>(T.data ());
  mConfigTable.VendorGuid        = gEfiSmbios3TableGuid;
  mConfigTable.VendorTable       = &mSmbiosEntry;
  mSystemTable.NumberOfTableEntries = 1;
  mSystemTable.ConfigurationTable   = &mConfigTable;
}

size_t
Find (
  const std::string     &Kind,
  const std::u16string  &Text,
  size_t                From
  )
{
  for (size_t Index = From; Index < gState->Log.size (); Index++) {
    const Event  &E = gState->Log[Index];
    if ((E.Kind == Kind) && (Text.empty () || (E.Text.find (Text) != std::u16string::npos))) {
      return Index;
    }
  }

  return std::string::npos;
}

}  // namespace Fake
