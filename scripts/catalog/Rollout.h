/** @file
  A catalogue's rollout.cfg, read in this one place (the host side only:
  machines never see it), and the names both it and the index use.

    hold  TARGET             nothing of TARGET is offered
    pin   HWID VERSION       only that version of the model is offered
    phase TARGET PERCENT     offered to PERCENT of the machines (1 to 100)

  TARGET is a model's hardware ID (a lower-case GUID) or a capsule's file
  name. Whether the targets are in the catalogue is the catalogue's check
  (Catalog.h); here only the file's form: unknown words, bad values and a
  target given two rules of the same kind are refused with the line.

**/

#ifndef MORVANE_ROLLOUT_H_
#define MORVANE_ROLLOUT_H_

#include <cstdint>
#include <string>
#include <vector>

// rollout.cfg is a short list written by hand: 64 KiB, 256-character lines.
const size_t  ROLLOUT_MAX_BYTES = 65536;
const size_t  ROLLOUT_MAX_LINE  = 256;

enum class RolloutKind { Hold, Pin, Phase };

struct RolloutRule {
  RolloutKind    Kind;
  std::string    Target;       ///< a lower-case GUID or a capsule's file name
  bool           ModelTarget;  ///< Target is a hardware ID
  std::uint32_t  Version;      ///< pin only
  unsigned       Percent;      ///< phase only, 1 to 100
  unsigned       Line;         ///< 1-based, for refusals
};

/**
  A lower-case GUID without braces, as the index writes a hardware ID.
**/
bool
IsHwidText (
  const std::string  &Text
  );

/**
  A capsule's file name as the index and a FAT volume take it: letters,
  digits, '.', '_', '-', 1 to 64, not starting with '.' or '-', not ending
  with '.'.
**/
bool
IsCapsuleName (
  const std::string  &Text
  );

/**
  Read rollout.cfg.

  @param[in]  Text    The whole file.
  @param[out] Rules   The rules, in the file's order (cleared first).

  @return "" when taken; else why, starting "rollout.cfg line N: " (or
          "rollout.cfg: " for the file as a whole); Rules is then empty.
**/
std::string
ParseRollout (
  const std::string         &Text,
  std::vector<RolloutRule>  &Rules
  );

#endif
