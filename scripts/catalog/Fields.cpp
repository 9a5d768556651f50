/** @file
  NAME.fields: its one parser (see Fields.h).

**/

#include "Fields.h"

#include <sstream>

namespace {

const char  *mKeys[] = {
  "Manufacturer", "Family", "ProductName", "ProductSku", "BaseboardManufacturer", "BaseboardProduct",
  "BiosVendor", "BiosVersion", "BiosMajorRelease", "BiosMinorRelease", "EnclosureKind"
};

bool
KnownKey (
  const std::string  &Key
  )
{
  for (const char *Known : mKeys) {
    if (Key == Known) {
      return true;
    }
  }

  return false;
}

}  // namespace

std::string
ParseFields (
  const std::string                   &Text,
  std::map<std::string, std::string>  &Values
  )
{
  std::istringstream  In (Text);
  std::string         Line;
  std::string         Error;
  unsigned            Number = 0;
  bool                Header = false;

  Values.clear ();
  if (Text.size () > FIELDS_MAX_BYTES) {
    return "over 4 KiB";
  }

  while (Error.empty () && std::getline (In, Line)) {
    std::string  At = "line " + std::to_string (++Number) + ": ";

    if (!Line.empty () && (Line.back () == '\r')) {
      Line.pop_back ();
    }

    for (char C : Line) {
      if ((static_cast<unsigned char>(C) < 0x20) || (C == 0x7F)) {
        Error = At + "a control character";
      }
    }

    size_t  Equals = Line.find ('=');
    if (!Error.empty () || Line.empty () || (Line[0] == '#') || (Line[0] == ';')) {
      continue;
    } else if (!Header) {
      Header = (Line == "[HwIds]");
      Error  = Header ? "" : At + "the file must start with [HwIds]";
    } else if ((Equals == std::string::npos) || !KnownKey (Line.substr (0, Equals))) {
      Error = At + "not Key=Value with one of the hardware ID fields (Manufacturer, ProductName, ...)";
    } else if (Values.count (Line.substr (0, Equals)) != 0) {
      Error = At + Line.substr (0, Equals) + " given twice";
    } else if (Line.size () - Equals - 1 > 128) {
      Error = At + "a value over 128 bytes";
    } else {
      Values[Line.substr (0, Equals)] = Line.substr (Equals + 1);
    }
  }

  if (Error.empty () && !Header) {
    Error = "no [HwIds] line";
  }

  if (!Error.empty ()) {
    Values.clear ();
  }

  return Error;
}
