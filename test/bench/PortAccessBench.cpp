/** @file
  Port accesses per byte for one block program-and-verify on a ready EC,
  counted by the simulated device, and the time of an update (-u) against
  a full flash on an EC with real SPI timings; prints figures, asserts
  nothing.

**/

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "EcFlash.h"
#include "EcSim.h"
#include "Firmware.h"
#include "RunState.h"
#include "SaveRun.h"

extern "C" {
#include <Library/UefiBootServicesTableLib.h>
}

extern "C" EFI_STATUS EFIAPI UefiMain (EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

namespace {

// Port accesses per byte read back (status reads and data reads, the two
// command bytes of each read sequence apart) over Blocks blocks of a mode
// that only reads.
void
PrintReadOnly (
  const char             *Mode,
  const EC_SIM_COUNTERS  &Before,
  const EC_SIM_COUNTERS  &After,
  unsigned               Blocks
  )
{
  double  Bytes    = static_cast<double>(Blocks) * FLASH_BLOCK_SIZE;
  double  Accesses = static_cast<double>((After.StatusReads - Before.StatusReads) + (After.DataReads - Before.DataReads)) -
                     2.0 * Blocks;

  std::printf ("%-40s%.3f (status + data reads; no write)\n", Mode, Accesses / Bytes);
  if (After.DataWrites != Before.DataWrites) {
    std::printf ("  but %llu data writes\n", static_cast<unsigned long long>(After.DataWrites - Before.DataWrites));
  }
}


// Simulated seconds of one whole run: every port access costs 1 us of the
// device's clock, on top of the stalls the run waited.
struct RunFigures {
  double    Seconds;
  double    AccessesPerByte;
  UINT64    Status;
};

RunFigures
TimedRun (
  EC_SIM                             *Sim,
  const std::vector<UINT8>           &Image,
  std::vector<const char16_t *>      Args
  )
{
  Fake::Reset (Sim);
  EcSimNewRecord (Sim);
  Fake::gState->PortBudget    = UINT64_MAX;
  Fake::gState->ClockBudgetUs = UINT64_MAX;
  Fake::gState->Files[u"FS0:\\images\\ec.bin"].Data = Image;
  Fake::gState->Argv = { u"Morvane" };
  for (const char16_t *Arg : Args) {
    Fake::gState->Argv.push_back (Arg);
  }

  EFI_STATUS              Status = UefiMain (nullptr, gST);
  const EC_SIM_COUNTERS   &C     = Sim->Counters;
  UINT64                  Accesses = C.StatusReads + C.DataReads + C.DataWrites + C.CommandWrites + C.KbcStatusReads + C.KbcWrites;

  return { (Fake::gState->ClockUs + Accesses) / 1e6, static_cast<double>(Accesses) / Image.size (), Status };
}

// A 1 MiB image on an EC with the timings of real SPI parts: a 64 KiB erase
// of 150 ms, 0.7 ms per 256-byte page programmed.
int
PrintUpdateFigures (
  )
{
  std::unique_ptr<EC_SIM>  Sim (new EC_SIM);
  std::vector<UINT8>       Flash (EC_SIM_FLASH_SIZE);
  std::vector<UINT8>       Image (16 * FLASH_BLOCK_SIZE);
  EC_SIM_FAULTS            Faults;

  for (size_t Index = 0; Index < Image.size (); Index++) {
    Image[Index] = static_cast<UINT8>((Index * 131) ^ (Index >> 9));
  }

  EcSimDefaultFaults (&Faults);
  Faults.EraseBusyReads = EC_IBF_SPIN_LIMIT + 150000 / EC_IBF_POLL_STALL_US;
  Faults.PageBusyReads  = 700;
  EcSimReset (Sim.get (), Flash.data (), &Faults);

  auto  Changed = Image;
  Changed[7 * FLASH_BLOCK_SIZE + 1234] ^= 0x40;

  RunFigures  Full      = TimedRun (Sim.get (), Image, { u"-l", u"run.log", u"ec.bin" });
  RunFigures  Same      = TimedRun (Sim.get (), Image, { u"-u", u"-l", u"run.log", u"ec.bin" });
  TimedRun (Sim.get (), Image, { u"ec.bin" });
  RunFigures  OneBlock  = TimedRun (Sim.get (), Changed, { u"-u", u"-l", u"run.log", u"ec.bin" });

  if ((Full.Status != EFI_SUCCESS) || (Same.Status != EFI_SUCCESS) || (OneBlock.Status != EFI_SUCCESS)) {
    std::printf ("an update run failed\n");
    return 1;
  }

  std::printf ("\n1 MiB image, simulated SPI timings (erase 150 ms/64 KiB, 0.7 ms/256 B, 1 us per port access;\n");
  std::printf ("the 1 s start pause included; every run logs, so each ends with the closing check when it erased):\n");
  std::printf ("  full flash:                %6.2f s  1.00    %.3f port accesses per byte\n", Full.Seconds, Full.AccessesPerByte);
  std::printf ("  -u, image already there:   %6.2f s  %.2f    %.3f port accesses per byte (target <= 0.35)\n",
               Same.Seconds, Same.Seconds / Full.Seconds, Same.AccessesPerByte);
  std::printf ("  -u, 1 block of 16 changed: %6.2f s  %.2f    %.3f port accesses per byte (target <= 0.65)\n",
               OneBlock.Seconds, OneBlock.Seconds / Full.Seconds, OneBlock.AccessesPerByte);
  return 0;
}

}  // namespace

int
main (
  )
{
  std::unique_ptr<EC_SIM>  Sim (new EC_SIM);
  std::vector<UINT8>       Flash (EC_SIM_FLASH_SIZE);
  const unsigned           Blocks = 16;

  EcSimReset (Sim.get (), Flash.data (), nullptr);
  Fake::Reset (Sim.get ());
  Fake::gState->PortBudget = UINT64_MAX;
  for (UINT32 Index = 0; Index < HALF_BLOCK_SIZE; Index++) {
    mImageLow[Index]  = static_cast<UINT8>(Index * 7);
    mImageHigh[Index] = static_cast<UINT8>(Index * 13);
  }

  EnterFlashMode ();
  EraseBlock ();
  EC_SIM_COUNTERS  Before = Sim->Counters;
  UINT64           Locates = Fake::gState->Locates;
  auto             Start   = std::chrono::steady_clock::now ();

  for (unsigned Block = 0; Block < Blocks; Block++) {
    if (!ProgramAndVerifyBlock ()) {
      std::printf ("verify failed\n");
      return 1;
    }
  }

  double  Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now () - Start).count ();
  double  Bytes   = static_cast<double>(Blocks) * FLASH_BLOCK_SIZE;
  const EC_SIM_COUNTERS  &After = Sim->Counters;

  // Each direction moves Bytes bytes; the 7 command bytes per attempt are
  // counted apart.
  double  CommandStatusReads = 7.0 * Blocks;
  double  StatusReads        = static_cast<double>(After.StatusReads - Before.StatusReads) - CommandStatusReads;

  std::printf ("blocks programmed and verified: %u (ready EC)\n", Blocks);
  std::printf ("status reads per byte sent + read back: %.3f (%.0f total)\n", StatusReads / Bytes / 2, StatusReads);
  std::printf ("data writes per byte sent:              %.3f\n", (After.DataWrites - Before.DataWrites) / Bytes);
  std::printf ("data reads per byte read back:          %.3f\n", (After.DataReads - Before.DataReads) / Bytes);
  std::printf ("protocol look-ups per port access:      %.3f\n",
              (Fake::gState->Locates - Locates) /
              static_cast<double>((After.StatusReads - Before.StatusReads) + (After.DataWrites - Before.DataWrites) +
                                  (After.DataReads - Before.DataReads) + (After.CommandWrites - Before.CommandWrites)));
  std::printf ("host time per block (simulated ports):  %.2f ms\n", Seconds * 1000 / Blocks);

  // Verify only: the programmed block read back and compared as often.
  EC_SIM_COUNTERS  Mark = Sim->Counters;
  for (unsigned Block = 0; Block < Blocks; Block++) {
    if ((ReadBackBlock () != EFI_SUCCESS) || !ReadBackMatchesImage ()) {
      std::printf ("verify-only read failed\n");
      return 1;
    }
  }

  PrintReadOnly ("verify-only: port accesses per byte:", Mark, Sim->Counters, Blocks);

  // Save: the same read-back into a file, checked on disk.
  RUN_RESULT  Result = { EFI_SUCCESS, FALSE };
  Mark = Sim->Counters;
  SaveBlocks (reinterpret_cast<const CHAR16 *>(u"FS0:\\save.bin"), Blocks, &Result);
  if (Result.Ended) {
    std::printf ("save failed\n");
    return 1;
  }

  PrintReadOnly ("save: port accesses per byte:", Mark, Sim->Counters, Blocks);
  FreeSaveCopy ();
  return PrintUpdateFigures ();
}
