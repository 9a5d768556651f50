/** @file
  rollout.cfg: its one parser (see Rollout.h).

**/

#include "Rollout.h"

#include <sstream>

namespace {

bool
IsHex (
  char  C,
  bool  LowerOnly
  )
{
  return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'f') || (!LowerOnly && C >= 'A' && C <= 'F');
}

// "0x" and 1 to 8 hex digits, as make capsule's VERSION.
bool
ParseVersion (
  const std::string  &Text,
  std::uint32_t      &Version
  )
{
  if ((Text.size () < 3) || (Text.size () > 10) || (Text[0] != '0') || (Text[1] != 'x' && Text[1] != 'X')) {
    return false;
  }

  Version = 0;
  for (size_t At = 2; At < Text.size (); At++) {
    if (!IsHex (Text[At], false)) {
      return false;
    }

    char  C = Text[At];
    Version = (Version << 4) | static_cast<std::uint32_t>(C <= '9' ? C - '0' : (C | 0x20) - 'a' + 10);
  }

  return true;
}

// 1 to 100, decimal, no leading zero.
bool
ParsePercent (
  const std::string  &Text,
  unsigned           &Percent
  )
{
  if (Text.empty () || (Text.size () > 3) || (Text[0] == '0')) {
    return false;
  }

  Percent = 0;
  for (char C : Text) {
    if ((C < '0') || (C > '9')) {
      return false;
    }

    Percent = Percent * 10 + static_cast<unsigned>(C - '0');
  }

  return Percent >= 1 && Percent <= 100;
}

std::vector<std::string>
Words (
  const std::string  &Line
  )
{
  std::vector<std::string>  Out;
  std::string               Word;

  for (char C : Line + " ") {
    if ((C == ' ') || (C == '\t')) {
      if (!Word.empty ()) {
        Out.push_back (Word);
      }

      Word.clear ();
    } else {
      Word += C;
    }
  }

  return Out;
}

std::string
At (
  unsigned           Line,
  const std::string  &Why
  )
{
  return "rollout.cfg line " + std::to_string (Line) + ": " + Why;
}

// What a line says about its target, or why it says nothing sound.
std::string
ParseRule (
  const std::vector<std::string>  &Word,
  unsigned                        Line,
  RolloutRule                     &Rule
  )
{
  static const char  *Usage = " (hold TARGET, pin HWID VERSION, phase TARGET PERCENT)";

  Rule      = RolloutRule { RolloutKind::Hold, "", false, 0, 100, Line };
  if (Word[0] == "hold" && Word.size () == 2) {
    Rule.Kind = RolloutKind::Hold;
  } else if (Word[0] == "pin" && Word.size () == 3) {
    Rule.Kind = RolloutKind::Pin;
  } else if (Word[0] == "phase" && Word.size () == 3) {
    Rule.Kind = RolloutKind::Phase;
  } else if (Word[0] == "hold" || Word[0] == "pin" || Word[0] == "phase") {
    return At (Line, "'" + Word[0] + "' takes " + (Word[0] == "hold" ? "one value" : "two values") + Usage);
  } else {
    return At (Line, "unknown rule '" + Word[0].substr (0, 32) + "'" + Usage);
  }

  Rule.Target      = Word[1];
  Rule.ModelTarget = IsHwidText (Word[1]);
  if (!Rule.ModelTarget && ((Rule.Kind == RolloutKind::Pin) || !IsCapsuleName (Word[1]))) {
    return At (Line, std::string (Rule.Kind == RolloutKind::Pin ? "pin takes a hardware ID" : "the target is neither a hardware ID")
               + " (a lower-case GUID without braces)" + (Rule.Kind == RolloutKind::Pin ? "" : " nor a capsule's file name"));
  }

  if ((Rule.Kind == RolloutKind::Pin) && !ParseVersion (Word[2], Rule.Version)) {
    return At (Line, "the version is not 0x and 1 to 8 hex digits");
  }

  if ((Rule.Kind == RolloutKind::Phase) && !ParsePercent (Word[2], Rule.Percent)) {
    return At (Line, "the share is not a whole percent from 1 to 100");
  }

  return "";
}

}  // namespace

bool
IsHwidText (
  const std::string  &Text
  )
{
  if (Text.size () != 36) {
    return false;
  }

  for (size_t At = 0; At < Text.size (); At++) {
    bool  Dash = (At == 8) || (At == 13) || (At == 18) || (At == 23);
    if (Dash ? (Text[At] != '-') : !IsHex (Text[At], true)) {
      return false;
    }
  }

  return true;
}

bool
IsCapsuleName (
  const std::string  &Text
  )
{
  if (Text.empty () || (Text.size () > 64) || (Text[0] == '.') || (Text[0] == '-') || (Text.back () == '.')) {
    return false;
  }

  for (char C : Text) {
    if (!((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '.' || C == '_' || C == '-')) {
      return false;
    }
  }

  return true;
}

std::string
ParseRollout (
  const std::string         &Text,
  std::vector<RolloutRule>  &Rules
  )
{
  std::string  Error;

  Rules.clear ();
  if (Text.size () > ROLLOUT_MAX_BYTES) {
    return "rollout.cfg: over 64 KiB";
  }

  std::istringstream  In (Text);
  std::string         Line;
  unsigned            Number = 0;

  while (Error.empty () && std::getline (In, Line)) {
    Number++;
    if (!Line.empty () && (Line.back () == '\r')) {
      Line.pop_back ();
    }

    if (Line.size () > ROLLOUT_MAX_LINE) {
      Error = At (Number, "longer than 256 characters");
      break;
    }

    for (char C : Line) {
      if ((static_cast<unsigned char>(C) > 0x7E) || ((C < 0x20) && (C != '\t'))) {
        Error = At (Number, "not printable ASCII");
      }
    }

    std::vector<std::string>  Word = Words (Line);
    if (!Error.empty () || Word.empty () || (Word[0][0] == '#')) {
      continue;
    }

    RolloutRule  Rule;
    Error = ParseRule (Word, Number, Rule);
    // One rule of each kind per target: hold and phase both say how much
    // of the target is offered, so they count as one kind here.
    for (const RolloutRule &Earlier : Rules) {
      bool  SameKind = (Earlier.Kind == RolloutKind::Pin) == (Rule.Kind == RolloutKind::Pin);
      if (Error.empty () && SameKind && (Earlier.Target == Rule.Target)) {
        Error = At (Number, "a second rule for " + Rule.Target + " (line " + std::to_string (Earlier.Line) + ")");
      }
    }

    if (Error.empty ()) {
      Rules.push_back (Rule);
    }
  }

  if (!Error.empty ()) {
    Rules.clear ();
  }

  return Error;
}
