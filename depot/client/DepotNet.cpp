/** @file
  The depot's network bring-up: the card with the HTTP service, an IPv4
  address (by DHCP when the card has none), the HTTP child; and putting it
  all back.

  A card left by HTTP Boot has the static policy and no address, and one
  never used has DHCP not yet started: both need the DHCP policy before
  HttpDxe can connect (it answers EFI_NO_MAPPING otherwise). The policy is
  the card's, kept across boots in a variable, so the one found is put back.

**/

extern "C" {
#include <Uefi.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

#include "DepotInternal.h"
#include "Ucs2.h"

DEPOT_STATE  mDepot;

//
// Room for the interface information and the routes that follow it; a
// card with more routes than this is not one the depot serves from.
//
#define DEPOT_ROUTES  32

typedef union {
  EFI_IP4_CONFIG2_INTERFACE_INFO    Info;
  UINT8                             Bytes[sizeof (EFI_IP4_CONFIG2_INTERFACE_INFO) + DEPOT_ROUTES * sizeof (EFI_IP4_ROUTE_TABLE)];
} DEPOT_INTERFACE_INFO;

STATIC EFI_HTTPv4_ACCESS_POINT  mAccessPoint;
STATIC EFI_HTTP_CONFIG_DATA     mHttpConfig;

/**
  Read the card's interface information.

  @param[out] Info         Receives it.
  @param[out] HasAddress   TRUE when IPv4 has a station address.

  @return The status of GetData.
**/
STATIC
EFI_STATUS
ReadInterface (
  OUT DEPOT_INTERFACE_INFO  *Info,
  OUT BOOLEAN               *HasAddress
  )
{
  EFI_STATUS  Status;
  UINTN       Size;
  UINT8       *Address;

  Size   = sizeof (*Info);
  Status = mDepot.Ip4Config2->GetData (mDepot.Ip4Config2, Ip4Config2DataTypeInterfaceInfo, &Size, Info);
  if (EFI_ERROR (Status)) {
    *HasAddress = FALSE;
    return Status;
  }

  Address     = Info->Info.StationAddress.Addr;
  *HasAddress = (Address[0] | Address[1] | Address[2] | Address[3]) != 0;
  return EFI_SUCCESS;
}

/**
  Give IPv4 an address when it has none: switch the policy to DHCP and
  wait for the address, a poll every 100 ms.

  @retval EFI_SUCCESS      IPv4 has an address.
  @retval EFI_NO_MAPPING   DHCP gave none within DEPOT_DHCP_LIMIT_US.
  @return The failure of reading or setting the configuration.
**/
STATIC
EFI_STATUS
WaitForAddress (
  VOID
  )
{
  DEPOT_INTERFACE_INFO    Info;
  EFI_IP4_CONFIG2_POLICY  Policy;
  EFI_STATUS              Status;
  BOOLEAN                 HasAddress;
  UINTN                   Size;
  UINT64                  Waited;

  Status = ReadInterface (&Info, &HasAddress);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  mDepot.MacSize = (Info.Info.HwAddressSize <= sizeof (mDepot.Mac)) ? Info.Info.HwAddressSize : sizeof (mDepot.Mac);
  mDepot.Mac     = Info.Info.HwAddress;
  if (HasAddress) {
    return EFI_SUCCESS;
  }

  Size   = sizeof (Policy);
  Status = mDepot.Ip4Config2->GetData (mDepot.Ip4Config2, Ip4Config2DataTypePolicy, &Size, &Policy);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // Setting DHCP again over an unfinished DHCP restarts it (EFI_ABORTED
  // when it had already succeeded in the meantime).
  //
  mDepot.PreviousPolicy = Policy;
  Policy                = Ip4Config2PolicyDhcp;
  Status                = mDepot.Ip4Config2->SetData (mDepot.Ip4Config2, Ip4Config2DataTypePolicy, sizeof (Policy), &Policy);
  if (EFI_ERROR (Status) && (Status != EFI_NOT_READY) && (Status != EFI_ABORTED)) {
    return Status;
  }

  mDepot.PolicyChanged = (mDepot.PreviousPolicy != Ip4Config2PolicyDhcp);
  for (Waited = 0; Waited < DEPOT_DHCP_LIMIT_US; Waited += DEPOT_SECOND_US / 10) {
    gBS->Stall (DEPOT_SECOND_US / 10);
    if (!EFI_ERROR (ReadInterface (&Info, &HasAddress)) && HasAddress) {
      return EFI_SUCCESS;
    }
  }

  return EFI_NO_MAPPING;
}

/**
  Find the first card that offers both the HTTP service and the IPv4
  configuration.

  @retval EFI_SUCCESS     mDepot.Nic, HttpSb and Ip4Config2 are set.
  @retval EFI_NOT_FOUND   No card offers them.
**/
STATIC
EFI_STATUS
FindNic (
  VOID
  )
{
  EFI_HANDLE  *Handles;
  UINTN       Count;
  UINTN       Index;
  EFI_STATUS  Status;
  VOID        *HttpSb;
  VOID        *Ip4Config2;

  Handles = NULL;
  Count   = 0;
  Status  = gBS->LocateHandleBuffer (ByProtocol, &gEfiHttpServiceBindingProtocolGuid, NULL, &Count, &Handles);
  if (EFI_ERROR (Status) || (Handles == NULL)) {
    return EFI_NOT_FOUND;
  }

  Status = EFI_NOT_FOUND;
  for (Index = 0; Index < Count; Index++) {
    if (EFI_ERROR (gBS->HandleProtocol (Handles[Index], &gEfiHttpServiceBindingProtocolGuid, &HttpSb)) ||
        EFI_ERROR (gBS->HandleProtocol (Handles[Index], &gEfiIp4Config2ProtocolGuid, &Ip4Config2)))
    {
      continue;
    }

    mDepot.Nic        = Handles[Index];
    mDepot.HttpSb     = static_cast<EFI_SERVICE_BINDING_PROTOCOL *>(HttpSb);
    mDepot.Ip4Config2 = static_cast<EFI_IP4_CONFIG2_PROTOCOL *>(Ip4Config2);
    Status            = EFI_SUCCESS;
    break;
  }

  FreePool (Handles);
  return Status;
}

EFI_STATUS
DepotResetChild (
  VOID
  )
{
  mDepot.Http->Configure (mDepot.Http, NULL);
  return mDepot.Http->Configure (mDepot.Http, &mHttpConfig);
}

/**
  Create the HTTP child on the card and configure it for HTTP/1.1 from the
  card's default address.

  @return The status of the creation, the protocol look-up or Configure.
**/
STATIC
EFI_STATUS
OpenChild (
  VOID
  )
{
  EFI_STATUS  Status;
  VOID        *Http;

  mDepot.Child = NULL;
  Status       = mDepot.HttpSb->CreateChild (mDepot.HttpSb, &mDepot.Child);
  if (EFI_ERROR (Status)) {
    mDepot.Child = NULL;
    return Status;
  }

  Status = gBS->HandleProtocol (mDepot.Child, &gEfiHttpProtocolGuid, &Http);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  mDepot.Http                          = static_cast<EFI_HTTP_PROTOCOL *>(Http);
  mAccessPoint                         = {};
  mAccessPoint.UseDefaultAddress       = TRUE;
  mHttpConfig                          = {};
  mHttpConfig.HttpVersion              = HttpVersion11;
  mHttpConfig.TimeOutMillisec          = DEPOT_HTTP_TIMEOUT_MS;
  mHttpConfig.LocalAddressIsIPv6       = FALSE;
  mHttpConfig.AccessPoint.IPv4Node     = &mAccessPoint;
  return mDepot.Http->Configure (mDepot.Http, &mHttpConfig);
}

/**
  Take Url as the base URL, and its host[:port] for the Host header.

  @param[in] Url   A URL that DepotUrlIsValid accepted.
**/
STATIC
VOID
SetBase (
  IN CONST CHAR16  *Url
  )
{
  UINTN  Index;
  UINTN  Host;

  for (Index = 0; Url[Index] != 0 && Index < DEPOT_URL_CHARS; Index++) {
    mDepot.BaseUrl[Index] = Url[Index];
  }

  mDepot.BaseUrl[Index] = 0;

  //
  // After "http://", up to the path's '/'.
  //
  Host = 0;
  for (Index = 7; Url[Index] != 0 && Url[Index] != u'/' && Host < DEPOT_URL_CHARS; Index++) {
    mDepot.Host[Host++] = static_cast<CHAR8>(Url[Index]);
  }

  mDepot.Host[Host] = 0;
}

EFI_STATUS
DepotConnect (
  IN CONST CHAR16  *Url
  )
{
  EFI_STATUS  Status;

  if (!DepotUrlIsValid (Url)) {
    return EFI_INVALID_PARAMETER;
  }

  SetBase (Url);
  if (mDepot.Connected) {
    return EFI_SUCCESS;
  }

  Status = FindNic ();
  if (!EFI_ERROR (Status)) {
    Status = WaitForAddress ();
  }

  if (!EFI_ERROR (Status)) {
    Status = OpenChild ();
  }

  if (EFI_ERROR (Status)) {
    DepotClose ();
    return Status;
  }

  mDepot.Connected = TRUE;
  return EFI_SUCCESS;
}

VOID
DepotMacText (
  OUT CHAR16  *Text,
  IN  UINTN   Size
  )
{
  STATIC CONST char16_t  mDigits[] = u"0123456789ABCDEF";
  CONST CHAR16           *None;
  UINTN                  Index;
  UINTN                  Out;

  if ((Text == NULL) || (Size == 0)) {
    return;
  }

  Out = 0;
  if (!mDepot.Connected) {
    for (None = Ucs2 (u"none"); *None != 0 && Out + 1 < Size; None++) {
      Text[Out++] = *None;
    }
  } else {
    for (Index = 0; Index < mDepot.MacSize && Out + 2 < Size; Index++) {
      Text[Out++] = mDigits[mDepot.Mac.Addr[Index] >> 4];
      Text[Out++] = mDigits[mDepot.Mac.Addr[Index] & 0xF];
    }
  }

  Text[Out] = 0;
}

VOID
DepotClose (
  VOID
  )
{
  if (mDepot.Http != NULL) {
    mDepot.Http->Configure (mDepot.Http, NULL);
  }

  if (mDepot.Child != NULL) {
    mDepot.HttpSb->DestroyChild (mDepot.HttpSb, mDepot.Child);
  }

  if (mDepot.PolicyChanged) {
    mDepot.Ip4Config2->SetData (mDepot.Ip4Config2, Ip4Config2DataTypePolicy, sizeof (mDepot.PreviousPolicy), &mDepot.PreviousPolicy);
  }

  mDepot = {};
}
