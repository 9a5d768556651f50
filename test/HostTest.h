/** @file
  The fixture of every host test: fresh fakes, a fresh simulated EC with a
  16 MiB flash, and fresh module state.

**/

#ifndef MORVANE_HOST_TEST_H_
#define MORVANE_HOST_TEST_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "EcProgress.h"
#include "EcSim.h"
#include "Firmware.h"
#include "ProgressScreen.h"

class HostTest : public ::testing::Test {
protected:
  void
  SetUp (
    ) override
  {
    Flash.assign (EC_SIM_FLASH_SIZE, 0);
    EcSimReset (Sim.get (), Flash.data (), nullptr);
    Fake::Reset (Sim.get ());

    // Both front ends show the progress on the progress screen; so do the
    // tests that call the engine without one.
    EcProgressSet (ProgressScreen ());
  }

  void
  TearDown (
    ) override
  {
    EXPECT_EQ (Fake::gState->BadFrees, 0u) << "a pointer was freed that was never allocated";
  }

  // Commands written to the EC command port, in order.
  std::vector<UINT8>
  EcCommands (
    ) const
  {
    std::vector<UINT8>  Out;

    for (UINT32 Index = 0; Index < Sim->RecordLength; Index++) {
      if (Sim->Record[Index].Kind == EcSimCommand) {
        Out.push_back (Sim->Record[Index].Value);
      }
    }

    return Out;
  }

  // The device record as text: "C:DC" command, "K:AD" keyboard, "I:65536" data in, "O:65536" data out.
  std::vector<std::string>
  RecordText (
    ) const
  {
    std::vector<std::string>  Out;
    char                      Text[32];

    for (UINT32 Index = 0; Index < Sim->RecordLength; Index++) {
      const EC_SIM_EVENT  &E = Sim->Record[Index];
      switch (E.Kind) {
        case EcSimCommand: snprintf (Text, sizeof (Text), "C:%02X", E.Value); break;
        case EcSimKbc:     snprintf (Text, sizeof (Text), "K:%02X", E.Value); break;
        case EcSimDataIn:  snprintf (Text, sizeof (Text), "I:%u", E.Count); break;
        default:           snprintf (Text, sizeof (Text), "O:%u", E.Count); break;
      }

      Out.push_back (Text);
    }

    return Out;
  }

  // Printed text since the last Clear, as one string.
  std::string
  Printed (
    ) const
  {
    std::string  Out;

    for (const auto &E : Fake::gState->Log) {
      if (E.Kind == "print") {
        Out += Fake::Narrow (E.Text);
      }
    }

    return Out;
  }

  size_t
  Count (
    const std::string  &Haystack,
    const std::string  &Needle
    ) const
  {
    size_t  N = 0;

    for (size_t At = Haystack.find (Needle); At != std::string::npos; At = Haystack.find (Needle, At + 1)) {
      N++;
    }

    return N;
  }

  std::unique_ptr<EC_SIM>  Sim{ new EC_SIM };
  std::vector<UINT8>       Flash;
};

#endif
