/** @file
  Start-up: the progress screen, the command line and the image path.

  Nothing here touches a device.

**/

extern "C" {
#include <Uefi.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/ShellLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

#include "Morvane.h"
#include "Ucs2.h"

UINT32  mLoopCount = 0;

STATIC CONST char16_t  *CONST  mLabels[] = {
  u"Erase   :\n",
  u"Program :\n",
  u"Verify  :\n"
};

#define FIRST_LABEL_ROW  10

VOID
MoveTo (
  IN UINTN  Column,
  IN UINTN  Row
  )
{
  gST->ConOut->SetCursorPosition (gST->ConOut, Column, Row);
}

VOID
DrawProgressScreen (
  OUT EFI_TIME  *StartTime
  )
{
  UINTN  Index;

  mLoopCount = 1;
  gST->ConOut->SetMode (gST->ConOut, TEXT_MODE);
  gST->ConOut->ClearScreen (gST->ConOut);

  MoveTo (LOOP_COLUMN, LOOP_ROW);
  Print (Ucs2 (u"Loop : %d "), mLoopCount);

  MoveTo (LABEL_COLUMN, TIME_ROW);
  gRT->GetTime (StartTime, NULL);
  Print (
    Ucs2 (u"%d.%d.%d %d:%d:%d\n"),
    StartTime->Year,
    StartTime->Month,
    StartTime->Day,
    StartTime->Hour,
    StartTime->Minute,
    StartTime->Second
    );

  for (Index = 0; Index < ARRAY_SIZE (mLabels); Index++) {
    MoveTo (LABEL_COLUMN, FIRST_LABEL_ROW + Index);
    Print (Ucs2 (mLabels[Index]));
  }
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
  Resolve the command line to the image path.

  @param[in]  Package   The parsed command line, or NULL after a failed parse.
  @param[in]  Status    The status of the parse.
  @param[out] Path      Receives the path, or NULL when the run ends here.

  @return The status to end with, or the one the run continues from.
**/
STATIC
EFI_STATUS
ResolveImagePath (
  IN  LIST_ENTRY  *Package,
  IN  EFI_STATUS  Status,
  OUT CHAR16      **Path
  )
{
  CONST CHAR16  *CurDir;
  CONST CHAR16  *Name;

  if (ShellCommandLineGetFlag (Package, Ucs2 (u"-?"))) {
    return Status;
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

  Status = BuildImagePath (CurDir, Name, Path);
  if (Status == EFI_OUT_OF_RESOURCES) {
    Print (Ucs2 (u"Out of memory for the image path.\r\n"));
    return Status;
  }

  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"File is not exists."));
    return Status;
  }

  //
  // Reading a directory would stream its records into the EC.
  //
  if (ShellIsDirectory (*Path) == EFI_SUCCESS) {
    Print (Ucs2 (u"%s is a directory, not an image file.\r\n"), *Path);
    FreePool (*Path);
    *Path = NULL;
    return EFI_INVALID_PARAMETER;
  }

  return Status;
}

EFI_STATUS
ReadImagePath (
  OUT CHAR16  **Path
  )
{
  EFI_STATUS  Status;
  LIST_ENTRY  *Package;
  CHAR16      *ProblemParam;

  Status = ShellInitialize ();
  if (EFI_ERROR (Status)) {
    Print (Ucs2 (u"Morvane must be started from the UEFI Shell.\r\n"));
    return Status;
  }

  Package      = NULL;
  ProblemParam = NULL;
  Status       = ShellCommandLineParseEx (EmptyParamList, &Package, &ProblemParam, TRUE, FALSE);
  if (ProblemParam != NULL) {
    FreePool (ProblemParam);
  }

  //
  // "-b" has the shell page its output: the console would stop on
  // "Press ENTER" in the middle of a flash, with the keyboard switched off.
  // Nothing Morvane prints may wait for a key; the shell puts its default
  // (no paging) back before its next prompt.
  //
  ShellSetPageBreakMode (FALSE);

  Status = ResolveImagePath (Package, Status, Path);
  if (Package != NULL) {
    ShellCommandLineFreeVarList (Package);
  }

  return Status;
}
