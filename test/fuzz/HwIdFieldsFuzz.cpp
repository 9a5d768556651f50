/** @file
  The machine's fields as make capsule's FIELDS file and a catalogue's
  NAME.fields give them, in the key file fwupdtool takes: whatever the
  file holds, it is taken or refused with its reason, and what is taken
  holds one text per field, none with a zero byte.

**/

#include "Fuzz.h"

#include "EcCapsule.h"
#include "HwIdFields.h"

extern "C" int
LLVMFuzzerTestOneInput (
  const uint8_t  *Data,
  size_t         Size
  )
{
  std::vector<std::string>  Values;
  std::vector<bool>         Given;
  std::string               Why;

  const std::string  Text (reinterpret_cast<const char *>(Data), Size);
  if (!HwIdFieldsParse (Text, Values, Given, Why)) {
    FUZZ_CHECK (!Why.empty ());
    return 0;
  }

  FUZZ_CHECK (Values.size () == EC_HWID_FIELD_COUNT && Given.size () == EC_HWID_FIELD_COUNT);
  for (size_t Field = 0; Field < EC_HWID_FIELD_COUNT; Field++) {
    FUZZ_CHECK (Values[Field].find ('\0') == std::string::npos);
    FUZZ_CHECK (Given[Field] || Values[Field].empty ());
  }

  return 0;
}
