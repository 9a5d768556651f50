/** @file
  Fake network edge: the boot services the depot reaches it through
  (LocateHandleBuffer, HandleProtocol, CreateEvent, CloseEvent), one card
  with the HTTP service binding and IPv4 configuration, and HttpDxe's
  behaviour as the depot sees it, over an in-memory web server.

  Tokens complete on the next Poll, as HttpDxe's do once TCP has moved,
  unless a fault holds them; DHCP answers on the virtual clock.

**/

#include "Firmware.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Protocol/ServiceBinding.h>
}

#include "DepotInternal.h"

void  *FakeAllocate (size_t Size);

namespace {

char                           mNic;
char                           mChild;
UINTN                          mNextEvent;
std::map<EFI_EVENT, UINT64>     mTimerDueUs;
EFI_SERVICE_BINDING_PROTOCOL   mHttpSb;
EFI_HTTP_PROTOCOL              mHttp;
EFI_IP4_CONFIG2_PROTOCOL       mIp4Config2;

// The exchange in flight.
EFI_HTTP_TOKEN                 *mPending;        // completes on the next Poll
std::vector<UINT8>             mPutBody;
std::string                    mPath;
std::string                    mMethod;
std::vector<UINT8>             mBody;            // the answer's body
UINTN                          mSent;            // of it
UINT64                         mDueUs;           // the pending token completes from this time on

Fake::Network &
Net (
  )
{
  return Fake::gState->Net;
}

CHAR8 *
Copy (
  const std::string  &Text
  )
{
  auto  *Out = static_cast<CHAR8 *>(FakeAllocate (Text.size () + 1));

  std::memcpy (Out, Text.c_str (), Text.size () + 1);
  return Out;
}

void
Signal (
  EFI_HTTP_TOKEN  *Token
  )
{
  auto  Found = Net ().Events.find (Token->Event);

  if (Found == Net ().Events.end ()) {
    throw Fake::BudgetSpent ("a token's event was signalled after it was closed");
  }

  Found->second.first (Token->Event, Found->second.second);
}

BOOLEAN
AddressNow (
  )
{
  auto  &N = Net ();

  if (!N.HasAddress && N.DhcpRunning && (N.DhcpAfterUs != ~0ULL) &&
      (Fake::gState->ClockUs - N.DhcpStartUs >= N.DhcpAfterUs))
  {
    N.HasAddress = TRUE;
  }

  return N.HasAddress;
}

EFI_STATUS
EFIAPI
LocateHandleBuffer (
  IN     EFI_LOCATE_SEARCH_TYPE  SearchType,
  IN     EFI_GUID                *Protocol       OPTIONAL,
  IN     VOID                    *SearchKey      OPTIONAL,
  OUT    UINTN                   *NoHandles,
  OUT    EFI_HANDLE              **Buffer
  )
{
  if ((SearchType != ByProtocol) || !CompareGuid (Protocol, &gEfiHttpServiceBindingProtocolGuid) || !Net ().HasNic) {
    return EFI_NOT_FOUND;
  }

  *Buffer       = static_cast<EFI_HANDLE *>(FakeAllocate (sizeof (EFI_HANDLE)));
  (*Buffer)[0]  = &mNic;
  *NoHandles    = 1;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HandleProtocol (
  IN  EFI_HANDLE  Handle,
  IN  EFI_GUID    *Protocol,
  OUT VOID        **Interface
  )
{
  if ((Handle == &mNic) && CompareGuid (Protocol, &gEfiHttpServiceBindingProtocolGuid)) {
    *Interface = &mHttpSb;
  } else if ((Handle == &mNic) && CompareGuid (Protocol, &gEfiIp4Config2ProtocolGuid) && Net ().HasIp4Config) {
    *Interface = &mIp4Config2;
  } else if ((Handle == &mChild) && (Net ().Children > 0) && CompareGuid (Protocol, &gEfiHttpProtocolGuid)) {
    *Interface = &mHttp;
  } else {
    return Fake::BootEdgeHandleProtocol (Handle, Protocol, Interface);
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
CreateEvent (
  IN  UINT32            Type,
  IN  EFI_TPL           NotifyTpl,
  IN  EFI_EVENT_NOTIFY  NotifyFunction OPTIONAL,
  IN  VOID              *NotifyContext OPTIONAL,
  OUT EFI_EVENT         *Event
  )
{
  if (((Type != EVT_NOTIFY_SIGNAL) || (NotifyFunction == nullptr)) && ((Type != EVT_TIMER) || (NotifyFunction != nullptr))) {
    return EFI_INVALID_PARAMETER;
  }

  *Event                = reinterpret_cast<EFI_EVENT>(++mNextEvent);
  Net ().Events[*Event] = { NotifyFunction, NotifyContext };
  return EFI_SUCCESS;
}

// A relative timer on the virtual clock (100 ns units), for deadlines.
EFI_STATUS
EFIAPI
SetTimer (
  IN EFI_EVENT        Event,
  IN EFI_TIMER_DELAY  Type,
  IN UINT64           TriggerTime
  )
{
  if (!Net ().Events.count (Event) || (Type != TimerRelative)) {
    return EFI_INVALID_PARAMETER;
  }

  mTimerDueUs[Event] = Fake::gState->ClockUs + TriggerTime / 10;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
CheckEvent (
  IN EFI_EVENT  Event
  )
{
  auto  Due = mTimerDueUs.find (Event);

  if (!Net ().Events.count (Event) || (Due == mTimerDueUs.end ())) {
    return EFI_INVALID_PARAMETER;
  }

  return (Fake::gState->ClockUs >= Due->second) ? EFI_SUCCESS : EFI_NOT_READY;
}

EFI_STATUS
EFIAPI
CloseEvent (
  IN EFI_EVENT  Event
  )
{
  mTimerDueUs.erase (Event);
  return Net ().Events.erase (Event) == 1 ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

EFI_STATUS
EFIAPI
CreateChild (
  IN     EFI_SERVICE_BINDING_PROTOCOL  *This,
  IN OUT EFI_HANDLE                    *ChildHandle
  )
{
  if (EFI_ERROR (Net ().CreateChildStatus)) {
    return Net ().CreateChildStatus;
  }

  Net ().Children++;
  *ChildHandle = &mChild;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
DestroyChild (
  IN EFI_SERVICE_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                    ChildHandle
  )
{
  if ((ChildHandle != &mChild) || (Net ().Children == 0)) {
    return EFI_INVALID_PARAMETER;
  }

  Net ().Children--;
  Net ().Configured = FALSE;
  mPending          = nullptr;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
Configure (
  IN EFI_HTTP_PROTOCOL     *This,
  IN EFI_HTTP_CONFIG_DATA  *Data OPTIONAL
  )
{
  if (Data == nullptr) {
    Net ().Configured = FALSE;
    mPending          = nullptr;
    return EFI_SUCCESS;
  }

  if (Net ().Configured) {
    return EFI_ALREADY_STARTED;
  }

  if ((Data->HttpVersion != HttpVersion11) || Data->LocalAddressIsIPv6 || (Data->AccessPoint.IPv4Node == nullptr) ||
      !Data->AccessPoint.IPv4Node->UseDefaultAddress)
  {
    return EFI_UNSUPPORTED;
  }

  if (EFI_ERROR (Net ().ConfigureStatus)) {
    return Net ().ConfigureStatus;
  }

  Net ().Configures++;
  Net ().Configured = TRUE;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
Request (
  IN EFI_HTTP_PROTOCOL  *This,
  IN EFI_HTTP_TOKEN     *Token
  )
{
  auto  &N = Net ();

  if ((Token == nullptr) || (Token->Event == nullptr) || (Token->Message == nullptr) ||
      (Token->Message->Data.Request == nullptr))
  {
    return EFI_INVALID_PARAMETER;
  }

  if (!N.Configured) {
    return EFI_NOT_STARTED;
  }

  if (!AddressNow ()) {
    return EFI_NO_MAPPING;
  }

  if (EFI_ERROR (N.RequestStatus)) {
    return N.RequestStatus;
  }

  if ((N.Requests.size () >= N.GoneAfter) && (N.Refused < N.GoneFor)) {
    N.Refused++;
    return EFI_CONNECTION_RESET;
  }

  EFI_HTTP_MESSAGE    *M = Token->Message;
  Fake::Network::Request  R;

  R.Method = (M->Data.Request->Method == HttpMethodPut) ? "PUT" : (M->Data.Request->Method == HttpMethodGet) ? "GET" : "?";
  for (CHAR16 *C = M->Data.Request->Url; *C != 0; C++) {
    R.Url.push_back (static_cast<char>(*C));
  }

  for (UINTN Index = 0; Index < M->HeaderCount; Index++) {
    R.Headers[M->Headers[Index].FieldName] = M->Headers[Index].FieldValue;
  }

  R.BodyLength = M->BodyLength;
  N.Requests.push_back (R);
  Fake::gState->Log.push_back ({ "net", std::u16string (R.Method.begin (), R.Method.end ()) + u" " +
                                         std::u16string (R.Url.begin (), R.Url.end ()) });

  mMethod = R.Method;
  mPath   = R.Url.substr (std::min (R.Url.size (), R.Url.find ('/', 7)));
  mPutBody.assign (static_cast<UINT8 *>(M->Body), static_cast<UINT8 *>(M->Body) + M->BodyLength);
  mPending      = N.RequestHangs ? nullptr : Token;
  mDueUs        = 0;
  Token->Status = EFI_NOT_READY;
  return EFI_SUCCESS;
}

// The enum value HttpDxe gives for a status number: its place in this
// table, which follows the enum; numbers it does not know are unsupported.
EFI_HTTP_STATUS_CODE
StatusCode (
  UINTN  Code
  )
{
  static const UINTN  Known[] = {
    100, 101, 200, 201, 202, 203, 204, 205, 206, 300, 301, 302, 303, 304, 305, 307,
    400, 401, 402, 403, 404, 405, 406, 407, 408, 409, 410, 411, 412, 413, 414, 415,
    416, 417, 500, 501, 502, 503, 504, 505, 308
  };

  for (UINTN Index = 0; Index < sizeof (Known) / sizeof (Known[0]); Index++) {
    if (Known[Index] == Code) {
      return static_cast<EFI_HTTP_STATUS_CODE>(HTTP_STATUS_100_CONTINUE + Index);
    }
  }

  return HTTP_STATUS_UNSUPPORTED_STATUS;
}

// The answer to the request in flight, as the server would give it; returns
// its status number.
UINTN
Answer (
  EFI_HTTP_MESSAGE  *M
  )
{
  auto                      &N = Net ();
  UINTN                     Code;
  std::vector<std::string>  Lengths;
  std::vector<std::pair<std::string, std::string>>  Headers{ { "Server", "fake" } };

  mBody.clear ();
  mSent = 0;
  if (N.Scripted) {
    Code    = N.ScriptedCode;
    mBody   = N.ScriptedBody;
    Headers = N.ScriptedHeaders;
  } else if (N.AnswerCode != 0) {
    Code  = N.AnswerCode;
    mBody = { 'n', 'o' };
  } else if ((mMethod == "PUT") && N.Files.count (mPath)) {
    // Like the project's depot: a name is written once.
    Code  = 409;
    mBody = { 'n', 'o' };
  } else if (mMethod == "PUT") {
    Code           = 201;
    N.Files[mPath] = mPutBody;
    if (N.AltersPuts && !mPutBody.empty ()) {
      N.Files[mPath].back () ^= 0x01;
    }
  } else if (N.Files.count (mPath)) {
    Code  = 200;
    mBody = N.Files[mPath];
  } else {
    Code  = 404;
    mBody = { 'n', 'o' };
  }

  if (!N.Scripted && !N.Lengths.empty ()) {
    Lengths = N.Lengths;
  } else if (!N.Scripted && (Code != 204) && !((Code == 200) && N.NoLength)) {
    Lengths = { std::to_string (mBody.size () + N.ExtraLength) };
  }

  for (const std::string &Length : Lengths) {
    Headers.push_back ({ "content-length", Length });
  }

  // HttpDxe gives no header array for an answer without headers.
  M->Data.Response->StatusCode = StatusCode (Code);
  M->HeaderCount               = Headers.size ();
  M->Headers                   = Headers.empty () ? nullptr :
                                 static_cast<EFI_HTTP_HEADER *>(FakeAllocate (M->HeaderCount * sizeof (EFI_HTTP_HEADER)));
  for (UINTN Index = 0; Index < Headers.size (); Index++) {
    M->Headers[Index] = { Copy (Headers[Index].first), Copy (Headers[Index].second) };
  }

  return Code;
}

EFI_STATUS
EFIAPI
Response (
  IN EFI_HTTP_PROTOCOL  *This,
  IN EFI_HTTP_TOKEN     *Token
  )
{
  auto  &N = Net ();

  if ((Token == nullptr) || (Token->Event == nullptr) || (Token->Message == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }

  if (!N.Configured) {
    return EFI_NOT_STARTED;
  }

  EFI_HTTP_MESSAGE  *M = Token->Message;

  Token->Status = EFI_SUCCESS;
  if (M->Data.Response != nullptr) {
    if (N.ResponseHangs) {
      return EFI_SUCCESS;
    }

    // HttpDxe fails the token by the number, known or not.
    if (Answer (M) >= 300) {
      Token->Status = EFI_HTTP_ERROR;
    }

    M->BodyLength = 0;
    mPending      = Token;
    mDueUs        = 0;
    return EFI_SUCCESS;
  }

  if (mSent >= N.BodyHangsAt) {
    return EFI_SUCCESS;
  }

  UINTN  Count = std::min ({ M->BodyLength, N.Fragment, mBody.size () - mSent, N.BodyHangsAt - mSent });

  if (Count == 0) {
    Token->Status = N.EarlyEnd;
  }

  // HttpDxe may wait inside the call itself: time our stalls never see.
  Fake::gState->ClockUs += N.FragmentInCallUs;
  std::memcpy (M->Body, mBody.data () + mSent, Count);
  mSent        += Count;
  M->BodyLength = Count;
  mPending      = Token;
  mDueUs        = Fake::gState->ClockUs + N.FragmentUs;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
Cancel (
  IN EFI_HTTP_PROTOCOL  *This,
  IN EFI_HTTP_TOKEN     *Token
  )
{
  Net ().Cancels++;
  if (mPending == Token) {
    mPending = nullptr;
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
Poll (
  IN EFI_HTTP_PROTOCOL  *This
  )
{
  EFI_HTTP_TOKEN  *Token = mPending;

  Net ().Polls++;
  if (Fake::gState->ClockUs < mDueUs) {
    return EFI_SUCCESS;
  }

  mPending = nullptr;
  if (Token != nullptr) {
    if (Token->Status == EFI_NOT_READY) {
      Token->Status = EFI_SUCCESS;
    }

    Signal (Token);
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
GetData (
  IN     EFI_IP4_CONFIG2_PROTOCOL   *This,
  IN     EFI_IP4_CONFIG2_DATA_TYPE  DataType,
  IN OUT UINTN                      *DataSize,
  IN     VOID                       *Data   OPTIONAL
  )
{
  if (DataType == Ip4Config2DataTypePolicy) {
    if (*DataSize < sizeof (EFI_IP4_CONFIG2_POLICY)) {
      *DataSize = sizeof (EFI_IP4_CONFIG2_POLICY);
      return EFI_BUFFER_TOO_SMALL;
    }

    *static_cast<EFI_IP4_CONFIG2_POLICY *>(Data) = Net ().Policy;
    return EFI_SUCCESS;
  }

  if (DataType != Ip4Config2DataTypeInterfaceInfo) {
    return EFI_NOT_FOUND;
  }

  if (*DataSize < sizeof (EFI_IP4_CONFIG2_INTERFACE_INFO)) {
    *DataSize = sizeof (EFI_IP4_CONFIG2_INTERFACE_INFO);
    return EFI_BUFFER_TOO_SMALL;
  }

  auto  *Info = static_cast<EFI_IP4_CONFIG2_INTERFACE_INFO *>(Data);

  *Info               = {};
  Info->HwAddressSize = static_cast<UINT32>(Net ().Mac.size ());
  std::memcpy (Info->HwAddress.Addr, Net ().Mac.data (), Net ().Mac.size ());
  if (AddressNow ()) {
    Info->StationAddress = { { 10, 0, 2, 15 } };
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SetData (
  IN EFI_IP4_CONFIG2_PROTOCOL   *This,
  IN EFI_IP4_CONFIG2_DATA_TYPE  DataType,
  IN UINTN                      DataSize,
  IN VOID                       *Data
  )
{
  auto  &N = Net ();

  if ((DataType != Ip4Config2DataTypePolicy) || (DataSize != sizeof (EFI_IP4_CONFIG2_POLICY))) {
    return EFI_UNSUPPORTED;
  }

  N.Policy = *static_cast<EFI_IP4_CONFIG2_POLICY *>(Data);
  N.PolicySets.push_back (N.Policy);
  N.HasAddress  = FALSE;
  N.DhcpRunning = (N.Policy == Ip4Config2PolicyDhcp);
  N.DhcpStartUs = Fake::gState->ClockUs;
  return EFI_SUCCESS;
}

}  // namespace

extern "C" {
EFI_GUID  gEfiHttpServiceBindingProtocolGuid = EFI_HTTP_SERVICE_BINDING_PROTOCOL_GUID;
EFI_GUID  gEfiHttpProtocolGuid               = EFI_HTTP_PROTOCOL_GUID;
EFI_GUID  gEfiIp4Config2ProtocolGuid         = EFI_IP4_CONFIG2_PROTOCOL_GUID;
}

namespace Fake {

/**
  Wire the network edge into fresh boot services and forget the depot's
  state, as a freshly loaded image has it.

  @param[in, out] Bs   The fake boot services.
**/
void
ResetNetwork (
  EFI_BOOT_SERVICES  *Bs
  )
{
  Bs->LocateHandleBuffer = LocateHandleBuffer;
  Bs->HandleProtocol     = HandleProtocol;
  Bs->CreateEvent        = CreateEvent;
  Bs->CloseEvent         = CloseEvent;
  Bs->SetTimer           = SetTimer;
  Bs->CheckEvent         = CheckEvent;
  mHttpSb                = { CreateChild, DestroyChild };
  mHttp                  = { nullptr, Configure, Request, Cancel, Response, Poll };
  mIp4Config2            = { SetData, GetData, nullptr, nullptr };
  mPending               = nullptr;
  mDueUs                 = 0;
  mNextEvent             = 0;
  mTimerDueUs.clear ();
  mDepot                 = {};
}

}  // namespace Fake
