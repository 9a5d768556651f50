/** @file
  A catalogue's NAME.fields as anyone may have written it: taken whole or
  refused; what is taken holds known keys only, with bounded values.

**/

#include "Fuzz.h"

#include "Fields.h"

extern "C" int
LLVMFuzzerTestOneInput (
  const uint8_t  *Data,
  size_t         Size
  )
{
  std::map<std::string, std::string>  Values;
  std::string                         Said = ParseFields (std::string (reinterpret_cast<const char *>(Data), Size), Values);

  FUZZ_CHECK (Said.empty () || Values.empty ());
  FUZZ_CHECK (Values.size () <= 11);
  for (const auto &Value : Values) {
    FUZZ_CHECK (Value.second.size () <= 128);
    FUZZ_CHECK (Value.second.find_first_of ("\r\n") == std::string::npos);
  }

  return 0;
}
