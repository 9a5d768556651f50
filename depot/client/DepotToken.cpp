/** @file
  The depot's tokens: each handed to HttpDxe with an event whose
  notification marks it done, then polled against a deadline counted in
  our own stalls and cancelled once it passes, so that a server or driver
  that stops answering ends the call instead of the run.

**/

extern "C" {
#include <Uefi.h>
#include <Library/UefiBootServicesTableLib.h>
}

#include "DepotInternal.h"

/**
  Note that a token completed.

  @param[in] Event     The token's event.
  @param[in] Context   The token's Done flag.
**/
STATIC
VOID
EFIAPI
TokenDone (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  *static_cast<volatile BOOLEAN *>(Context) = TRUE;
}

/**
  Poll the HTTP child until a token completes or its time is up; a token
  whose time is up is cancelled.

  @param[in, out] T       The token, queued.
  @param[in]      Limit   Microseconds it may take.
  @param[in, out] Spent   Microseconds waited so far; this wait's are added.

  @retval EFI_TIMEOUT   It did not complete in time.
  @return The token's own status.
**/
STATIC
EFI_STATUS
WaitToken (
  IN OUT DEPOT_TOKEN  *T,
  IN     UINT64       Limit,
  IN OUT UINT64       *Spent
  )
{
  UINT64  Waited;

  for (Waited = 0; ; Waited += DEPOT_POLL_US) {
    mDepot.Http->Poll (mDepot.Http);
    if (T->Done) {
      break;
    }

    if (Waited >= Limit) {
      mDepot.Http->Cancel (mDepot.Http, &T->Token);
      *Spent += Waited;
      return EFI_TIMEOUT;
    }

    gBS->Stall (DEPOT_POLL_US);
  }

  *Spent += Waited;
  return T->Token.Status;
}

EFI_STATUS
DepotRunToken (
  IN OUT DEPOT_TOKEN  *T,
  IN     BOOLEAN      IsRequest,
  IN     UINT64       Limit,
  IN OUT UINT64       *Spent
  )
{
  EFI_STATUS  Status;

  T->Done            = FALSE;
  T->Token.Message   = &T->Message;
  T->Token.Status    = EFI_NOT_READY;
  Status             = gBS->CreateEvent (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, TokenDone, const_cast<BOOLEAN *>(&T->Done), &T->Token.Event);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = IsRequest ? mDepot.Http->Request (mDepot.Http, &T->Token) : mDepot.Http->Response (mDepot.Http, &T->Token);
  if (!EFI_ERROR (Status)) {
    Status = WaitToken (T, Limit, Spent);
  }

  gBS->CloseEvent (T->Token.Event);
  return Status;
}
