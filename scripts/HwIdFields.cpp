/** @file
  The fields of a machine in the key file `fwupdtool hwids FILE` takes
  (see HwIdFields.h). The file comes from whoever runs make capsule or
  fills a catalogue: it is bounded, and read only through its own length.

**/

#include "HwIdFields.h"

#include <algorithm>
#include <iterator>

extern "C" {
#include <Uefi.h>
}

#include "EcCapsule.h"

// The keys of fwupd's key file, in the order of EC_HWID_FIELD.
STATIC const char *const  mKeys[EC_HWID_FIELD_COUNT] = {
  "Manufacturer",          "Family",           "ProductName", "ProductSku",
  "BaseboardManufacturer", "BaseboardProduct", "BiosVendor",  "BiosVersion",
  "BiosMajorRelease",      "BiosMinorRelease", "EnclosureKind",
};

STATIC
bool
IsSpace (
  char  C
  )
{
  return C == ' ' || C == '\t' || C == '\n' || C == '\v' || C == '\f' || C == '\r';
}

// A value with its escapes undone; false for an escape GLib refuses.
STATIC
bool
Unescape (
  const std::string  &Raw,
  std::string        &Value
  )
{
  Value.clear ();
  for (size_t At = 0; At < Raw.size (); At++) {
    if (Raw[At] != '\\') {
      Value += Raw[At];
      continue;
    }

    if (++At == Raw.size ()) {
      return false;
    }

    switch (Raw[At]) {
      case 's':  Value += ' ';  break;
      case 't':  Value += '\t'; break;
      case 'n':  Value += '\n'; break;
      case 'r':  Value += '\r'; break;
      case '\\': Value += '\\'; break;
      default:   return false;
    }
  }

  return true;
}

bool
HwIdFieldsParse (
  const std::string         &Text,
  std::vector<std::string>  &Values,
  std::vector<bool>         &Given,
  std::string               &Why
  )
{
  bool    InGroup = false;
  size_t  Number  = 0;

  Values.assign (EC_HWID_FIELD_COUNT, "");
  Given.assign (EC_HWID_FIELD_COUNT, false);
  if (Text.size () > HWID_FIELDS_MAX_BYTES) {
    Why = "is larger than 64 KiB: not a machine's fields";
    return false;
  }

  for (size_t Start = 0; Start < Text.size (); ) {
    size_t       End  = std::min (Text.find ('\n', Start), Text.size ());
    std::string  Line = Text.substr (Start, End - Start);

    Start = End + 1;
    Number++;
    Why = "line " + std::to_string (Number) + " ";
    if (!Line.empty () && (Line.back () == '\r')) {
      Line.pop_back ();
    }

    Line.erase (0, std::min (Line.size (), static_cast<size_t>(std::find_if_not (Line.begin (), Line.end (), IsSpace) - Line.begin ())));
    if (Line.empty () || (Line[0] == '#')) {
      continue;
    }

    if (Line[0] == '[') {
      if (Line != "[HwIds]") {
        Why += "is a group other than [HwIds]";
        return false;
      }

      if (InGroup) {
        Why += "gives [HwIds] again";
        return false;
      }

      InGroup = true;
      continue;
    }

    size_t  Equal = Line.find ('=');
    if (!InGroup || (Equal == std::string::npos)) {
      Why += "is not KEY=VALUE in the group [HwIds]";
      return false;
    }

    std::string  Key = Line.substr (0, Equal);
    while (!Key.empty () && IsSpace (Key.back ())) {
      Key.pop_back ();
    }

    const char *const  *Found = std::find_if (std::begin (mKeys), std::end (mKeys), [&](const char *K) { return Key == K; });
    if (Found == std::end (mKeys)) {
      Why += "names no field fwupd takes (Manufacturer, Family, ProductName, ProductSku, ...)";
      return false;
    }

    size_t  Field = Found - std::begin (mKeys);
    if (Given[Field]) {
      Why += "gives " + Key + " again";
      return false;
    }

    std::string  Raw = Line.substr (Equal + 1);
    Raw.erase (0, std::min (Raw.size (), static_cast<size_t>(std::find_if_not (Raw.begin (), Raw.end (), IsSpace) - Raw.begin ())));
    if (!Unescape (Raw, Values[Field]) || (Values[Field].find ('\0') != std::string::npos)) {
      Why += "holds an escape other than \\s \\t \\n \\r \\\\, or a zero byte";
      return false;
    }

    Given[Field] = true;
  }

  if (!InGroup) {
    Why = "has no group [HwIds]";
    return false;
  }

  return true;
}

