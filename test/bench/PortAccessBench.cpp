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
  return 0;
}
