/** @file
  The host's check of a capsule's hardware ID against the machine it is
  for: the machine's fields, in the key file `fwupdtool hwids FILE` takes,
  give its fifteen IDs, computed by the very code Morvane compiles
  (capsule/EcHwId.cpp), and the ID must be one of them that names one model
  (EcHwIdNamesModel), as Morvane will require of it on the machine.

    morvane-hwid FIELDS GUID   exit 0: GUID names the model FIELDS describes;
                               exit 1: it does not, or FIELDS is refused (why, on stderr)
    morvane-hwid FIELDS        lists the IDs, those that name no model marked '*'

  FIELDS is read by HwIdFields.cpp, as fwupd reads it.

**/

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <Uefi.h>
#include <Library/BaseCryptLib.h>
#include <Library/BaseMemoryLib.h>
}

#include "EcCapsule.h"
#include "HwIdFields.h"

namespace {

int
Refuse (
  const std::string  &Why
  )
{
  std::fprintf (stderr, "%s\n", Why.c_str ());
  return 1;
}

std::string
GuidText (
  const EFI_GUID  &G
  )
{
  char  Text[40];

  std::snprintf (Text, sizeof (Text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                 G.Data1, G.Data2, G.Data3, G.Data4[0], G.Data4[1], G.Data4[2], G.Data4[3],
                 G.Data4[4], G.Data4[5], G.Data4[6], G.Data4[7]);
  return Text;
}

}  // namespace

int
main (
  int   Argc,
  char  **Argv
  )
{
  std::vector<std::string>  Values;
  std::vector<bool>         Given;
  std::string               Why;
  EC_HWID_FIELDS            Fields = {};
  EC_HWIDS                  Ids;

  if ((Argc != 2) && (Argc != 3)) {
    return Refuse ("usage: morvane-hwid FIELDS [GUID]");
  }

  std::ifstream  File (Argv[1], std::ios::binary);
  std::string    Text (HWID_FIELDS_MAX_BYTES + 1, '\0');
  if (!File.is_open ()) {
    return Refuse ("cannot be read");
  }

  File.read (&Text[0], Text.size ());
  Text.resize (static_cast<size_t>(File.gcount ()));

  if (!HwIdFieldsParse (Text, Values, Given, Why)) {
    return Refuse (Why);
  }

  for (size_t Field = 0; Field < EC_HWID_FIELD_COUNT; Field++) {
    if (Given[Field]) {
      Fields.Field[Field].Text   = Values[Field].data ();
      Fields.Field[Field].Length = Values[Field].size ();
    }
  }

  if (EcHwIdsCompute (&Fields, &Ids) != EFI_SUCCESS) {
    return Refuse ("its hardware IDs could not be computed");
  }

  std::string  Naming;
  for (size_t Index = 0; Index < EC_HWID_COUNT; Index++) {
    if (EcHwIdNamesModel (&Ids, Index)) {
      Naming += std::string (Naming.empty () ? "HardwareID-" : ", -") + std::to_string (Index);
    }

    if (Argc == 2) {
      std::printf ("HardwareID-%zu:%s%s\n", Index, (Index < 10) ? "  " : " ",
                   !Ids.Present[Index] ? "(none: a field is missing)" :
                   ("{" + GuidText (Ids.Id[Index]) + "}" + (EcHwIdNamesModel (&Ids, Index) ? "" : " *")).c_str ());
    }
  }

  if (Argc == 2) {
    return 0;
  }

  std::string  Guid (Argv[2]);
  if ((Guid.size () == 38) && (Guid.front () == '{') && (Guid.back () == '}')) {
    Guid = Guid.substr (1, 36);
  }

  std::transform (Guid.begin (), Guid.end (), Guid.begin (), [](unsigned char C) { return static_cast<char>(std::tolower (C)); });
  for (size_t Index = 0; Index < EC_HWID_COUNT; Index++) {
    if (!Ids.Present[Index] || (GuidText (Ids.Id[Index]) != Guid)) {
      continue;
    }

    if (EcHwIdsMatch (&Ids, &Ids.Id[Index], nullptr)) {
      return 0;
    }

    return Refuse (
             "HWID {" + Guid + "} is HardwareID-" + std::to_string (Index) + " of these fields, which does not name one model " +
             "(a family's or the maker's ID, or one that a blank or placeholder product name or SKU makes the same " +
             "for other models): " + (Naming.empty () ? std::string ("none of their IDs does") : "take one of " + Naming)
             );
  }

  return Refuse ("HWID {" + Guid + "} is none of the hardware IDs of these fields (fwupdtool hwids FILE lists them)");
}
