/** @file
  Fake shell library: the argument vector and its parse rules, the current
  directory, and in-memory files.

**/

#include "Firmware.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <Uefi.h>
#include <Library/ShellLib.h>
}

void *FakeAllocate (size_t Size);
void  FakeRelease (const void *Buffer);

namespace {

struct Package {
  std::vector<std::u16string> Flags;
  std::vector<std::u16string> Values;   // value 0 is the command word
};

struct OpenFile {
  const Fake::File *File;
  size_t           Offset;
};

const CHAR16 *
AsChar16 (
  const std::u16string  &Text
  )
{
  return reinterpret_cast<const CHAR16 *>(Text.c_str ());
}

std::u16string
FromChar16 (
  const CHAR16  *Text
  )
{
  return std::u16string (reinterpret_cast<const char16_t *>(Text));
}

bool
IsFakeDirectory (
  const std::u16string  &Name
  )
{
  auto  &Dir = Fake::gState->Directories;

  return std::find (Dir.begin (), Dir.end (), Name) != Dir.end ();
}

CHAR16 *
PoolCopy (
  const std::u16string  &Text
  )
{
  auto  *Copy = static_cast<CHAR16 *>(FakeAllocate ((Text.size () + 1) * sizeof (CHAR16)));

  std::memcpy (Copy, Text.c_str (), (Text.size () + 1) * sizeof (CHAR16));
  return Copy;
}

}  // namespace

extern "C" {
SHELL_PARAM_ITEM  EmptyParamList[] = {
  { nullptr, TypeMax }
};
}

EFI_STATUS
EFIAPI
ShellInitialize (
  VOID
  )
{
  return Fake::gState->InitializeStatus;
}

EFI_STATUS
EFIAPI
ShellCommandLineParseEx (
  IN CONST SHELL_PARAM_ITEM  *CheckList,
  OUT LIST_ENTRY             **CheckPackage,
  OUT CHAR16                 **ProblemParam OPTIONAL,
  IN BOOLEAN                 AutoPageBreak,
  IN BOOLEAN                 AlwaysAllowNumbers
  )
{
  auto  *Parsed = new (FakeAllocate (sizeof (Package))) Package ();
  auto  &Argv   = Fake::gState->Argv;

  *CheckPackage = nullptr;
  for (size_t Index = 0; Index < Argv.size (); Index++) {
    const std::u16string  &Arg = Argv[Index];
    if (Index > 0 && (Arg == u"-?" || Arg == u"-b")) {
      Parsed->Flags.push_back (Arg);
    } else if (Index > 0 && !Arg.empty () && std::u16string (u"-/+").find (Arg[0]) != std::u16string::npos) {
      if (ProblemParam != nullptr) {
        *ProblemParam = PoolCopy (Arg);
      }

      Parsed->~Package ();
      FakeRelease (Parsed);
      return EFI_VOLUME_CORRUPTED;
    } else if (Index > 0 && Arg.size () > 1 && Arg[0] == u'^') {
      Parsed->Values.push_back (Arg.substr (1));
    } else {
      Parsed->Values.push_back (Arg);
    }
  }

  *CheckPackage = reinterpret_cast<LIST_ENTRY *>(Parsed);

  // As the shell library does: "-b" turns the shell's output paging on.
  if (AutoPageBreak && std::find (Parsed->Flags.begin (), Parsed->Flags.end (), u"-b") != Parsed->Flags.end ()) {
    Fake::gState->PageBreak = TRUE;
  }

  return EFI_SUCCESS;
}

VOID
EFIAPI
ShellSetPageBreakMode (
  IN BOOLEAN  CurrentState
  )
{
  Fake::gState->PageBreak = CurrentState;
}

VOID
EFIAPI
ShellCommandLineFreeVarList (
  IN LIST_ENTRY  *CheckPackage
  )
{
  auto  *Parsed = reinterpret_cast<Package *>(CheckPackage);

  Parsed->~Package ();
  FakeRelease (Parsed);
}

BOOLEAN
EFIAPI
ShellCommandLineGetFlag (
  IN CONST LIST_ENTRY         *CONST  CheckPackage,
  IN CONST CHAR16             *CONST  KeyString
  )
{
  if (CheckPackage == nullptr) {
    return FALSE;
  }

  auto  *Parsed = reinterpret_cast<const Package *>(CheckPackage);
  auto  Key     = FromChar16 (KeyString);

  return std::find (Parsed->Flags.begin (), Parsed->Flags.end (), Key) != Parsed->Flags.end ();
}

CONST CHAR16 *
EFIAPI
ShellCommandLineGetRawValue (
  IN CONST LIST_ENTRY              *CONST  CheckPackage,
  IN UINTN                                 Position
  )
{
  if (CheckPackage == nullptr) {
    return nullptr;
  }

  auto  *Parsed = reinterpret_cast<const Package *>(CheckPackage);

  return (Position < Parsed->Values.size ()) ? AsChar16 (Parsed->Values[Position]) : nullptr;
}

CONST CHAR16 *
EFIAPI
ShellGetCurrentDir (
  IN CHAR16                     *CONST  DeviceName OPTIONAL
  )
{
  return Fake::gState->HasCurDir ? AsChar16 (Fake::gState->CurDir) : nullptr;
}

EFI_STATUS
EFIAPI
ShellFileExists (
  IN CONST CHAR16  *Name
  )
{
  auto  Key = FromChar16 (Name);

  return (Fake::gState->Files.count (Key) || IsFakeDirectory (Key)) ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS
EFIAPI
ShellIsDirectory (
  IN CONST CHAR16  *DirName
  )
{
  return IsFakeDirectory (FromChar16 (DirName)) ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS
EFIAPI
ShellOpenFileByName (
  IN CONST CHAR16        *FileName,
  OUT SHELL_FILE_HANDLE  *FileHandle,
  IN UINT64              OpenMode,
  IN UINT64              Attributes
  )
{
  auto  *S = Fake::gState;

  S->OpenedPath = FromChar16 (FileName);
  S->Log.push_back ({ "open", S->OpenedPath });
  if (EFI_ERROR (S->OpenStatus)) {
    return S->OpenStatus;
  }

  auto  Found = S->Files.find (S->OpenedPath);
  if ((Found == S->Files.end ()) || (OpenMode != EFI_FILE_MODE_READ)) {
    return EFI_NOT_FOUND;
  }

  *FileHandle = new OpenFile{ &Found->second, 0 };
  S->OpenHandles++;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ShellReadFile (
  IN SHELL_FILE_HANDLE  FileHandle,
  IN OUT UINTN          *ReadSize,
  OUT VOID              *Buffer
  )
{
  auto  *S    = Fake::gState;
  auto  *Open = static_cast<OpenFile *>(FileHandle);

  if (++S->Reads == S->FailReadAt) {
    *ReadSize = 0;
    return S->ReadStatus;
  }

  size_t  Left = Open->File->Data.size () - Open->Offset;
  size_t  Size = std::min<size_t>(*ReadSize, Left);
  if (S->MaxReadSize != 0) {
    Size = std::min<size_t>(Size, S->MaxReadSize);
  }

  if (Size > 0) {
    std::memcpy (Buffer, Open->File->Data.data () + Open->Offset, Size);
  }

  Open->Offset += Size;
  *ReadSize     = Size;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ShellGetFileSize (
  IN SHELL_FILE_HANDLE  FileHandle,
  OUT UINT64            *Size
  )
{
  *Size = static_cast<OpenFile *>(FileHandle)->File->Data.size ();
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ShellCloseFile (
  IN SHELL_FILE_HANDLE  *FileHandle
  )
{
  Fake::gState->Log.push_back ({ "close", u"" });
  delete static_cast<OpenFile *>(*FileHandle);
  *FileHandle = nullptr;
  Fake::gState->OpenHandles--;
  return EFI_SUCCESS;
}
