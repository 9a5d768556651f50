/** @file
  The device path of a network-booted Morvane, and the URL in it: the
  DHCP server names the boot file, the firmware puts it in a URI node.
  The input is a device path; one whose nodes run past its end is cut
  before that node and ended, as firmware always ends its paths. Where a
  depot is found, it is connected to (the Host header taken from it) and a
  file name is put after it: the boot file's own name.

**/

#include "Fuzz.h"

#include <vector>

extern "C" {
#include <Protocol/DevicePath.h>
}

#include "DepotInternal.h"
#include "NetBoot.h"

namespace {

//
// The input made a device path with an end, and its first URI node's text
// as the product would take it (the first node before an end or a node too
// short to walk on).
//
std::vector<UINT8>
WholePath (
  const uint8_t  *Data,
  size_t         Size,
  std::string    &Uri
  )
{
  std::vector<UINT8>  Path;
  size_t              At;
  size_t              Length;
  bool                Walking = true;

  Uri.clear ();
  for (At = 0; At + 4 <= Size; At += Length) {
    Length = Data[At + 2] | (Data[At + 3] << 8);
    if ((Data[At] == END_DEVICE_PATH_TYPE) || (Length < 4)) {
      // The walk stops here; the rest is never read.
      Path.assign (Data, Data + At + 4);
      return Path;
    }

    if (At + Length > Size) {
      break;
    }

    if (Walking && (Data[At] == MESSAGING_DEVICE_PATH) && (Data[At + 1] == MSG_URI_DP)) {
      Uri.assign (reinterpret_cast<const char *>(Data + At + 4), Length - 4);
      Walking = false;
    }
  }

  Path.assign (Data, Data + At);
  Path.insert (Path.end (), { END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0 });
  return Path;
}

std::u16string
Wide (
  const std::string  &Text
  )
{
  std::u16string  Out;

  for (char C : Text) {
    Out.push_back (static_cast<UINT8>(C));
  }

  return Out;
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput (
  const uint8_t  *Data,
  size_t         Size
  )
{
  std::string  Uri;
  CHAR16       Base[DEPOT_URL_CHARS + 1];
  CHAR16       Url[DEPOT_URL_CHARS + DEPOT_NAME_CHARS + 1];

  FuzzReset ();
  Fake::gState->HasLoadedImage = TRUE;
  auto  Path = WholePath (Data, Size, Uri);
  Fake::gState->DevicePath.assign (Path.begin (), Path.end ());

  // The URL is text, to its first NUL if the node holds one. The boot
  // file's URL itself is never a depot unless it names a folder.
  Uri = Uri.substr (0, Uri.find ('\0'));
  std::u16string  Whole = Wide (Uri);
  if (DepotUrlIsValid (reinterpret_cast<const CHAR16 *>(Whole.c_str ()))) {
    FUZZ_CHECK (Whole.rfind (u"http://", 0) == 0 && Whole.back () == u'/');
  }

  if (!FindBootDepot (Fake::ImageHandle (), Base, ARRAY_SIZE (Base))) {
    return 0;
  }

  // The depot is the boot file's folder.
  std::u16string  Depot = FuzzText (Base, ARRAY_SIZE (Base));
  size_t          Slash = Uri.rfind ('/');
  FUZZ_CHECK (Slash != std::string::npos);
  FUZZ_CHECK (Depot == Wide (Uri.substr (0, Slash + 1)));
  FUZZ_CHECK (Depot.size () <= DEPOT_URL_CHARS && Depot.rfind (u"http://", 0) == 0);

  Fake::gState->Net.HasAddress = TRUE;
  FUZZ_CHECK (DepotConnect (Base) == EFI_SUCCESS);
  std::u16string  Host = Depot.substr (7, Depot.find (u'/', 7) - 7);
  FUZZ_CHECK (Wide (mDepot.Host) == Host);

  std::string  Name = Uri.substr (Slash + 1);
  if (DepotFileUrl (Name.c_str (), Url)) {
    FUZZ_CHECK (!Name.empty () && Name.size () <= DEPOT_NAME_CHARS);
    FUZZ_CHECK (FuzzText (Url, ARRAY_SIZE (Url)) == Depot + Wide (Name));
  }

  DepotClose ();
  FUZZ_CHECK (Fake::gState->Live.empty () && Fake::gState->BadFrees == 0);
  return 0;
}
