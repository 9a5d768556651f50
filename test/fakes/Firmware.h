/** @file
  The firmware edge faked for host tests: boot and runtime services, the
  console as a screen grid, the shell library, pool allocation, and the
  CPU I/O 2 protocol wired to the simulated EC.

**/

#ifndef MORVANE_TEST_FIRMWARE_H_
#define MORVANE_TEST_FIRMWARE_H_

#include <deque>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <Uefi.h>
#include <Protocol/Http.h>
#include <Protocol/Ip4Config2.h>
}

#include "EcSim.h"

namespace Fake {

//
// One log shared by the console, the shell files and the device, so that
// tests can check the order of what happened.
//
struct Event {
  std::string    Kind;       // "print", "open", "close", "dev"
  std::u16string Text;
  UINTN          Column = 0; // where a print started
  UINTN          Row    = 0;
};

//
// Thrown from the firmware edge when a test has spent its budget of port
// accesses or virtual time: a loop that never ends fails its test at once
// instead of holding the suite.
//
struct BudgetSpent : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct File {
  std::vector<UINT8> Data;
};

struct Variable {
  UINT32              Attributes;
  std::vector<UINT8>  Data;
};

// Attributes of a variable written under a key (EDK II's authenticated
// variables): deleting or rewriting it needs that key.
constexpr UINT32  AUTHENTICATED = EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS |
                                  EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS;

//
// One network card with HTTP and IPv4 configuration, and the web server
// behind it: files by path, answers and faults scripted.
//
struct Network {
  // The card
  BOOLEAN                          HasNic        = TRUE;   // a handle with the HTTP service binding
  BOOLEAN                          HasIp4Config  = TRUE;
  std::vector<UINT8>               Mac{ 0x52, 0x54, 0x00, 0x12, 0x34, 0x56 };
  BOOLEAN                          HasAddress    = FALSE;
  EFI_IP4_CONFIG2_POLICY           Policy        = Ip4Config2PolicyStatic;
  UINT64                           DhcpAfterUs   = 3000000;   // ~0: DHCP never answers
  BOOLEAN                          DhcpRunning   = FALSE;
  UINT64                           DhcpStartUs   = 0;
  std::vector<EFI_IP4_CONFIG2_POLICY>  PolicySets;            // every SetData of the policy
  EFI_STATUS                       CreateChildStatus = EFI_SUCCESS;
  EFI_STATUS                       ConfigureStatus   = EFI_SUCCESS;
  EFI_STATUS                       RequestStatus     = EFI_SUCCESS;   // what Request() returns
  UINTN                            GoneAfter     = SIZE_MAX;  // requests after which the server is gone
  UINTN                            GoneFor       = SIZE_MAX;  // requests it then refuses before it is back
  UINTN                            Refused       = 0;

  // The server
  std::map<std::string, std::vector<UINT8>>  Files;           // by path: "/results/x.bin"
  UINTN                            AnswerCode    = 0;         // 0: the server's own answer
  BOOLEAN                          AltersPuts    = FALSE;     // a PUT is kept with its last byte changed
  BOOLEAN                          RequestHangs  = FALSE;     // the request token never completes
  BOOLEAN                          ResponseHangs = FALSE;     // the answer's headers never come
  UINTN                            BodyHangsAt   = SIZE_MAX;  // body bytes after which nothing comes
  std::vector<std::string>         Lengths;                   // Content-Length values to send instead of the true one
  BOOLEAN                          NoLength      = FALSE;     // a 200 without Content-Length
  UINTN                            ExtraLength   = 0;         // the length claimed beyond the body
  UINTN                            Fragment      = 65536;     // most body bytes per Response
  UINT64                           FragmentUs    = 0;         // virtual time each body fragment takes to come
  UINT64                           FragmentInCallUs = 0;      // virtual time each body fragment's Response call takes
  EFI_STATUS                       EarlyEnd      = EFI_CONNECTION_FIN;   // a body that ends short

  // An answer given whole, as HttpDxe hands it over, in place of the
  // server's own (the fuzz target's choice): status number, headers in
  // order, body. The faults above still apply to its delivery.
  BOOLEAN                          Scripted      = FALSE;
  UINTN                            ScriptedCode  = 200;
  std::vector<std::pair<std::string, std::string>>  ScriptedHeaders;
  std::vector<UINT8>               ScriptedBody;

  // What the product did
  struct Request {
    std::string                          Method;
    std::string                          Url;
    std::map<std::string, std::string>   Headers;
    UINTN                                BodyLength = 0;
  };
  std::vector<Request>             Requests;
  UINTN                            Cancels       = 0;
  UINTN                            Polls         = 0;
  UINTN                            Configures    = 0;
  BOOLEAN                          Configured    = FALSE;
  INTN                             Children      = 0;
  std::map<EFI_EVENT, std::pair<EFI_EVENT_NOTIFY, VOID *>>  Events;   // open events
};

struct State {
  // Console
  UINTN                            Columns = 300;
  UINTN                            Rows    = 50;
  std::vector<std::u16string>      Grid;
  INT32                            Mode    = -1;
  UINTN                            Clears  = 0;

  // Clock: microseconds of Stall since start, over a base date-time.
  UINT64                           ClockUs = 0;
  UINT64                           StallCalls = 0;
  EFI_TIME                         BaseTime{};
  EFI_STATUS                       GetTimeStatus = EFI_SUCCESS;
  UINT32                           BootCount = 1;       // the monotonic count's high half
  UINT32                           MonotonicLow = 0;

  // What one test may spend; generous for a run of a few blocks.
  UINT64                           PortBudget  = 3000000;
  UINT64                           ClockBudgetUs = 30000000;
  UINT64                           PortAccesses = 0;
  const char                       *LastAccess = "";
  UINT64                           LastPort = 0;

  // CPU I/O 2
  BOOLEAN                          LocateFails = FALSE;
  UINT64                           Locates = 0;

  // The firmware's random number generator: each draw gives the next value
  // of a counter (little-endian), so that a test knows every name ahead.
  BOOLEAN                          HasRng  = TRUE;
  UINT32                           RngNext = 0xA5C30001;
  UINT64                           Tsc     = 0;         // the cycle counter, as AsmReadTsc reads it
  EC_SIM                           *Sim = nullptr;
  std::map<UINT64, std::deque<UINT8>>      Script;     // scripted reads, ahead of the device
  std::vector<std::pair<UINT64, UINT8>>    Writes;     // every port write, in order
  std::map<UINT64, UINT64>                 ReadsOf;    // port reads, by port

  // Shell
  EFI_STATUS                       InitializeStatus = EFI_SUCCESS;
  std::vector<std::u16string>      Argv{ u"Morvane" };
  BOOLEAN                          HasCurDir = TRUE;
  std::u16string                   CurDir = u"FS0:\\images";
  std::map<std::u16string, File>   Files;
  std::vector<std::u16string>      Directories;
  EFI_STATUS                       OpenStatus = EFI_SUCCESS;
  UINTN                            MaxReadSize = 0;        // 0: whatever is asked
  UINTN                            FailReadAt  = 0;        // 1-based read call that fails; 0: none
  EFI_STATUS                       ReadStatus  = EFI_DEVICE_ERROR;
  std::map<std::u16string, EFI_STATUS>  OpenFails;         // opens refused, by path (any mode)
  UINTN                            FileWrites        = 0;     // file write calls
  UINTN                            FailWriteAt    = 0;     // 1-based write call that fails
  EFI_STATUS                       WriteStatus    = EFI_WRITE_PROTECTED;
  UINTN                            ShortWriteAt   = 0;     // 1-based write call that takes half
  UINTN                            CorruptWriteAt = 0;     // 1-based write call whose first byte lands wrong
  std::u16string                   OpenedPath;
  BOOLEAN                          PageBreak = FALSE;      // the shell's output paging
  UINTN                            PagedPrints = 0;        // console output while paging was on
  UINTN                            OpenHandles = 0;
  UINTN                            Reads = 0;

  // Pool
  UINTN                            CatSPrintCalls  = 0;
  UINTN                            FailCatSPrintAt = 0;    // 1-based call that fails; 0: none
  BOOLEAN                          FailAllocatePool = FALSE;
  UINT64                           SizeExtra = 0;          // a file claims this many bytes more than it holds
  std::map<const void *, size_t>   Live;
  UINTN                            BadFrees = 0;

  // Memory library
  UINTN                            CompareCalls = 0;

  // Watchdog: the last timeout set, and the port accesses made before it.
  INT64                            WatchdogTimeout = -1;
  UINT64                           WatchdogAtAccess = 0;

  // SMBIOS structure table published in the system table, if any.
  std::vector<UINT8>               Smbios;

  // The certificate the build puts into Morvane (PcdMorvaneTrustedCert);
  // empty: none, as the package's default.
  std::vector<UINT8>               TrustedCert;

  // Started by the firmware: the loaded image, its volume (files in Files
  // by their path on it, "\\MORVANE.CFG"), the keyboard, the variables.
  BOOLEAN                          HasLoadedImage = FALSE;
  std::vector<UINT8>               DevicePath;             // of the loaded image's device; empty: none
  BOOLEAN                          HasVolume      = TRUE;
  std::deque<CHAR16>               Keys;                   // one is typed at each wait for a key
  UINTN                            KeyWaits = 0;
  INT32                            SecureBoot = -1;        // the SecureBoot variable; -1: none
  std::map<std::u16string, Variable>  Variables;           // every other variable, by VariableKey
  EFI_STATUS                       SetVariableStatus = EFI_SUCCESS;   // what a failing store answers
  EFI_STATUS                       GetVariableStatus = EFI_SUCCESS;   // what a store that cannot be read answers

  std::vector<Event>               Log;

  Fake::Network                    Net;
};

extern State  *gState;

/**
  Reset every fake and the module state of the product, and attach a
  fresh simulated EC.
**/
void Reset (EC_SIM *Sim);

// Wire the fake network into fresh boot services (called by Reset).
void ResetNetwork (EFI_BOOT_SERVICES *Bs);

// Wire the loaded image, the volume, the keyboard and the variables into
// fresh services (called by Reset); HandleProtocol asks the first for
// handles that are not the network's.
void ResetBootEdge (EFI_BOOT_SERVICES *Bs, EFI_RUNTIME_SERVICES *Rt, EFI_SYSTEM_TABLE *St);
EFI_STATUS BootEdgeHandleProtocol (EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface);

// A variable's key in State::Variables: its name and vendor GUID.
std::u16string VariableKey (const std::u16string &Name, const EFI_GUID &Guid);

// The image handle of a program the firmware started.
EFI_HANDLE ImageHandle ();

// Console helpers.
std::u16string Row (UINTN Row);
CHAR16         At (UINTN Column, UINTN Row);
std::string    Narrow (const std::u16string &Text);
std::string    RowText (UINTN Row);      // trailing spaces trimmed

// Publish an SMBIOS 3 table with a system information structure.
void PublishSmbios (const std::string &Serial, const std::vector<UINT8> &Uuid, const std::string &Product = "Model");

// Index of the first log event matching Kind (and Text, if given) at or
// after From; npos when none.
size_t Find (const std::string &Kind, const std::u16string &Text = u"", size_t From = 0);

}  // namespace Fake

#endif
