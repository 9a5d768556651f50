/** @file
  State shared by the depot's network bring-up (DepotNet.cpp) and its
  transfers (Depot.cpp).

**/

#ifndef MORVANE_DEPOT_INTERNAL_H_
#define MORVANE_DEPOT_INTERNAL_H_

extern "C" {
#include <Uefi.h>
#include <Protocol/Http.h>
#include <Protocol/Ip4Config2.h>
#include <Protocol/ServiceBinding.h>
}

#include "Depot.h"

//
// Virtual-clock granularity of every wait: the stall between two polls.
//
#define DEPOT_POLL_US        1000
#define DEPOT_SECOND_US      1000000ULL

//
// DHCP on QEMU and on office networks answers within a few seconds; past
// this the network is taken as unconfigured.
//
#define DEPOT_DHCP_LIMIT_US  (20 * DEPOT_SECOND_US)

//
// HttpDxe keeps this value but waits by its own clocks inside its calls:
// for an answer's headers up to PcdHttpIoTimeout (5 s) inside Response(),
// for the TCP connect inside Request() as long as TCP retries. Our own
// deadlines bound every wait outside those calls.
//
#define DEPOT_HTTP_TIMEOUT_MS  10000

//
// A token that shows no progress for this long is cancelled; a transfer
// also gets its size at the slowest rate worth waiting for.
//
#define DEPOT_IDLE_US        (10 * DEPOT_SECOND_US)
#define DEPOT_MIN_RATE       (256 * 1024)

typedef struct {
  BOOLEAN                          Connected;
  EFI_HANDLE                       Nic;
  EFI_SERVICE_BINDING_PROTOCOL     *HttpSb;
  EFI_IP4_CONFIG2_PROTOCOL         *Ip4Config2;
  EFI_HANDLE                       Child;
  EFI_HTTP_PROTOCOL                *Http;
  BOOLEAN                          PolicyChanged;
  EFI_IP4_CONFIG2_POLICY           PreviousPolicy;
  EFI_MAC_ADDRESS                  Mac;
  UINT32                           MacSize;
  CHAR16                           BaseUrl[DEPOT_URL_CHARS + 1];
  CHAR8                            Host[DEPOT_URL_CHARS + 1];  ///< host[:port], for the Host header
} DEPOT_STATE;

extern DEPOT_STATE  mDepot;

//
// One request or response in flight: the token, its message and the flag
// its event's notification sets.
//
typedef struct {
  EFI_HTTP_TOKEN            Token;
  EFI_HTTP_MESSAGE          Message;
  EFI_HTTP_REQUEST_DATA     Request;
  EFI_HTTP_RESPONSE_DATA    Response;
  volatile BOOLEAN          Done;
} DEPOT_TOKEN;

/**
  Check a file name and append it to the base URL.

  @param[in]  Name   The name.
  @param[out] Url    Receives base and name; DEPOT_URL_CHARS +
                     DEPOT_NAME_CHARS + 1 characters.

  @retval TRUE    The name is one the depot takes.
  @retval FALSE   It is not; Url is undefined.
**/
BOOLEAN
DepotFileUrl (
  IN  CONST CHAR8  *Name,
  OUT CHAR16       *Url
  );

/**
  Hand a token to Request (IsRequest) or Response and wait for it.

  @param[in, out] T           The token; its message filled in.
  @param[in]      IsRequest   TRUE for Request.
  @param[in]      Limit       Microseconds it may take.
  @param[in, out] Spent       Microseconds waited so far.

  @return The status of the call, the wait or the token.
**/
EFI_STATUS
DepotRunToken (
  IN OUT DEPOT_TOKEN  *T,
  IN     BOOLEAN      IsRequest,
  IN     UINT64       Limit,
  IN OUT UINT64       *Spent
  );

/**
  Configure the HTTP child afresh, dropping its connection and whatever
  it had half received.

  @return The status of the configuration.
**/
EFI_STATUS
DepotResetChild (
  VOID
  );

#endif
