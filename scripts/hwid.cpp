/** @file
  The host's check of a capsule's hardware ID against the machine it is
  for: the machine's fields, in the key file `fwupdtool hwids FILE` takes,
  give its fifteen IDs, computed by the very code Morvane compiles
  (capsule/EcHwId.cpp), and the ID must be one of them that names one model
  (EcHwIdNamesModel), as Morvane will require of it on the machine.

    morvane-hwid FIELDS GUID   exit 0: GUID names the model FIELDS describes;
                               exit 1: it does not, or FIELDS is refused (why, on stderr)
    morvane-hwid FIELDS        lists the IDs, those that name no model marked '*'

  FIELDS is read as fwupd reads such a file (GLib's key files): lines end
  at '\n' (a '\r' before it dropped), white space before a line and after
  '=' is dropped, '#' starts a comment line, and \s \t \n \r \\ are
  escapes. Only the group [HwIds] and its eleven keys are taken, each
  once; anything else is refused with its line number rather than
  guessed at.

**/

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <openssl/sha.h>

extern "C" {
#include <Uefi.h>
#include <Library/BaseCryptLib.h>
#include <Library/BaseMemoryLib.h>
}

#include "EcCapsule.h"

//
// What the hardware ID code calls, as the firmware's BaseMemoryLib and
// BaseCryptLib give it.
//
extern "C" {
VOID *
EFIAPI
CopyMem (
  OUT VOID       *Destination,
  IN CONST VOID  *Source,
  IN UINTN       Length
  )
{
  return std::memmove (Destination, Source, Length);
}

VOID *
EFIAPI
ZeroMem (
  OUT VOID  *Buffer,
  IN UINTN  Length
  )
{
  return std::memset (Buffer, 0, Length);
}

BOOLEAN
EFIAPI
CompareGuid (
  IN CONST GUID  *Guid1,
  IN CONST GUID  *Guid2
  )
{
  return std::memcmp (Guid1, Guid2, sizeof (GUID)) == 0;
}

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

UINTN
EFIAPI
Sha1GetContextSize (
  VOID
  )
{
  return sizeof (SHA_CTX);
}

BOOLEAN
EFIAPI
Sha1Init (
  OUT VOID  *Sha1Context
  )
{
  return SHA1_Init (static_cast<SHA_CTX *>(Sha1Context)) == 1;
}

BOOLEAN
EFIAPI
Sha1Update (
  IN OUT VOID    *Sha1Context,
  IN CONST VOID  *Data,
  IN UINTN       DataSize
  )
{
  return SHA1_Update (static_cast<SHA_CTX *>(Sha1Context), Data, DataSize) == 1;
}

BOOLEAN
EFIAPI
Sha1Final (
  IN OUT VOID  *Sha1Context,
  OUT UINT8    *HashValue
  )
{
  return SHA1_Final (HashValue, static_cast<SHA_CTX *>(Sha1Context)) == 1;
}
}

namespace {

// A machine's fields come to a few hundred bytes.
const size_t  MAX_FIELDS_BYTES = 65536;

// The keys of fwupd's key file, in the order of EC_HWID_FIELD.
const char *const  mKeys[EC_HWID_FIELD_COUNT] = {
  "Manufacturer",          "Family",           "ProductName", "ProductSku",
  "BaseboardManufacturer", "BaseboardProduct", "BiosVendor",  "BiosVersion",
  "BiosMajorRelease",      "BiosMinorRelease", "EnclosureKind",
};

int
Refuse (
  const std::string  &Why
  )
{
  std::fprintf (stderr, "%s\n", Why.c_str ());
  return 1;
}

bool
IsSpace (
  char  C
  )
{
  return C == ' ' || C == '\t' || C == '\n' || C == '\v' || C == '\f' || C == '\r';
}

// A value with its escapes undone; false for an escape GLib refuses.
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

// The fields of a key file; false with Why for anything it does not take.
bool
ParseFields (
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
  std::string    Text (MAX_FIELDS_BYTES + 1, '\0');
  if (!File.is_open ()) {
    return Refuse ("cannot be read");
  }

  File.read (&Text[0], Text.size ());
  Text.resize (static_cast<size_t>(File.gcount ()));

  if (Text.size () > MAX_FIELDS_BYTES) {
    return Refuse ("is larger than 64 KiB: not a machine's fields");
  }

  if (!ParseFields (Text, Values, Given, Why)) {
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
