/** @file
  The depot's URLs: the base a caller may give, and the file names put
  after it.

**/

extern "C" {
#include <Uefi.h>
}

#include "DepotInternal.h"

BOOLEAN
DepotUrlIsValid (
  IN CONST CHAR16  *Url
  )
{
  STATIC CONST char16_t  mScheme[] = u"http://";
  UINTN                  Length;
  UINTN                  Index;
  UINTN                  Start;
  UINT32                 Port;

  if (Url == NULL) {
    return FALSE;
  }

  //
  // A query, a fragment or user information would swallow the names put
  // after the base; a backslash is no separator to a server.
  //
  for (Length = 0; Url[Length] != 0; Length++) {
    if ((Length >= DEPOT_URL_CHARS) || (Url[Length] <= 0x20) || (Url[Length] >= 0x7F) ||
        (Url[Length] == u'?') || (Url[Length] == u'#') || (Url[Length] == u'@') || (Url[Length] == u'\\'))
    {
      return FALSE;
    }
  }

  for (Index = 0; mScheme[Index] != 0; Index++) {
    if (Url[Index] != mScheme[Index]) {
      return FALSE;
    }
  }

  for (Start = Index; (Url[Index] >= u'a' && Url[Index] <= u'z') || (Url[Index] >= u'A' && Url[Index] <= u'Z') ||
                      (Url[Index] >= u'0' && Url[Index] <= u'9') || Url[Index] == u'.' || Url[Index] == u'-'; Index++) {
  }

  if (Index == Start) {
    return FALSE;
  }

  if (Url[Index] == u':') {
    Port = 0;
    for (Start = ++Index; Url[Index] >= u'0' && Url[Index] <= u'9' && Index - Start < 5; Index++) {
      Port = Port * 10 + (Url[Index] - u'0');
    }

    if ((Index == Start) || (Port == 0) || (Port > 0xFFFF)) {
      return FALSE;
    }
  }

  return Url[Index] == u'/' && Url[Length - 1] == u'/';
}

BOOLEAN
DepotFileUrl (
  IN  CONST CHAR8  *Name,
  OUT CHAR16       *Url
  )
{
  UINTN  Base;
  UINTN  Index;
  UINTN  Folder;
  CHAR8  C;

  if (Name == NULL) {
    return FALSE;
  }

  //
  // At most one folder, of letters and digits, in front of the file name.
  //
  for (Folder = 0; Name[Folder] != 0 && Name[Folder] != '/'; Folder++) {
  }

  if (Name[Folder] == '/') {
    for (Index = 0; Index < Folder; Index++) {
      C = Name[Index];
      if (!((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9'))) {
        return FALSE;
      }
    }

    if ((Folder == 0) || (Folder > DEPOT_DAY_CHARS)) {
      return FALSE;
    }

    Folder++;
  } else {
    Folder = 0;
  }

  if (Name[Folder] == '.') {
    return FALSE;
  }

  for (Base = 0; mDepot.BaseUrl[Base] != 0; Base++) {
    Url[Base] = mDepot.BaseUrl[Base];
  }

  for (Index = 0; Name[Index] != 0; Index++) {
    C = Name[Index];
    if ((Index >= DEPOT_NAME_CHARS) ||
        ((Index >= Folder) && !((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '.' || C == '_' || C == '-')))
    {
      return FALSE;
    }

    Url[Base + Index] = static_cast<CHAR16>(C);
  }

  Url[Base + Index] = 0;
  return Index > Folder;
}
