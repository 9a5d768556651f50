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
