/** @file
  Port accesses per byte for one block program-and-verify on a ready EC,
  counted by the simulated device; prints figures, asserts nothing.

**/

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "EcFlash.h"
#include "EcSim.h"
#include "Firmware.h"
#include "Morvane.h"

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
  return 0;
}
