/** @file
  The depot's transfers: PUT and GET of one file under the base URL, on
  EFI_HTTP_PROTOCOL directly.

  Each request asks for "Connection:
  close": a run can sit for minutes between two transfers, long past a
  server's keep-alive, and HttpDxe then connects afresh rather than write
  into a connection the server has dropped. Whatever the server answers is
  untrusted: its Content-Length is parsed strictly and the body is held to
  it and to the caller's buffer.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

#include "DepotInternal.h"

//
// Content-Length digits we accept (above any size a buffer can have).
//
#define DEPOT_LENGTH_DIGITS   18

STATIC CHAR8  mFieldHost[]       = "Host";
STATIC CHAR8  mFieldConnection[] = "Connection";
STATIC CHAR8  mValueClose[]      = "close";
STATIC CHAR8  mFieldLength[]     = "Content-Length";

/**
  Read a Content-Length value strictly: digits only, with blanks around.

  @param[in]  Text     The header's value.
  @param[out] Length   Receives the number.

  @retval TRUE    A number.
  @retval FALSE   Anything else, or too long to be a size.
**/
STATIC
BOOLEAN
ParseLength (
  IN  CONST CHAR8  *Text,
  OUT UINT64       *Length
  )
{
  UINTN  Digits;

  while (*Text == ' ' || *Text == '\t') {
    Text++;
  }

  for (*Length = 0, Digits = 0; *Text >= '0' && *Text <= '9'; Text++, Digits++) {
    if (Digits == DEPOT_LENGTH_DIGITS) {
      return FALSE;
    }

    *Length = *Length * 10 + static_cast<UINT64>(*Text - '0');
  }

  while (*Text == ' ' || *Text == '\t') {
    Text++;
  }

  return Digits > 0 && *Text == 0;
}

/**
  Receive an answer's status line and headers, and release the headers.

  @param[out] Length      Receives the Content-Length.
  @param[out] HasLength   TRUE when there was one; every copy must agree.
  @param[in, out] Spent   Microseconds waited so far.

  @retval EFI_SUCCESS          A 2xx answer.
  @retval EFI_ACCESS_DENIED    409: the name is taken.
  @retval EFI_HTTP_ERROR       Another answer.
  @retval EFI_PROTOCOL_ERROR   A Content-Length that is no number, or
                               copies that disagree.
  @return The failure of Response or of the wait.
**/
STATIC
EFI_STATUS
ReceiveHeaders (
  OUT    UINT64   *Length,
  OUT    BOOLEAN  *HasLength,
  IN OUT UINT64   *Spent
  )
{
  DEPOT_TOKEN      T;
  EFI_STATUS       Status;
  EFI_STATUS       Answer;
  EFI_HTTP_HEADER  *Header;
  UINT64           Value;
  UINTN            Index;

  T                       = {};
  T.Response.StatusCode   = HTTP_STATUS_UNSUPPORTED_STATUS;
  T.Message.Data.Response = &T.Response;
  Status                  = DepotRunToken (&T, FALSE, DEPOT_IDLE_US, Spent);

  //
  // HttpDxe completes a 3xx to 5xx answer with EFI_HTTP_ERROR: the headers
  // are there all the same, to be released.
  //
  Answer     = EFI_SUCCESS;
  *HasLength = FALSE;
  *Length    = 0;
  for (Index = 0; Index < T.Message.HeaderCount && T.Message.Headers != NULL; Index++) {
    Header = &T.Message.Headers[Index];
    if ((Header->FieldName != NULL) && (Header->FieldValue != NULL) && (AsciiStriCmp (Header->FieldName, mFieldLength) == 0)) {
      if (!ParseLength (Header->FieldValue, &Value) || (*HasLength && (Value != *Length))) {
        Answer = EFI_PROTOCOL_ERROR;
      }

      *Length    = Value;
      *HasLength = TRUE;
    }

    if (Header->FieldName != NULL) {
      FreePool (Header->FieldName);
    }

    if (Header->FieldValue != NULL) {
      FreePool (Header->FieldValue);
    }
  }

  if (T.Message.Headers != NULL) {
    FreePool (T.Message.Headers);
  }

  //
  // A depot answers 409 to a PUT of a name it already holds: it never lets
  // a save or a log be written over.
  //
  if (T.Response.StatusCode == HTTP_STATUS_409_CONFLICT) {
    return EFI_ACCESS_DENIED;
  }

  if ((T.Response.StatusCode < HTTP_STATUS_200_OK) || (T.Response.StatusCode > HTTP_STATUS_206_PARTIAL_CONTENT)) {
    return EFI_ERROR (Status) && (Status != EFI_HTTP_ERROR) ? Status : EFI_HTTP_ERROR;
  }

  return EFI_ERROR (Status) ? Status : Answer;
}

/**
  Receive a body of known length, a fragment per Response call.

  @param[out]     Buffer   Receives Length bytes.
  @param[in]      Length   The announced length.
  @param[in, out] Spent    Microseconds waited so far.

  @retval EFI_SUCCESS          All Length bytes came.
  @retval EFI_PROTOCOL_ERROR   The body ended early, or a fragment overran.
  @retval EFI_TIMEOUT          A fragment, or the whole, took too long.
  @return The failure of Response or of the token.
**/
STATIC
EFI_STATUS
ReceiveBody (
  OUT    UINT8   *Buffer,
  IN     UINTN   Length,
  IN OUT UINT64  *Spent
  )
{
  DEPOT_TOKEN  T;
  EFI_STATUS   Status;
  UINTN        Got;
  UINT64       Limit;
  EFI_EVENT    Deadline;

  //
  // Our stalls count only the time spent between calls; HttpDxe may wait
  // inside Response as well, so the body's deadline is also a timer.
  //
  Limit  = *Spent + DEPOT_IDLE_US + (Length / DEPOT_MIN_RATE) * DEPOT_SECOND_US;
  Status = gBS->CreateEvent (EVT_TIMER, TPL_CALLBACK, NULL, NULL, &Deadline);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = gBS->SetTimer (Deadline, TimerRelative, (Limit - *Spent) * 10);
  for (Got = 0; Got < Length && !EFI_ERROR (Status); Got += T.Message.BodyLength) {
    if ((*Spent >= Limit) || (gBS->CheckEvent (Deadline) == EFI_SUCCESS)) {
      Status = EFI_TIMEOUT;
      break;
    }

    //
    // A fragment waits no longer than the whole has left: one asked for
    // just before the deadline would otherwise get the full idle bound.
    //
    T                    = {};
    T.Message.Body       = Buffer + Got;
    T.Message.BodyLength = Length - Got;
    Status               = DepotRunToken (&T, FALSE, MIN (DEPOT_IDLE_US, Limit - *Spent), Spent);
    if (!EFI_ERROR (Status) && ((T.Message.BodyLength == 0) || (T.Message.BodyLength > Length - Got))) {
      Status = EFI_PROTOCOL_ERROR;
    }
  }

  gBS->CloseEvent (Deadline);
  return Status;
}

/**
  Send one request for a file under the base URL.

  @param[in]      Method   GET or PUT.
  @param[in]      Url      The file's URL.
  @param[in]      Data     The body of a PUT.
  @param[in]      Size     Its size.
  @param[in, out] Spent    Microseconds waited so far.

  @return The status of Request or of its token.
**/
STATIC
EFI_STATUS
SendRequest (
  IN     EFI_HTTP_METHOD  Method,
  IN     CHAR16           *Url,
  IN     CONST VOID       *Data,
  IN     UINTN            Size,
  IN OUT UINT64           *Spent
  )
{
  DEPOT_TOKEN      T;
  EFI_HTTP_HEADER  Headers[3];
  CHAR8            LengthText[24];

  //
  // HttpDxe sends a PUT's body with no length of its own.
  //
  AsciiSPrint (LengthText, sizeof (LengthText), "%Lu", static_cast<UINT64>(Size));
  Headers[0]            = { mFieldHost, mDepot.Host };
  Headers[1]            = { mFieldConnection, mValueClose };
  Headers[2]            = { mFieldLength, LengthText };
  T                     = {};
  T.Request.Method      = Method;
  T.Request.Url         = Url;
  T.Message.Data.Request = &T.Request;
  T.Message.Headers     = Headers;
  T.Message.HeaderCount = (Method == HttpMethodPut) ? 3 : 2;
  T.Message.Body        = (Method == HttpMethodPut) ? const_cast<VOID *>(Data) : NULL;
  T.Message.BodyLength  = (Method == HttpMethodPut) ? Size : 0;
  return DepotRunToken (&T, TRUE, DEPOT_IDLE_US + (Size / DEPOT_MIN_RATE) * DEPOT_SECOND_US, Spent);
}

EFI_STATUS
DepotPut (
  IN CONST CHAR8  *Name,
  IN CONST VOID   *Data,
  IN UINTN        Size
  )
{
  CHAR16      Url[DEPOT_URL_CHARS + DEPOT_NAME_CHARS + 1];
  EFI_STATUS  Status;
  UINT64      Spent;
  UINT64      Length;
  BOOLEAN     HasLength;

  if (!mDepot.Connected) {
    return EFI_NOT_READY;
  }

  if (!DepotFileUrl (Name, Url) || ((Data == NULL) && (Size > 0))) {
    return EFI_INVALID_PARAMETER;
  }

  Spent     = 0;
  Length    = 0;
  HasLength = FALSE;
  Status    = SendRequest (HttpMethodPut, Url, Data, Size, &Spent);
  if (!EFI_ERROR (Status)) {
    Status = ReceiveHeaders (&Length, &HasLength, &Spent);
  }

  //
  // An answer body left unread would be taken for the next answer's start.
  //
  if (EFI_ERROR (Status) || (HasLength && (Length > 0))) {
    DepotResetChild ();
  }

  return Status;
}

EFI_STATUS
DepotGet (
  IN  CONST CHAR8  *Name,
  OUT VOID         *Buffer,
  IN  UINTN        Size,
  OUT UINTN        *Got
  )
{
  CHAR16      Url[DEPOT_URL_CHARS + DEPOT_NAME_CHARS + 1];
  EFI_STATUS  Status;
  UINT64      Spent;
  UINT64      Length;
  BOOLEAN     HasLength;

  if (Got != NULL) {
    *Got = 0;
  }

  if (!mDepot.Connected) {
    return EFI_NOT_READY;
  }

  if (!DepotFileUrl (Name, Url) || (Got == NULL) || ((Buffer == NULL) && (Size > 0))) {
    return EFI_INVALID_PARAMETER;
  }

  Spent     = 0;
  Length    = 0;
  HasLength = FALSE;
  Status    = SendRequest (HttpMethodGet, Url, NULL, 0, &Spent);
  if (!EFI_ERROR (Status)) {
    Status = ReceiveHeaders (&Length, &HasLength, &Spent);
  }

  if (!EFI_ERROR (Status) && !HasLength) {
    Status = EFI_PROTOCOL_ERROR;
  }

  if (!EFI_ERROR (Status) && (Length > Size)) {
    Status = EFI_BUFFER_TOO_SMALL;
  }

  if (!EFI_ERROR (Status) && (Length > 0)) {
    Status = ReceiveBody (static_cast<UINT8 *>(Buffer), static_cast<UINTN>(Length), &Spent);
  }

  if (EFI_ERROR (Status)) {
    DepotResetChild ();
    return Status;
  }

  *Got = static_cast<UINTN>(Length);
  return EFI_SUCCESS;
}
