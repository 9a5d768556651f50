/** @file
  What the capsule and hardware ID code calls of the firmware, as
  BaseMemoryLib and BaseCryptLib give it there, for the host's tools
  (make plan, make capsule's hardware ID check): the host's C library and
  OpenSSL.

**/

#include <cstring>

#include <openssl/evp.h>

extern "C" {
#include <Uefi.h>
#include <Library/BaseCryptLib.h>
#include <Library/BaseMemoryLib.h>
}

//
// The memory calls the capsule parser makes, as the firmware's BaseMemoryLib.
//
extern "C" {
VOID *
EFIAPI
CopyMem (
  OUT VOID       *Destination,
  IN CONST VOID  *Source,
  IN UINTN       Length
  )
{
  return std::memmove (Destination, Source, Length);
}

VOID *
EFIAPI
ZeroMem (
  OUT VOID  *Buffer,
  IN UINTN  Length
  )
{
  return std::memset (Buffer, 0, Length);
}

INTN
EFIAPI
CompareMem (
  IN CONST VOID  *DestinationBuffer,
  IN CONST VOID  *SourceBuffer,
  IN UINTN       Length
  )
{
  return std::memcmp (DestinationBuffer, SourceBuffer, Length);
}

GUID *
EFIAPI
CopyGuid (
  OUT GUID       *DestinationGuid,
  IN CONST GUID  *SourceGuid
  )
{
  return static_cast<GUID *>(std::memcpy (DestinationGuid, SourceGuid, sizeof (GUID)));
}

BOOLEAN
EFIAPI
CompareGuid (
  IN CONST GUID  *Guid1,
  IN CONST GUID  *Guid2
  )
{
  return std::memcmp (Guid1, Guid2, sizeof (GUID)) == 0;
}

//
// The SHA-1 the hardware IDs are made with, as BaseCryptLib gives it on
// firmware: here the host's OpenSSL, the context holding its EVP context.
//
UINTN
EFIAPI
Sha1GetContextSize (
  VOID
  )
{
  return sizeof (EVP_MD_CTX *);
}

BOOLEAN
EFIAPI
Sha1Init (
  OUT VOID  *Context
  )
{
  EVP_MD_CTX  *Md = EVP_MD_CTX_new ();

  std::memcpy (Context, &Md, sizeof (Md));
  return (Md != nullptr) && (EVP_DigestInit_ex (Md, EVP_sha1 (), nullptr) == 1);
}

BOOLEAN
EFIAPI
Sha1Update (
  IN OUT VOID    *Context,
  IN CONST VOID  *Data,
  IN UINTN       Size
  )
{
  EVP_MD_CTX  *Md;

  std::memcpy (&Md, Context, sizeof (Md));
  return EVP_DigestUpdate (Md, Data, Size) == 1;
}

BOOLEAN
EFIAPI
Sha1Final (
  IN OUT VOID  *Context,
  OUT UINT8    *HashValue
  )
{
  EVP_MD_CTX  *Md;
  bool        Done;

  std::memcpy (&Md, Context, sizeof (Md));
  Done = EVP_DigestFinal_ex (Md, HashValue, nullptr) == 1;
  EVP_MD_CTX_free (Md);
  return Done;
}
}
