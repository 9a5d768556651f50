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

struct Item {
  std::u16string Name;
  bool           HasValue = false;
  std::u16string Value;
};

struct Package {
  std::vector<Item>           Items;
  std::vector<std::u16string> Values;   // value 0 is the command word
};

struct OpenFile {
  std::u16string Path;
  size_t         Offset;
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

std::u16string
Lower (
  std::u16string  Text
  )
{
  for (auto &C : Text) {
    C = (C >= u'A' && C <= u'Z') ? static_cast<char16_t>(C - u'A' + u'a') : C;
  }

  return Text;
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

bool
IsFlag (
  const std::u16string  &Arg
  )
{
  return !Arg.empty () && std::u16string (u"-/+").find (Arg[0]) != std::u16string::npos;
}

// As the shell library matches: "-?" and "-b" always, as typed; the rest
// of the list without regard to case.
const SHELL_PARAM_ITEM *
OnCheckList (
  const SHELL_PARAM_ITEM  *CheckList,
  const std::u16string    &Arg
  )
{
  static const SHELL_PARAM_ITEM  AlwaysFlag = { nullptr, TypeFlag };

  if (Arg == u"-?" || Arg == u"-b") {
    return &AlwaysFlag;
  }

  for ( ; CheckList->Name != nullptr; CheckList++) {
    if (Lower (FromChar16 (CheckList->Name)) == Lower (Arg)) {
      return CheckList;
    }
  }

  return nullptr;
}

const Item *
FindItem (
  const LIST_ENTRY  *CheckPackage,
  const CHAR16      *Key
  )
{
  if (CheckPackage == nullptr) {
    return nullptr;
  }

  auto  *Parsed = reinterpret_cast<const Package *>(CheckPackage);
  auto  Wanted  = Lower (FromChar16 (Key));

  for (const Item &I : Parsed->Items) {
    if (Lower (I.Name) == Wanted) {
      return &I;
    }
  }

  return nullptr;
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
  auto    *Parsed  = new (FakeAllocate (sizeof (Package))) Package ();
  auto    &Argv    = Fake::gState->Argv;
  Item    *Pending = nullptr;

  *CheckPackage = nullptr;
  Parsed->Values.push_back (Argv.at (0));
  for (size_t Index = 1; Index < Argv.size (); Index++) {
    const std::u16string  &Arg = Argv[Index];
    if (auto *Listed = OnCheckList (CheckList, Arg)) {
      Parsed->Items.push_back ({ Arg });
      Pending = (Listed->Type == TypeValue) ? &Parsed->Items.back () : nullptr;
    } else if (Pending != nullptr && !IsFlag (Arg)) {
      Pending->HasValue = true;
      Pending->Value    = Arg;
      Pending           = nullptr;
    } else if (!IsFlag (Arg)) {
      bool  Escaped = Arg.size () > 1 && Arg[0] == u'^' && IsFlag (Arg.substr (1));
      Parsed->Values.push_back (Escaped ? Arg.substr (1) : Arg);
    } else {
      if (ProblemParam != nullptr) {
        *ProblemParam = PoolCopy (Arg);
      }

      Parsed->~Package ();
      FakeRelease (Parsed);
      return EFI_VOLUME_CORRUPTED;
    }
  }

  *CheckPackage = reinterpret_cast<LIST_ENTRY *>(Parsed);

  // As the shell library does: "-b" turns the shell's output paging on.
  if (AutoPageBreak && FindItem (*CheckPackage, AsChar16 (u"-b")) != nullptr) {
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
  return FindItem (CheckPackage, KeyString) != nullptr;
}

CONST CHAR16 *
EFIAPI
ShellCommandLineGetValue (
  IN CONST LIST_ENTRY  *CheckPackage,
  IN CHAR16            *KeyString
  )
{
  const Item  *Found = FindItem (CheckPackage, KeyString);

  return (Found != nullptr && Found->HasValue) ? AsChar16 (Found->Value) : nullptr;
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
  auto  *S    = Fake::gState;
  auto  Path  = FromChar16 (FileName);

  S->Log.push_back ({ "open", Path });
  if (OpenMode == EFI_FILE_MODE_READ) {
    S->OpenedPath = Path;
    if (EFI_ERROR (S->OpenStatus)) {
      return S->OpenStatus;
    }
  }

  auto  Refused = S->OpenFails.find (Path);
  if (Refused != S->OpenFails.end ()) {
    return Refused->second;
  }

  if (S->Files.count (Path) == 0) {
    if ((OpenMode & EFI_FILE_MODE_CREATE) == 0) {
      return EFI_NOT_FOUND;
    }

    S->Files[Path] = Fake::File ();
  }

  *FileHandle = new OpenFile{ Path, 0 };
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
  auto  &Data = S->Files.at (Open->Path).Data;

  if (++S->Reads == S->FailReadAt) {
    *ReadSize = 0;
    return S->ReadStatus;
  }

  size_t  Left = (Open->Offset < Data.size ()) ? Data.size () - Open->Offset : 0;
  size_t  Size = std::min<size_t>(*ReadSize, Left);
  if (S->MaxReadSize != 0) {
    Size = std::min<size_t>(Size, S->MaxReadSize);
  }

  if (Size > 0) {
    std::memcpy (Buffer, Data.data () + Open->Offset, Size);
  }

  Open->Offset += Size;
  *ReadSize     = Size;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ShellWriteFile (
  IN SHELL_FILE_HANDLE  FileHandle,
  IN OUT UINTN          *BufferSize,
  IN VOID               *Buffer
  )
{
  auto  *S    = Fake::gState;
  auto  *Open = static_cast<OpenFile *>(FileHandle);
  auto  &Data = S->Files.at (Open->Path).Data;
  auto  *From = static_cast<const UINT8 *>(Buffer);

  S->FileWrites++;
  if (S->FileWrites == S->FailWriteAt) {
    *BufferSize = 0;
    return S->WriteStatus;
  }

  size_t  Size = (S->FileWrites == S->ShortWriteAt) ? *BufferSize / 2 : *BufferSize;
  if (Data.size () < Open->Offset + Size) {
    Data.resize (Open->Offset + Size);
  }

  if (Size > 0) {
    std::memcpy (Data.data () + Open->Offset, From, Size);
    if (S->FileWrites == S->CorruptWriteAt) {
      Data[Open->Offset] ^= 0x01;
    }
  }

  Open->Offset += Size;
  *BufferSize   = Size;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ShellSetFilePosition (
  IN SHELL_FILE_HANDLE  FileHandle,
  IN UINT64             Position
  )
{
  static_cast<OpenFile *>(FileHandle)->Offset = Position;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ShellGetFileSize (
  IN SHELL_FILE_HANDLE  FileHandle,
  OUT UINT64            *Size
  )
{
  *Size = Fake::gState->Files.at (static_cast<OpenFile *>(FileHandle)->Path).Data.size () + Fake::gState->SizeExtra;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ShellDeleteFileByName (
  IN CONST CHAR16  *FileName
  )
{
  auto  Path = FromChar16 (FileName);

  Fake::gState->Log.push_back ({ "delete", Path });
  return Fake::gState->Files.erase (Path) ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS
EFIAPI
ShellCloseFile (
  IN SHELL_FILE_HANDLE  *FileHandle
  )
{
  Fake::gState->Log.push_back ({ "close", static_cast<OpenFile *>(*FileHandle)->Path });
  delete static_cast<OpenFile *>(*FileHandle);
  *FileHandle = nullptr;
  Fake::gState->OpenHandles--;
  return EFI_SUCCESS;
}
