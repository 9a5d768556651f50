/** @file
  The command line: Morvane's own options and their refusals, and the image
  path.

    Morvane [-v | -u] [-c CRC32] [-m MODEL] [-s SAVEFILE] [-l LOGFILE] [-p URL] IMAGE
    Morvane -s SAVEFILE -n BLOCKS [-m MODEL] [-l LOGFILE] [-p URL]
    Morvane -i

  Without Morvane's own options the command line is read as it always was:
  one image name, the shell's "-?" and "-b", and the silent exits. With any
  of them, every refusal prints one usage line and returns
  EFI_INVALID_PARAMETER before any device is touched.

**/

extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/ShellLib.h>
#include <Library/UefiLib.h>
}

#include "CommandLine.h"
#include "Depot.h"
#include "EcImagePlan.h"
#include "EcRun.h"
#include "Ucs2.h"

#define CRC_DIGITS  8

//
// Longer than any product name a machine's firmware carries.
//
#define MODEL_CHARS  64

STATIC CONST char16_t  mUsage[] =
  u"Usage: Morvane [-v|-u] [-c CRC] [-m MODEL] [-s SAVE] [-l LOG] [-p URL] IMAGE\r\n"
  u"       Morvane -s SAVE -n N [-m MODEL] [-l LOG] [-p URL]\r\n"
  u"       Morvane -i\r\n";

STATIC CONST char16_t  mOutOfMemory[] = u"Out of memory for the image path.\r\n";

//
// Morvane's own options, in the order the usage line gives them: the flags
// first, then those that take a value.
//
STATIC CONST char16_t  *CONST  mOwnOptions[] = { u"-v", u"-u", u"-c", u"-m", u"-s", u"-l", u"-p", u"-n" };

#define FIRST_VALUE_OPTION  2

/**
  The value of an option; the shell library's signature takes the key as
  writable, though it only reads it.

  @param[in] Package   The parsed command line.
  @param[in] Key       The option.

  @return Its value, or NULL when it has none.
**/
STATIC
CONST CHAR16 *
GetValue (
  IN CONST LIST_ENTRY  *Package,
  IN CONST char16_t    *Key
  )
{
  return ShellCommandLineGetValue (Package, const_cast<CHAR16 *>(Ucs2 (Key)));
}

/**
  Tell whether a name is a pattern rather than one file.

  @param[in] Name   The name as typed.

  @retval TRUE   It holds a wildcard character of the shell.
**/
STATIC
BOOLEAN
HasWildcard (
  IN CONST CHAR16  *Name
  )
{
  for ( ; *Name != 0; Name++) {
    if ((*Name == u'*') || (*Name == u'?') || (*Name == u'[')) {
      return TRUE;
    }
  }

  return FALSE;
}

/**
  Build the path to open from the name as typed: the name itself when the
  shell finds it, otherwise the current directory, a backslash and the name.

  @param[in]  CurDir   The shell's current directory.
  @param[in]  Name     The image name as typed.
  @param[out] Path     Receives the path in pool memory; NULL on failure.

  @retval EFI_SUCCESS            *Path is set.
  @retval EFI_OUT_OF_RESOURCES   No pool for the path.
  @return                        The status of ShellFileExists for a path that is not there.
**/
STATIC
EFI_STATUS
BuildImagePath (
  IN  CONST CHAR16  *CurDir,
  IN  CONST CHAR16  *Name,
  OUT CHAR16        **Path
  )
{
  EFI_STATUS  Status;
  CHAR16      *Directory;

  if (!EFI_ERROR (ShellFileExists (Name))) {
    *Path = CatSPrint (NULL, Ucs2 (u"%s"), Name);
    return (*Path == NULL) ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
  }

  Directory = CatSPrint (NULL, Ucs2 (u"%s"), CurDir);
  if (Directory == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  *Path = CatSPrint (Directory, Ucs2 (u"\\%s"), Name);
  FreePool (Directory);
  if (*Path == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Status = ShellFileExists (*Path);
  if (EFI_ERROR (Status)) {
    FreePool (*Path);
    *Path = NULL;
  }

  return Status;
}

/**
  Resolve the image name to the path to open, ending the run for a name
  that cannot be flashed.

  @param[in]  CurDir   The shell's current directory.
  @param[in]  Name     The image name as typed.
  @param[out] Path     Receives the path, or NULL when the run ends here.

  @return The status to end with, or the one the run continues from.
**/
STATIC
EFI_STATUS
ResolveName (
  IN  CONST CHAR16  *CurDir,
  IN  CONST CHAR16  *Name,
  OUT CHAR16        **Path
  )
{
  EFI_STATUS  Status;

  //
  // The shell's lookup accepts a pattern; the open would then fail with the
  // keyboard already switched off.
  //
  if (HasWildcard (Name)) {
    return EndRun (EFI_INVALID_PARAMETER, Ucs2 (u"Name one image file: wildcards are not accepted.\r\n"));
  }

  Status = BuildImagePath (CurDir, Name, Path);
  if (Status == EFI_OUT_OF_RESOURCES) {
    return EndRun (Status, Ucs2 (mOutOfMemory));
  }

  if (EFI_ERROR (Status)) {
    return EndRun (Status, Ucs2 (u"File is not exists."));
  }

  //
  // Reading a directory would stream its records into the EC.
  //
  if (ShellIsDirectory (*Path) == EFI_SUCCESS) {
    EndRun (EFI_INVALID_PARAMETER, Ucs2 (u"%s is a directory, not an image file.\r\n"), *Path);
    FreePool (*Path);
    *Path = NULL;
    return EFI_INVALID_PARAMETER;
  }

  return Status;
}

/**
  Resolve the image name of a run with options to the path to open; the
  run calls it once its log is open, so that the refusal is logged.

  @param[in, out] Options   ImageName in; ImagePath out (NULL when refused).

  @return The status to end with when ImagePath is NULL.
**/
STATIC
EFI_STATUS
EFIAPI
ResolveImageInShell (
  IN OUT MORVANE_OPTIONS  *Options
  )
{
  CONST CHAR16  *CurDir;

  CurDir = ShellGetCurrentDir (NULL);
  if (CurDir == NULL) {
    return EndRun (EFI_INVALID_PARAMETER, Ucs2 (mUsage));
  }

  return ResolveName (CurDir, Options->ImageName, &Options->ImagePath);
}

/**
  A name as a full path, for telling whether two names are one file: a
  name with a mapping stays as it is, one from the root takes the current
  mapping, any other goes under the current directory.

  @param[in] CurDir   The shell's current directory ("FS0:\dir").
  @param[in] Name     The name as typed.

  @return The full path in pool memory, or NULL.
**/
STATIC
CHAR16 *
FullPath (
  IN CONST CHAR16  *CurDir,
  IN CONST CHAR16  *Name
  )
{
  CHAR16  *Mapping;
  CHAR16  *Colon;
  CHAR16  *Path;
  UINTN   Length;

  if (StrStr (Name, Ucs2 (u":")) != NULL) {
    return CatSPrint (NULL, Ucs2 (u"%s"), Name);
  }

  if (Name[0] == u'\\') {
    Mapping = CatSPrint (NULL, Ucs2 (u"%s"), CurDir);
    Colon   = (Mapping == NULL) ? NULL : StrStr (Mapping, Ucs2 (u":"));
    if (Colon != NULL) {
      Colon[1] = 0;
    }

    if (Mapping == NULL) {
      return NULL;
    }

    Path = CatSPrint (Mapping, Ucs2 (u"%s"), Name);
    FreePool (Mapping);
    return Path;
  }

  Length = StrLen (CurDir);
  if ((Length > 0) && (CurDir[Length - 1] == u'\\')) {
    return CatSPrint (NULL, Ucs2 (u"%s%s"), CurDir, Name);
  }

  return CatSPrint (NULL, Ucs2 (u"%s\\%s"), CurDir, Name);
}

/**
  Compare two paths as the FAT file system does: without regard to case.

  @retval TRUE   They name the same file.
**/
STATIC
BOOLEAN
SamePath (
  IN CONST CHAR16  *First,
  IN CONST CHAR16  *Second
  )
{
  if ((First == NULL) || (Second == NULL)) {
    return FALSE;
  }

  for ( ; *First != 0 && CharToUpper (*First) == CharToUpper (*Second); First++, Second++) {
  }

  return *First == *Second;
}

/**
  Tell whether a model name can be compared with the machine's: printable
  ASCII, not blank, at most MODEL_CHARS characters.

  @param[in] Text   The name as given.

  @retval TRUE   It can.
**/
STATIC
BOOLEAN
IsModelText (
  IN CONST CHAR16  *Text
  )
{
  UINTN    Length;
  BOOLEAN  Blank;

  Blank = TRUE;
  for (Length = 0; Text[Length] != 0; Length++) {
    if ((Text[Length] < 0x20) || (Text[Length] >= 0x7F) || (Length == MODEL_CHARS)) {
      return FALSE;
    }

    Blank = Blank && (Text[Length] == u' ');
  }

  return !Blank;
}

/**
  Read a number of blocks: decimal, 1 to MAX_BLOCKS.

  @retval TRUE   Blocks is set.
**/
STATIC
BOOLEAN
ReadBlockCount (
  IN  CONST CHAR16  *Text,
  OUT UINT32        *Blocks
  )
{
  UINTN  Digits;

  *Blocks = 0;
  for (Digits = 0; Text[Digits] != 0; Digits++) {
    if ((Text[Digits] < u'0') || (Text[Digits] > u'9') || (Digits == 3)) {
      return FALSE;
    }

    *Blocks = *Blocks * 10 + (Text[Digits] - u'0');
  }

  return (*Blocks >= 1) && (*Blocks <= MAX_BLOCKS);
}

/**
  Read a CRC-32: exactly eight hexadecimal digits.

  @retval TRUE   Crc is set.
**/
STATIC
BOOLEAN
ReadCrc (
  IN  CONST CHAR16  *Text,
  OUT UINT32        *Crc
  )
{
  UINTN   Index;
  CHAR16  Digit;

  *Crc = 0;
  for (Index = 0; Index < CRC_DIGITS; Index++) {
    Digit = CharToUpper (Text[Index]);
    if ((Digit >= u'0') && (Digit <= u'9')) {
      *Crc = (*Crc << 4) | static_cast<UINT32>(Digit - u'0');
    } else if ((Digit >= u'A') && (Digit <= u'F')) {
      *Crc = (*Crc << 4) | static_cast<UINT32>(Digit - u'A' + 10);
    } else {
      return FALSE;
    }
  }

  return Text[CRC_DIGITS] == 0;
}

/**
  Tell whether any of Morvane's own options was given.
**/
STATIC
BOOLEAN
HasOwnOption (
  IN CONST LIST_ENTRY  *Package
  )
{
  UINTN  Index;

  for (Index = 0; Index < ARRAY_SIZE (mOwnOptions); Index++) {
    if (ShellCommandLineGetFlag (Package, Ucs2 (mOwnOptions[Index]))) {
      return TRUE;
    }
  }

  return FALSE;
}

/**
  Read Morvane's own options into Options, checking every rule of the two
  command forms.

  @retval TRUE   The command line holds; Options is filled in.
**/
STATIC
BOOLEAN
ReadOwnOptions (
  IN  CONST LIST_ENTRY  *Package,
  OUT MORVANE_OPTIONS   *Options
  )
{
  UINTN         Index;
  CONST CHAR16  *Name;
  CONST CHAR16  *CurDir;
  CONST CHAR16  *Save;
  CONST CHAR16  *Log;
  CONST CHAR16  *Model;
  CONST CHAR16  *Url;
  CHAR16        *ImageFull;
  BOOLEAN       SaveAlone;
  BOOLEAN       Holds;

  for (Index = FIRST_VALUE_OPTION; Index < ARRAY_SIZE (mOwnOptions); Index++) {
    if (ShellCommandLineGetFlag (Package, Ucs2 (mOwnOptions[Index])) &&
        (GetValue (Package, mOwnOptions[Index]) == NULL))
    {
      return FALSE;
    }
  }

  Name      = ShellCommandLineGetRawValue (Package, 1);
  Save      = GetValue (Package, u"-s");
  Log       = GetValue (Package, u"-l");
  Model     = GetValue (Package, u"-m");
  Url       = GetValue (Package, u"-p");
  SaveAlone = ShellCommandLineGetFlag (Package, Ucs2 (u"-n"));
  Options->HasCrc = ShellCommandLineGetFlag (Package, Ucs2 (u"-c"));
  Options->Update = ShellCommandLineGetFlag (Package, Ucs2 (u"-u"));
  if ((ShellCommandLineGetRawValue (Package, 2) != NULL) ||
      (Options->Update && (SaveAlone || ShellCommandLineGetFlag (Package, Ucs2 (u"-v")))) ||
      (SaveAlone && ((Save == NULL) || (Name != NULL) || Options->HasCrc ||
                     ShellCommandLineGetFlag (Package, Ucs2 (u"-v")))) ||
      (!SaveAlone && (Name == NULL)) ||
      (SaveAlone && !ReadBlockCount (GetValue (Package, u"-n"), &Options->SaveBlocks)) ||
      (Options->HasCrc && !ReadCrc (GetValue (Package, u"-c"), &Options->ExpectedCrc)) ||
      ((Save != NULL) && HasWildcard (Save)) ||
      ((Log != NULL) && HasWildcard (Log)) ||
      ((Model != NULL) && !IsModelText (Model)) ||
      ((Url != NULL) && !DepotUrlIsValid (Url)))
  {
    return FALSE;
  }

  CurDir = ShellGetCurrentDir (NULL);
  if (CurDir == NULL) {
    return FALSE;
  }

  Options->Mode = SaveAlone ? ModeSave : ShellCommandLineGetFlag (Package, Ucs2 (u"-v")) ? ModeVerify : ModeFlash;
  ImageFull     = NULL;
  if (Name != NULL) {
    Options->ImageName = CatSPrint (NULL, Ucs2 (u"%s"), Name);
    ImageFull          = FullPath (CurDir, Name);
  }

  Options->Model    = (Model != NULL) ? CatSPrint (NULL, Ucs2 (u"%s"), Model) : NULL;
  Options->DepotUrl = (Url != NULL) ? CatSPrint (NULL, Ucs2 (u"%s"), Url) : NULL;
  Options->SavePath = (Save != NULL) ? FullPath (CurDir, Save) : NULL;
  Options->LogPath  = (Log != NULL) ? FullPath (CurDir, Log) : NULL;

  //
  // A save or a log written over the image, or over each other, would
  // destroy what the run needs.
  //
  Holds = !SamePath (Options->SavePath, ImageFull) && !SamePath (Options->LogPath, ImageFull) &&
          !SamePath (Options->SavePath, Options->LogPath);
  if (ImageFull != NULL) {
    FreePool (ImageFull);
  }

  return Holds;
}

/**
  Tell whether every string the options need could be allocated.
**/
STATIC
BOOLEAN
OptionsAllocated (
  IN CONST LIST_ENTRY       *Package,
  IN CONST MORVANE_OPTIONS  *Options
  )
{
  return ((Options->ImageName != NULL) || (ShellCommandLineGetRawValue (Package, 1) == NULL)) &&
         ((Options->SavePath != NULL) || !ShellCommandLineGetFlag (Package, Ucs2 (u"-s"))) &&
         ((Options->LogPath != NULL) || !ShellCommandLineGetFlag (Package, Ucs2 (u"-l"))) &&
         ((Options->Model != NULL) || !ShellCommandLineGetFlag (Package, Ucs2 (u"-m"))) &&
         ((Options->DepotUrl != NULL) || !ShellCommandLineGetFlag (Package, Ucs2 (u"-p")));
}

/**
  Read the parsed command line.

  @param[in]  Package   The parsed command line, or NULL after a failed parse.
  @param[in]  Status    The status of the parse.
  @param[out] Options   What it asks for.
  @param[out] Go        TRUE when the run goes on.

  @return The status to end with, or the one the run continues from.
**/
STATIC
EFI_STATUS
ReadParsed (
  IN  CONST LIST_ENTRY  *Package,
  IN  EFI_STATUS        Status,
  OUT MORVANE_OPTIONS   *Options,
  OUT BOOLEAN           *Go
  )
{
  CONST CHAR16  *CurDir;
  CONST CHAR16  *Name;

  if (ShellCommandLineGetFlag (Package, Ucs2 (u"-?"))) {
    return Status;
  }

  //
  // -i stands alone: it only tells what the machine is.
  //
  if (ShellCommandLineGetFlag (Package, Ucs2 (u"-i"))) {
    if (HasOwnOption (Package) || (ShellCommandLineGetRawValue (Package, 1) != NULL)) {
      return EndRun (EFI_INVALID_PARAMETER, Ucs2 (mUsage));
    }

    return ShowMachineIds ();
  }

  if (HasOwnOption (Package)) {
    if (!ReadOwnOptions (Package, Options)) {
      return EndRun (EFI_INVALID_PARAMETER, Ucs2 (mUsage));
    }

    if (!OptionsAllocated (Package, Options)) {
      return EndRun (EFI_OUT_OF_RESOURCES, Ucs2 (mOutOfMemory));
    }

    Options->OwnOptions       = TRUE;
    Options->ResolveImagePath = ResolveImageInShell;
    *Go                       = TRUE;
    return EFI_SUCCESS;
  }

  if (ShellCommandLineGetRawValue (Package, 2) != NULL) {
    return Status;
  }

  CurDir = ShellGetCurrentDir (NULL);
  if (CurDir == NULL) {
    return Status;
  }

  Name = ShellCommandLineGetRawValue (Package, 1);
  if (Name == NULL) {
    Print (Ucs2 (u"File name is empty.\r\n"));
    return Status;
  }

  //
  // The name as typed, for what the run may say of a capsule.
  //
  Options->ImageName = CatSPrint (NULL, Ucs2 (u"%s"), Name);
  if (Options->ImageName == NULL) {
    return EndRun (EFI_OUT_OF_RESOURCES, Ucs2 (mOutOfMemory));
  }

  Status = ResolveName (CurDir, Name, &Options->ImagePath);
  *Go    = (Options->ImagePath != NULL);
  return Status;
}

EFI_STATUS
ReadCommandLine (
  OUT MORVANE_OPTIONS  *Options,
  OUT BOOLEAN          *Go
  )
{
  EFI_STATUS  Status;
  LIST_ENTRY  *Package;
  CHAR16      *ProblemParam;

  SHELL_PARAM_ITEM  Params[] = {
    { const_cast<CHAR16 *>(Ucs2 (u"-v")), TypeFlag  },
    { const_cast<CHAR16 *>(Ucs2 (u"-u")), TypeFlag  },
    { const_cast<CHAR16 *>(Ucs2 (u"-c")), TypeValue },
    { const_cast<CHAR16 *>(Ucs2 (u"-m")), TypeValue },
    { const_cast<CHAR16 *>(Ucs2 (u"-s")), TypeValue },
    { const_cast<CHAR16 *>(Ucs2 (u"-l")), TypeValue },
    { const_cast<CHAR16 *>(Ucs2 (u"-p")), TypeValue },
    { const_cast<CHAR16 *>(Ucs2 (u"-n")), TypeValue },
    { const_cast<CHAR16 *>(Ucs2 (u"-i")), TypeFlag  },
    { NULL,                                TypeMax   }
  };

  ZeroMem (Options, sizeof (*Options));
  *Go    = FALSE;
  Status = ShellInitialize ();
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"Morvane must be started from the UEFI Shell.\r\n"));
    return Status;
  }

  Package      = NULL;
  ProblemParam = NULL;
  Status       = ShellCommandLineParseEx (Params, &Package, &ProblemParam, TRUE, FALSE);
  if (ProblemParam != NULL) {
    FreePool (ProblemParam);
  }

  //
  // "-b" has the shell page its output: the console would stop on
  // "Press ENTER" in the middle of a flash, with the keyboard switched off.
  // Nothing Morvane prints may wait for a key; the shell puts its default
  // (no paging) back before its next prompt. -i touches no device and
  // prints a page or two: it may be paged.
  //
  if ((Package == NULL) || !ShellCommandLineGetFlag (Package, Ucs2 (u"-i"))) {
    ShellSetPageBreakMode (FALSE);
  }

  Status = ReadParsed (Package, Status, Options, Go);
  if (Package != NULL) {
    ShellCommandLineFreeVarList (Package);
  }

  if (!*Go) {
    FreeOptions (Options);
  }

  return Status;
}
