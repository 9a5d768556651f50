/** @file
  The depot: a plain web server that keeps a run's log lines and saved
  firmware, reached over the firmware's own network stack (HTTP service
  binding, IPv4 configured by DHCP when it has no address).

  One connection at a time: DepotConnect brings the network up and sets the
  base URL; DepotPut and DepotGet name files relative to it; DepotClose puts
  the network back as it was found. Every wait is bounded.

**/

#ifndef MORVANE_DEPOT_H_
#define MORVANE_DEPOT_H_

extern "C" {
#include <Uefi.h>
}

//
// Longest base URL, and longest file name under it (a folder of at most
// DEPOT_DAY_CHARS, '/', and a base name of at most DEPOT_BASE_CHARS with
// its suffix, ".incomplete.log" the longest).
//
#define DEPOT_URL_CHARS    200
#define DEPOT_NAME_CHARS   112
#define DEPOT_DAY_CHARS    8
#define DEPOT_BASE_CHARS   88

//
// Characters of DepotMacText's result with its terminator (32 hex digits at
// most, as EFI_MAC_ADDRESS holds).
//
#define DEPOT_MAC_CHARS    33

/**
  Check a depot URL: "http://", a host of letters, digits, '.' and '-',
  an optional port from 1 to 65535, a path ending in '/', printable ASCII
  without spaces, query or fragment, at most DEPOT_URL_CHARS characters.

  @param[in] Url   The URL.

  @retval TRUE    The URL can serve as a base for file names.
  @retval FALSE   It cannot (NULL included).
**/
BOOLEAN
DepotUrlIsValid (
  IN CONST CHAR16  *Url
  );

/**
  Bring the network up and take Url as the base for DepotPut and DepotGet:
  find a network card with the HTTP service, give IPv4 an address by DHCP
  when it has none (the previous policy is remembered for DepotClose), and
  create and configure an HTTP child. Once connected, a further call only
  changes the base URL.

  @param[in] Url   The base URL (see DepotUrlIsValid).

  @retval EFI_SUCCESS             Ready to talk to the server.
  @retval EFI_INVALID_PARAMETER   Url is not a depot URL.
  @retval EFI_NOT_FOUND           No network card offers HTTP.
  @retval EFI_NO_MAPPING          DHCP gave no address in time.
  @return Any other failure of the IPv4 configuration or the HTTP child.
**/
EFI_STATUS
DepotConnect (
  IN CONST CHAR16  *Url
  );

/**
  Store Size bytes on the server as the base URL followed by Name.

  @param[in] Name   The file name: 1 to DEPOT_NAME_CHARS of [A-Za-z0-9._-],
                    not starting with '.', optionally in one folder
                    of 1 to DEPOT_DAY_CHARS letters and digits ("DAY/NAME").
  @param[in] Data   The bytes.
  @param[in] Size   How many.

  @retval EFI_SUCCESS             The server answered 2xx.
  @retval EFI_ACCESS_DENIED       It answered 409: it holds that name already
                                  and never writes over it.
  @retval EFI_NOT_READY           Not connected.
  @retval EFI_INVALID_PARAMETER   A bad name, or Data NULL with Size non-zero.
  @retval EFI_HTTP_ERROR          The server answered otherwise.
  @retval EFI_TIMEOUT             The request or the answer did not come in time.
  @return The HTTP driver's failure.
**/
EFI_STATUS
DepotPut (
  IN CONST CHAR8  *Name,
  IN CONST VOID   *Data,
  IN UINTN        Size
  );

/**
  Fetch the base URL followed by Name into Buffer.

  @param[in]  Name     The file name (as for DepotPut).
  @param[out] Buffer   Receives the body.
  @param[in]  Size     The buffer's size in bytes.
  @param[out] Got      Receives the body's length (0 on failure).

  @retval EFI_SUCCESS             The whole body, as long as announced.
  @retval EFI_NOT_READY           Not connected.
  @retval EFI_INVALID_PARAMETER   A bad name or pointer.
  @retval EFI_HTTP_ERROR          The server answered other than 2xx.
  @retval EFI_BUFFER_TOO_SMALL    The body is longer than Size.
  @retval EFI_PROTOCOL_ERROR      No usable Content-Length, or a body other
                                  than it announced.
  @retval EFI_TIMEOUT             The answer stopped coming.
  @return The HTTP driver's failure.
**/
EFI_STATUS
DepotGet (
  IN  CONST CHAR8  *Name,
  OUT VOID         *Buffer,
  IN  UINTN        Size,
  OUT UINTN        *Got
  );

/**
  The network card's MAC address as upper-case hex digits without
  separators, or "none" when not connected.

  @param[out] Text   Receives the text (truncated to fit).
  @param[in]  Size   Its size in characters; DEPOT_MAC_CHARS always fits.
**/
VOID
DepotMacText (
  OUT CHAR16  *Text,
  IN  UINTN   Size
  );

/**
  Destroy the HTTP child and put back the IPv4 policy that DepotConnect
  changed. Safe to call when not connected.
**/
VOID
DepotClose (
  VOID
  );

#endif
