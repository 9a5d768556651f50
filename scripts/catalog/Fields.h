/** @file
  NAME.fields beside NAME.cap in a catalogue: the SMBIOS fields of the
  machines the capsule is for, as `fwupdtool hwids FILE` takes them

    [HwIds]
    Manufacturer=Morvane Test
    ProductName=Morv E2E 7

  so that the catalogue can tell which of the model's hardware IDs the
  capsule names, and show the product it came from.

**/

#ifndef MORVANE_FIELDS_H_
#define MORVANE_FIELDS_H_

#include <map>
#include <string>

const size_t  FIELDS_MAX_BYTES = 4096;

/**
  Read a fields file: a first line `[HwIds]` (comments with '#' or ';' and
  blank lines aside), then `Key=Value` lines, each key one of the eleven
  fields the hardware IDs are made of, once; values at most 128 bytes of
  text (no control characters).

  @param[in]  Text     The whole file.
  @param[out] Values   Key to value (cleared first; empty on refusal).

  @return "" when taken; else why, starting "line N: ".
**/
std::string
ParseFields (
  const std::string                   &Text,
  std::map<std::string, std::string>  &Values
  );

#endif
