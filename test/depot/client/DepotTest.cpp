/** @file
  The depot against the fake card and web server: URL checks, bring-up
  and the policy put back, round trips, and every fault ending in a
  failure within bounded virtual time, with nothing left open.

**/

#include <algorithm>
#include <functional>

#include "HostTest.h"

#include "Depot.h"

namespace {

#define BASE    u"http://10.0.2.2:8080/results/"
#define SECOND  1000000ULL

class DepotTest : public HostTest {
protected:
  Fake::Network  &Net = Fake::gState->Net;

  void
  TearDown (
    ) override
  {
    DepotClose ();
    EXPECT_EQ (Net.Children, 0) << "an HTTP child was left";
    EXPECT_TRUE (Net.Events.empty ()) << "an event was left open";
    EXPECT_TRUE (Fake::gState->Live.empty ()) << "pool memory was left";
    HostTest::TearDown ();
  }

  static const CHAR16 *
  U (
    const char16_t  *Text
    )
  {
    return reinterpret_cast<const CHAR16 *>(Text);
  }

  std::string
  Mac (
    )
  {
    CHAR16       Text[DEPOT_MAC_CHARS];
    std::string  Out;

    DepotMacText (Text, DEPOT_MAC_CHARS);
    for (CHAR16 *C = Text; *C != 0; C++) {
      Out.push_back (static_cast<char>(*C));
    }

    return Out;
  }

  static std::vector<UINT8>
  Pattern (
    size_t  Size
    )
  {
    std::vector<UINT8>  Out (Size);

    for (size_t Index = 0; Index < Size; Index++) {
      Out[Index] = static_cast<UINT8>(Index * 7 + Index / 251);
    }

    return Out;
  }
};

TEST_F (DepotTest, UrlCheck) {
  struct Case {
    const char16_t  *Url;
    BOOLEAN         Valid;
  };
  static const Case  Cases[] = {
    { BASE,                          TRUE  },
    { u"http://depot/",              TRUE  },
    { u"http://a.b-c:1/x/y/",        TRUE  },
    { u"http://h:65535/",            TRUE  },
    { u"",                           FALSE },
    { u"https://h/",                 FALSE },
    { u"HTTP://h/",                  FALSE },
    { u"http://h",                   FALSE },
    { u"http:///x/",                 FALSE },
    { u"http://h/x",                 FALSE },
    { u"http://h:/x/",               FALSE },
    { u"http://h:0/",                FALSE },
    { u"http://h:65536/",            FALSE },
    { u"http://h:123456/",           FALSE },
    { u"http://h x/",                FALSE },
    { u"http://h/a b/",              FALSE },
    { u"http://h/x?y=/",             FALSE },
    { u"http://h/#/",                FALSE },
    { u"http://u@h/",                FALSE },
    { u"http://h\\x/",               FALSE },
    { u"http://h_x/",                FALSE },
    { u"http://h/\u00e9/",           FALSE },
    { u"http://h/\x7f/",             FALSE },
  };

  for (const Case &C : Cases) {
    EXPECT_EQ (DepotUrlIsValid (U (C.Url)), C.Valid) << Fake::Narrow (C.Url);
  }

  EXPECT_FALSE (DepotUrlIsValid (nullptr));

  // The length bound: 200 characters pass, 201 do not.
  std::u16string  Long = u"http://h/" + std::u16string (190, u'a') + u"/";
  EXPECT_TRUE (DepotUrlIsValid (U (Long.c_str ())));
  Long.insert (9, u"a");
  EXPECT_FALSE (DepotUrlIsValid (U (Long.c_str ())));
  EXPECT_EQ (DepotConnect (U (Long.c_str ())), EFI_INVALID_PARAMETER);
  EXPECT_TRUE (Net.PolicySets.empty ());
}

// Bring-up: the card, its address and policy, the child.
TEST_F (DepotTest, Connect) {
  struct Case {
    const char                              *Name;
    std::function<void(Fake::Network &)>    Set;
    EFI_STATUS                              Status;
    std::vector<EFI_IP4_CONFIG2_POLICY>     SetsAfterClose;
    UINT64                                  MaxUs;
  };
  const auto  D = Ip4Config2PolicyDhcp;
  const auto  S = Ip4Config2PolicyStatic;
  const Case  Cases[] = {
    { "address already",  [](auto &N) { N.HasAddress = TRUE; },              EFI_SUCCESS,    {},     0 },
    { "DHCP after 3 s",   [](auto &N) { },                                   EFI_SUCCESS,    { D, S }, 4 * SECOND },
    { "DHCP running",     [](auto &N) { N.Policy = Ip4Config2PolicyDhcp; N.DhcpAfterUs = SECOND; },
                                                                              EFI_SUCCESS,    { D },  2 * SECOND },
    { "DHCP never",       [](auto &N) { N.DhcpAfterUs = ~0ULL; },            EFI_NO_MAPPING, { D, S }, 21 * SECOND },
    { "no card",          [](auto &N) { N.HasNic = FALSE; },                 EFI_NOT_FOUND,  {},     0 },
    { "no IPv4 config",   [](auto &N) { N.HasIp4Config = FALSE; },           EFI_NOT_FOUND,  {},     0 },
    { "no child",         [](auto &N) { N.CreateChildStatus = EFI_OUT_OF_RESOURCES; },
                                                                              EFI_OUT_OF_RESOURCES, { D, S }, 4 * SECOND },
    { "refused config",   [](auto &N) { N.ConfigureStatus = EFI_DEVICE_ERROR; },
                                                                              EFI_DEVICE_ERROR, { D, S }, 4 * SECOND },
  };

  for (const Case &C : Cases) {
    SCOPED_TRACE (C.Name);
    SetUp ();
    C.Set (Net);
    EXPECT_EQ (Mac (), "none");
    EXPECT_EQ (DepotConnect (U (BASE)), C.Status);
    EXPECT_LE (Fake::gState->ClockUs, C.MaxUs);
    EXPECT_EQ (Mac (), C.Status == EFI_SUCCESS ? "525400123456" : "none");
    DepotClose ();
    EXPECT_EQ (Net.PolicySets, C.SetsAfterClose);
    EXPECT_EQ (Net.Children, 0);
    EXPECT_EQ (Mac (), "none");
    TearDown ();
  }
}

TEST_F (DepotTest, PutThenGetRoundTrips) {
  struct Case {
    size_t  Size;
    UINTN   Fragment;
  };
  static const Case  Cases[] = {
    { 1, 65536 }, { 65536 * 3 + 5, 65536 }, { 100000, 999 }, { 1 << 20, 65536 },
  };

  ASSERT_EQ (DepotConnect (U (BASE)), EFI_SUCCESS);
  for (const Case &C : Cases) {
    SCOPED_TRACE (C.Size);
    auto                Data = Pattern (C.Size);
    std::vector<UINT8>  Back (C.Size + 10);
    UINTN               Got  = 0;

    std::string  Name = "20261207/ec-save-" + std::to_string (C.Size) + ".bin";
    Net.Fragment = C.Fragment;
    Net.Requests.clear ();
    ASSERT_EQ (DepotPut (Name.c_str (), Data.data (), Data.size ()), EFI_SUCCESS);
    ASSERT_EQ (DepotGet (Name.c_str (), Back.data (), Back.size (), &Got), EFI_SUCCESS);
    ASSERT_EQ (Got, C.Size);
    Back.resize (Got);
    EXPECT_EQ (Back, Data);
    EXPECT_EQ (Net.Files["/results/" + Name], Data);

    ASSERT_EQ (Net.Requests.size (), 2u);
    const auto  &Put = Net.Requests[0];
    EXPECT_EQ (Put.Method, "PUT");
    EXPECT_EQ (Put.Url, "http://10.0.2.2:8080/results/" + Name);
    EXPECT_EQ (Put.Headers.at ("Content-Length"), std::to_string (C.Size));
    EXPECT_EQ (Put.Headers.at ("Host"), "10.0.2.2:8080");
    EXPECT_EQ (Put.BodyLength, C.Size);
    EXPECT_EQ (Net.Requests[1].Method, "GET");
    EXPECT_EQ (Net.Requests[1].Headers.count ("Content-Length"), 0u);
  }

  // An empty file goes and comes back as one.
  UINTN  Got = 1;
  ASSERT_EQ (DepotPut ("empty.log", nullptr, 0), EFI_SUCCESS);
  EXPECT_EQ (DepotGet ("empty.log", nullptr, 0, &Got), EFI_SUCCESS);
  EXPECT_EQ (Got, 0u);
  EXPECT_EQ (Net.Configures, 1u) << "good exchanges need no fresh connection";
}

// A later network boot takes the boot file's folder as the base.
TEST_F (DepotTest, SecondConnectOnlyChangesTheBase) {
  UINT8  Byte = 1;

  ASSERT_EQ (DepotConnect (U (BASE)), EFI_SUCCESS);
  ASSERT_EQ (DepotConnect (U (u"http://boot.example:81/images/")), EFI_SUCCESS);
  EXPECT_EQ (DepotPut ("a.bin", &Byte, 1), EFI_SUCCESS);
  EXPECT_EQ (Net.Requests.back ().Url, "http://boot.example:81/images/a.bin");
  EXPECT_EQ (Net.Requests.back ().Headers.at ("Host"), "boot.example:81");
  EXPECT_EQ (Net.Children, 1);
  EXPECT_EQ (Net.PolicySets.size (), 1u);
}

TEST_F (DepotTest, RefusesBadNamesAndUnconnectedCalls) {
  UINT8  Byte = 0;
  UINTN  Got  = 7;

  EXPECT_EQ (DepotPut ("a.bin", &Byte, 1), EFI_NOT_READY);
  EXPECT_EQ (DepotGet ("a.bin", &Byte, 1, &Got), EFI_NOT_READY);
  EXPECT_EQ (Got, 0u);
  ASSERT_EQ (DepotConnect (U (BASE)), EFI_SUCCESS);

  const std::string  Long (DEPOT_NAME_CHARS + 1, 'a');
  for (const char *Name : { "", ".hidden", "..", "a/b/c", "a.b/c", "/a", "a/", "123456789/a", "a/.x", "a b", "a%2F", "a?b",
                            Long.c_str () }) {
    EXPECT_EQ (DepotPut (Name, &Byte, 1), EFI_INVALID_PARAMETER) << Name;
    EXPECT_EQ (DepotGet (Name, &Byte, 1, &Got), EFI_INVALID_PARAMETER) << Name;
  }

  EXPECT_EQ (DepotPut (nullptr, &Byte, 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ (DepotPut ("a.bin", nullptr, 1), EFI_INVALID_PARAMETER);
  EXPECT_EQ (DepotPut (std::string (DEPOT_NAME_CHARS, 'a').c_str (), &Byte, 1), EFI_SUCCESS);
  EXPECT_EQ (Net.Requests.size (), 1u);
}

// Each fault fails its call within its bound; the next exchange works.
TEST_F (DepotTest, FaultsFailWithinBounds) {
  struct Case {
    const char                            *Name;
    bool                                  Put;
    std::function<void(Fake::Network &)>  Set;
    EFI_STATUS                            Status;
    UINTN                                 Cancels;
    UINT64                                MaxUs;
  };
  const Case  Cases[] = {
    { "plain http refused",  true,  [](auto &N) { N.RequestStatus = EFI_ACCESS_DENIED; }, EFI_ACCESS_DENIED, 0, 0 },
    { "server error",        true,  [](auto &N) { N.AnswerCode = 500; },       EFI_HTTP_ERROR, 0, SECOND },
    { "forbidden",           true,  [](auto &N) { N.AnswerCode = 403; },       EFI_HTTP_ERROR, 0, SECOND },
    { "name taken",          true,  [](auto &N) { N.AnswerCode = 409; },       EFI_ACCESS_DENIED, 0, SECOND },
    { "not found",           false, [](auto &N) { N.Files.clear (); },         EFI_HTTP_ERROR, 0, SECOND },
    { "request hangs",       true,  [](auto &N) { N.RequestHangs = TRUE; },    EFI_TIMEOUT, 1, 11 * SECOND },
    { "answer hangs",        false, [](auto &N) { N.ResponseHangs = TRUE; },   EFI_TIMEOUT, 1, 11 * SECOND },
    { "body stops",          false, [](auto &N) { N.BodyHangsAt = 1000; },     EFI_TIMEOUT, 1, 11 * SECOND },
    { "body trickles",       false, [](auto &N) { N.Fragment = 1; N.FragmentUs = 3 * SECOND; }, EFI_TIMEOUT, 1, 10 * SECOND },
    { "body trickles inside the driver's calls", false, [](auto &N) { N.Fragment = 1; N.FragmentInCallUs = 3 * SECOND; },
                                                                               EFI_TIMEOUT, 0, 13 * SECOND },
    { "body too long",       false, [](auto &N) { N.Files["/results/f.bin"].resize (5000); },
                                                                               EFI_BUFFER_TOO_SMALL, 0, SECOND },
    { "body ends short",     false, [](auto &N) { N.ExtraLength = 10; },       EFI_CONNECTION_FIN, 0, SECOND },
    { "no length",           false, [](auto &N) { N.NoLength = TRUE; },        EFI_PROTOCOL_ERROR, 0, SECOND },
    { "length not a number", false, [](auto &N) { N.Lengths = { "4096x" }; },  EFI_PROTOCOL_ERROR, 0, SECOND },
    { "length negative",     false, [](auto &N) { N.Lengths = { "-1" }; },     EFI_PROTOCOL_ERROR, 0, SECOND },
    { "length empty",        false, [](auto &N) { N.Lengths = { " " }; },      EFI_PROTOCOL_ERROR, 0, SECOND },
    { "length overflows",    false, [](auto &N) { N.Lengths = { "18446744073709551617" }; }, EFI_PROTOCOL_ERROR, 0, SECOND },
    { "lengths disagree",    false, [](auto &N) { N.Lengths = { "4096", "100" }; }, EFI_PROTOCOL_ERROR, 0, SECOND },
  };
  const auto  Data = Pattern (4096);

  for (const Case &C : Cases) {
    SCOPED_TRACE (C.Name);
    SetUp ();
    ASSERT_EQ (DepotConnect (U (BASE)), EFI_SUCCESS);
    Net.Files["/results/f.bin"] = Data;
    C.Set (Net);

    std::vector<UINT8>  Back (Data.size () + 64);
    UINTN               Got    = 1;
    UINT64              Before = Fake::gState->ClockUs;
    EFI_STATUS          Status = C.Put ? DepotPut ("f.bin", Data.data (), Data.size ())
                                       : DepotGet ("f.bin", Back.data (), Back.size (), &Got);

    EXPECT_EQ (Status, C.Status);
    EXPECT_EQ (Got, C.Put ? 1u : 0u);
    EXPECT_EQ (Net.Cancels, C.Cancels);
    EXPECT_LE (Fake::gState->ClockUs - Before, C.MaxUs);
    EXPECT_EQ (Net.Configures, 2u) << "a failed exchange leaves a fresh connection behind";

    // The server mends; the same child serves the next exchange.
    Net.RequestStatus = EFI_SUCCESS;
    Net.AnswerCode    = 0;
    Net.RequestHangs  = Net.ResponseHangs = Net.NoLength = FALSE;
    Net.BodyHangsAt   = SIZE_MAX;
    Net.Fragment      = 65536;
    Net.FragmentUs    = 0;
    Net.FragmentInCallUs = 0;
    Net.ExtraLength   = 0;
    Net.Lengths.clear ();
    Net.Files["/results/f.bin"] = Data;
    EXPECT_EQ (DepotGet ("f.bin", Back.data (), Back.size (), &Got), EFI_SUCCESS);
    EXPECT_EQ (Got, Data.size ());
    EXPECT_TRUE (std::equal (Data.begin (), Data.end (), Back.begin ()));
    TearDown ();
  }
}

}  // namespace
