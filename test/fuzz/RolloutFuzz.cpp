/** @file
  rollout.cfg as anyone may have written it: taken whole or refused with
  its line; what is taken holds only sound rules, one of a kind per target.

**/

#include "Fuzz.h"

#include "Rollout.h"

extern "C" int
LLVMFuzzerTestOneInput (
  const uint8_t  *Data,
  size_t         Size
  )
{
  std::vector<RolloutRule>  Rules;
  std::string               Said = ParseRollout (std::string (reinterpret_cast<const char *>(Data), Size), Rules);

  FUZZ_CHECK (Said.empty () || (Said.rfind ("rollout.cfg", 0) == 0 && Rules.empty ()));
  for (const RolloutRule &Rule : Rules) {
    FUZZ_CHECK (Rule.ModelTarget ? IsHwidText (Rule.Target) : IsCapsuleName (Rule.Target));
    FUZZ_CHECK (Rule.Kind != RolloutKind::Pin || Rule.ModelTarget);
    FUZZ_CHECK (Rule.Percent >= 1 && Rule.Percent <= 100);
    for (const RolloutRule &Other : Rules) {
      bool  SameKind = (Other.Kind == RolloutKind::Pin) == (Rule.Kind == RolloutKind::Pin);
      FUZZ_CHECK (&Other == &Rule || !SameKind || Other.Target != Rule.Target);
    }
  }

  return 0;
}
