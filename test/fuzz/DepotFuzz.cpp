/** @file
  The depot's answer as a server may send it. The input's first byte
  says how the exchange goes (bit 0: a PUT, else a GET; bits 1-2: the
  GET buffer's size; bits 3-5: the most body bytes per Response call;
  bit 6: a body that ends short ends with success and no bytes rather
  than a closed connection; bit 7: it stops coming instead). The rest is
  the answer as the server writes it: a status line, header lines, an
  empty line and the body, which the fake card hands over as HttpDxe
  would (status number after the version, a header per "Name: value"
  line, the body in fragments). A GET succeeds only with all of a body
  as long as announced; whatever happened, nothing is left open and the
  next exchange works.

**/

#include "Fuzz.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "Depot.h"

#define BASE  u"http://10.0.2.2:8080/morvane/"

namespace {

const size_t  mBufferSizes[] = { 0, 16, 512, 4097 };
const size_t  mFragments[]   = { 1, 2, 3, 7, 64, 1000, 4096, 65536 };

//
// One line of the answer's head, without its line end; At moves past it.
//
std::string
NextLine (
  const std::string  &Text,
  size_t             &At
  )
{
  size_t       End  = Text.find ("\r\n", At);
  std::string  Line = Text.substr (At, End == std::string::npos ? std::string::npos : End - At);

  At = (End == std::string::npos) ? Text.size () : End + 2;
  return Line;
}

//
// The answer as HttpDxe hands it over: the number after "HTTP/1.1 " (its
// version is not checked), each header at its first ':' with the blanks
// before its value dropped, and the body after the empty line. A head
// that never ends is all head; a line without ':' is dropped.
//
void
ScriptAnswer (
  const uint8_t   *Data,
  size_t          Size,
  Fake::Network   &N
  )
{
  std::string  Text (reinterpret_cast<const char *>(Data), Size);
  size_t       Head = Text.find ("\r\n\r\n");
  size_t       At   = 0;
  std::string  Status;

  N.Scripted     = TRUE;
  N.ScriptedCode = 0;
  N.ScriptedBody.assign (Head == std::string::npos ? Text.end () : Text.begin () + Head + 4, Text.end ());
  Text   = Text.substr (0, Head == std::string::npos ? Text.size () : Head + 2);
  Status = NextLine (Text, At);
  for (size_t Digit = Status.find_first_not_of (" 0", 9); Digit < Status.size () && Status[Digit] >= '0' &&
       Status[Digit] <= '9' && N.ScriptedCode < 100000; Digit++) {
    N.ScriptedCode = N.ScriptedCode * 10 + (Status[Digit] - '0');
  }

  while (At < Text.size ()) {
    std::string  Line  = NextLine (Text, At);
    size_t       Colon = Line.find (':');
    if (Colon != std::string::npos) {
      size_t       Value = Line.find_first_not_of (" \t", Colon + 1);
      std::string  Name  = Line.substr (0, Colon);
      std::string  Said  = (Value == std::string::npos) ? "" : Line.substr (Value);

      // HttpDxe hands over C strings.
      N.ScriptedHeaders.push_back ({ Name.substr (0, Name.find ('\0')), Said.substr (0, Said.find ('\0')) });
    }
  }
}

//
// Whether the answer announced Length: some Content-Length, of any case,
// whose value reads as that number.
//
bool
Announced (
  const Fake::Network  &N,
  UINTN                Length
  )
{
  for (const auto &Header : N.ScriptedHeaders) {
    if ((strcasecmp (Header.first.c_str (), "Content-Length") == 0) &&
        (Header.second.find_first_not_of (" \t0123456789") == std::string::npos) &&
        (std::strtoull (Header.second.c_str (), nullptr, 10) == Length))
    {
      return true;
    }
  }

  return false;
}

void
Exchange (
  const uint8_t  *Data,
  size_t         Size
  )
{
  auto     &N      = Fake::gState->Net;
  uint8_t  How     = Data[0];
  UINTN    Got     = 1;

  N.HasAddress = TRUE;
  FUZZ_CHECK (DepotConnect (reinterpret_cast<const CHAR16 *>(BASE)) == EFI_SUCCESS);
  ScriptAnswer (Data + 1, Size - 1, N);
  N.Fragment = mFragments[(How >> 3) & 7];
  N.EarlyEnd = (How & 0x40) ? EFI_SUCCESS : EFI_CONNECTION_FIN;
  if (How & 0x80) {
    N.BodyHangsAt = N.ScriptedBody.size ();
  }

  bool  TwoHundred = (N.ScriptedCode >= 200) && (N.ScriptedCode <= 206);
  if (How & 1) {
    const char  Log[] = "a line\r\n";
    EFI_STATUS  Status = DepotPut ("run.log", Log, sizeof (Log) - 1);
    FUZZ_CHECK (EFI_ERROR (Status) || TwoHundred);
  } else {
    std::vector<UINT8>  Buffer (mBufferSizes[(How >> 1) & 3]);
    EFI_STATUS          Status = DepotGet ("MORVANE.CFG", Buffer.data (), Buffer.size (), &Got);
    if (EFI_ERROR (Status)) {
      FUZZ_CHECK (Got == 0);
    } else {
      FUZZ_CHECK (TwoHundred && Announced (N, Got));
      FUZZ_CHECK (Got <= Buffer.size () && Got <= N.ScriptedBody.size ());
      FUZZ_CHECK (std::equal (Buffer.begin (), Buffer.begin () + Got, N.ScriptedBody.begin ()));
    }
  }

  // The server mends: the same child serves the next exchange.
  N.Scripted    = FALSE;
  N.BodyHangsAt = SIZE_MAX;
  N.Files["/morvane/MORVANE.CFG"] = { 'o', 'k' };
  std::vector<UINT8>  Again (16);
  FUZZ_CHECK (DepotGet ("MORVANE.CFG", Again.data (), Again.size (), &Got) == EFI_SUCCESS);
  FUZZ_CHECK (Got == 2 && Again[0] == 'o' && Again[1] == 'k');

  DepotClose ();
  FUZZ_CHECK (N.Children == 0);
  FUZZ_CHECK (N.Events.empty ());
}

}  // namespace

extern "C" int
LLVMFuzzerTestOneInput (
  const uint8_t  *Data,
  size_t         Size
  )
{
  if (Size == 0) {
    return 0;
  }

  FuzzReset ();
  try {
    Exchange (Data, Size);
  } catch (const Fake::BudgetSpent &E) {
    std::fprintf (stderr, "%s\n", E.what ());
    FUZZ_CHECK (!"an exchange that does not end");
  }

  FUZZ_CHECK (Fake::gState->Live.empty () && Fake::gState->BadFrees == 0);
  return 0;
}
