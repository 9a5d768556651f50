/** @file
  The fields of a machine in the key file `fwupdtool hwids FILE` takes: its
  one reader, for make capsule's FIELDS (hwid.cpp) and a catalogue's
  NAME.fields (plan.cpp).

**/

#ifndef MORVANE_HWID_FIELDS_H_
#define MORVANE_HWID_FIELDS_H_

#include <string>
#include <vector>

//
// A machine's fields come to a few hundred bytes.
//
#define HWID_FIELDS_MAX_BYTES  65536

/**
  Read a key file as fwupd reads it (GLib's key files): lines end at '\n'
  (a '\r' before it dropped), white space before a line, around the key
  and after '=' is dropped, '#' starts a comment line, and \s \t \n \r \\
  are escapes. Only the group [HwIds] and its eleven keys are taken, each
  once; anything else, and a file over HWID_FIELDS_MAX_BYTES, is refused
  with its line number rather than guessed at.

  @param[in]  Text     The file; reading HWID_FIELDS_MAX_BYTES + 1 bytes of it
                       is enough to have it refused when it is longer.
  @param[out] Values   One per EC_HWID_FIELD: its text.
  @param[out] Given    One per EC_HWID_FIELD: whether the file gives it.
  @param[out] Why      On false, why, as a phrase ("line 3 gives ...").

  @retval true    The file holds fields only.
**/
bool
HwIdFieldsParse (
  const std::string         &Text,
  std::vector<std::string>  &Values,
  std::vector<bool>         &Given,
  std::string               &Why
  );

#endif
