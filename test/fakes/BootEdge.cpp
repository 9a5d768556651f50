/** @file
  The firmware edge a program meets when the firmware starts it without a
  shell: its loaded image (HandleProtocol), the simple file system of the
  device it came from with EFI_FILE_PROTOCOL handles over the in-memory
  files, the keyboard (ConIn and WaitForEvent) and GetVariable.

**/

#include "Firmware.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <Uefi.h>
#include <Guid/GlobalVariable.h>
#include <Library/BaseMemoryLib.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/SimpleFileSystem.h>
}

#include "VolumeFile.h"

extern "C" {
EFI_GUID  gEfiLoadedImageProtocolGuid      = EFI_LOADED_IMAGE_PROTOCOL_GUID;
EFI_GUID  gEfiSimpleFileSystemProtocolGuid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
EFI_GUID  gEfiGlobalVariableGuid           = EFI_GLOBAL_VARIABLE;
EFI_GUID  gEfiDevicePathProtocolGuid       = EFI_DEVICE_PATH_PROTOCOL_GUID;
}

namespace {

char                             mImage;
char                             mDevice;
EFI_LOADED_IMAGE_PROTOCOL        mLoaded;
EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  mVolume;
EFI_SIMPLE_TEXT_INPUT_PROTOCOL   mConIn;
char                             mKeyEvent;
BOOLEAN                          mKeyReady;

struct Handle {
  EFI_FILE_PROTOCOL  Protocol;     // first: the product holds a pointer to it
  std::u16string     Path;
  UINT64             Offset = 0;
  bool               Root   = false;
};

EFI_FILE_PROTOCOL  mFileTemplate;

Handle *
Of (
  EFI_FILE_PROTOCOL  *This
  )
{
  return reinterpret_cast<Handle *>(This);
}

std::u16string
From (
  const CHAR16  *Text
  )
{
  return std::u16string (reinterpret_cast<const char16_t *>(Text));
}

bool
IsDirectory (
  const std::u16string  &Path
  )
{
  auto  &Dirs = Fake::gState->Directories;

  return std::find (Dirs.begin (), Dirs.end (), Path) != Dirs.end ();
}

Handle *
NewHandle (
  const std::u16string  &Path,
  bool                  Root
  )
{
  auto  *H = new Handle ();

  H->Protocol = mFileTemplate;
  H->Path     = Path;
  H->Root     = Root;
  Fake::gState->OpenHandles++;
  return H;
}

EFI_STATUS
EFIAPI
FileOpen (
  IN  EFI_FILE_PROTOCOL  *This,
  OUT EFI_FILE_PROTOCOL  **NewHandle_,
  IN  CHAR16             *FileName,
  IN  UINT64             OpenMode,
  IN  UINT64             Attributes
  )
{
  auto  *S   = Fake::gState;
  auto  Path = From (FileName);

  if (!Of (This)->Root) {
    throw Fake::BudgetSpent ("a file was opened relative to another file, not the root");
  }

  S->Log.push_back ({ "open", Path });
  auto  Refused = S->OpenFails.find (Path);
  if (Refused != S->OpenFails.end ()) {
    return Refused->second;
  }

  if ((S->Files.count (Path) == 0) && !IsDirectory (Path)) {
    if ((OpenMode & EFI_FILE_MODE_CREATE) == 0) {
      return EFI_NOT_FOUND;
    }

    S->Files[Path] = Fake::File ();
  }

  *NewHandle_ = &NewHandle (Path, false)->Protocol;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FileClose (
  IN EFI_FILE_PROTOCOL  *This
  )
{
  Fake::gState->Log.push_back ({ "close", Of (This)->Path });
  Fake::gState->OpenHandles--;
  delete Of (This);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FileDelete (
  IN EFI_FILE_PROTOCOL  *This
  )
{
  auto  Path = Of (This)->Path;

  Fake::gState->Log.push_back ({ "delete", Path });
  Fake::gState->Files.erase (Path);
  Fake::gState->OpenHandles--;
  delete Of (This);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FileRead (
  IN     EFI_FILE_PROTOCOL  *This,
  IN OUT UINTN              *BufferSize,
  OUT    VOID               *Buffer
  )
{
  auto  *S = Fake::gState;
  auto  *H = Of (This);

  if (++S->Reads == S->FailReadAt) {
    *BufferSize = 0;
    return S->ReadStatus;
  }

  auto    &Data = S->Files.at (H->Path).Data;
  size_t  Left  = (H->Offset < Data.size ()) ? Data.size () - H->Offset : 0;
  size_t  Size  = std::min<size_t>(*BufferSize, Left);

  if (Size > 0) {
    std::memcpy (Buffer, Data.data () + H->Offset, Size);
  }

  H->Offset  += Size;
  *BufferSize = Size;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FileWrite (
  IN     EFI_FILE_PROTOCOL  *This,
  IN OUT UINTN              *BufferSize,
  IN     VOID               *Buffer
  )
{
  auto  *S = Fake::gState;
  auto  *H = Of (This);

  if (++S->FileWrites == S->FailWriteAt) {
    *BufferSize = 0;
    return S->WriteStatus;
  }

  auto  &Data = S->Files.at (H->Path).Data;
  if (Data.size () < H->Offset + *BufferSize) {
    Data.resize (H->Offset + *BufferSize);
  }

  if (*BufferSize > 0) {
    std::memcpy (Data.data () + H->Offset, Buffer, *BufferSize);
  }

  H->Offset += *BufferSize;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FileSetPosition (
  IN EFI_FILE_PROTOCOL  *This,
  IN UINT64             Position
  )
{
  auto  *H = Of (This);

  // As the FAT driver: a directory only rewinds; the end of a file is its size.
  if (IsDirectory (H->Path)) {
    return (Position == 0) ? EFI_SUCCESS : EFI_UNSUPPORTED;
  }

  H->Offset = (Position == ~0ULL) ? Fake::gState->Files.at (H->Path).Data.size () : Position;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FileGetPosition (
  IN  EFI_FILE_PROTOCOL  *This,
  OUT UINT64             *Position
  )
{
  *Position = Of (This)->Offset;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
OpenVolume (
  IN  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  *This,
  OUT EFI_FILE_PROTOCOL                **Root
  )
{
  *Root = &NewHandle (u"\\", true)->Protocol;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ReadKeyStroke (
  IN  EFI_SIMPLE_TEXT_INPUT_PROTOCOL  *This,
  OUT EFI_INPUT_KEY                   *Key
  )
{
  if (!mKeyReady) {
    return EFI_NOT_READY;
  }

  Key->ScanCode    = 0;
  Key->UnicodeChar = Fake::gState->Keys.front ();
  Fake::gState->Keys.pop_front ();
  mKeyReady = FALSE;
  return EFI_SUCCESS;
}

// The operator types the next key of the test's list; a wait with none left
// would wait for ever, so it ends the test.
EFI_STATUS
EFIAPI
WaitForEvent (
  IN  UINTN      NumberOfEvents,
  IN  EFI_EVENT  *Event,
  OUT UINTN      *Index
  )
{
  if ((NumberOfEvents != 1) || (Event[0] != &mKeyEvent)) {
    throw Fake::BudgetSpent ("waited for an event that is not the keyboard's");
  }

  Fake::gState->KeyWaits++;
  Fake::gState->Log.push_back ({ "key", u"" });
  if (Fake::gState->Keys.empty ()) {
    throw Fake::BudgetSpent ("waited for a key the test never types");
  }

  mKeyReady = TRUE;
  *Index    = 0;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
GetVariable (
  IN     CHAR16    *VariableName,
  IN     EFI_GUID  *VendorGuid,
  OUT    UINT32    *Attributes OPTIONAL,
  IN OUT UINTN     *DataSize,
  OUT    VOID      *Data OPTIONAL
  )
{
  auto  *S = Fake::gState;

  if ((From (VariableName) == u"SecureBoot") && CompareGuid (VendorGuid, &gEfiGlobalVariableGuid)) {
    if (S->SecureBoot < 0) {
      return EFI_NOT_FOUND;
    }

    if (*DataSize < 1) {
      *DataSize = 1;
      return EFI_BUFFER_TOO_SMALL;
    }

    *DataSize                   = 1;
    *static_cast<UINT8 *>(Data) = static_cast<UINT8>(S->SecureBoot);
    return EFI_SUCCESS;
  }

  if (EFI_ERROR (S->GetVariableStatus)) {
    return S->GetVariableStatus;
  }

  auto  Found = S->Variables.find (Fake::VariableKey (reinterpret_cast<const char16_t *>(VariableName), *VendorGuid));
  if (Found == S->Variables.end ()) {
    return EFI_NOT_FOUND;
  }

  if (Attributes != nullptr) {
    *Attributes = Found->second.Attributes;
  }

  if (*DataSize < Found->second.Data.size ()) {
    *DataSize = Found->second.Data.size ();
    return EFI_BUFFER_TOO_SMALL;
  }

  *DataSize = Found->second.Data.size ();
  std::memcpy (Data, Found->second.Data.data (), *DataSize);
  return EFI_SUCCESS;
}

// As the firmware's variable service: size 0 or no attributes deletes
// (one with runtime access too, at boot time), a variable is never
// rewritten with other attributes, and an authenticated one is neither
// deleted nor rewritten without its key, which the product never holds.
EFI_STATUS
EFIAPI
SetVariable (
  IN CHAR16    *VariableName,
  IN EFI_GUID  *VendorGuid,
  IN UINT32    Attributes,
  IN UINTN     DataSize,
  IN VOID      *Data
  )
{
  auto            *S  = Fake::gState;
  std::u16string  Key = Fake::VariableKey (reinterpret_cast<const char16_t *>(VariableName), *VendorGuid);
  auto            Found = S->Variables.find (Key);

  if (EFI_ERROR (S->SetVariableStatus)) {
    return S->SetVariableStatus;
  }

  if ((Found != S->Variables.end ()) && ((Found->second.Attributes & Fake::AUTHENTICATED) != 0)) {
    return EFI_SECURITY_VIOLATION;
  }

  if ((DataSize == 0) || (Attributes == 0)) {
    return (S->Variables.erase (Key) == 1) ? EFI_SUCCESS : EFI_NOT_FOUND;
  }

  if ((Found != S->Variables.end ()) && (Found->second.Attributes != Attributes)) {
    return EFI_INVALID_PARAMETER;
  }

  const UINT8  *Bytes = static_cast<const UINT8 *>(Data);
  S->Variables[Key] = Fake::Variable { Attributes, std::vector<UINT8>(Bytes, Bytes + DataSize) };
  return EFI_SUCCESS;
}

}  // namespace

namespace Fake {

std::u16string
VariableKey (
  const std::u16string  &Name,
  const EFI_GUID        &Guid
  )
{
  std::u16string  Key = Name + u'/';

  Key.append (reinterpret_cast<const char16_t *>(&Guid), sizeof (Guid) / sizeof (char16_t));
  return Key;
}

EFI_HANDLE
ImageHandle (
  )
{
  return &mImage;
}

EFI_STATUS
BootEdgeHandleProtocol (
  EFI_HANDLE  Handle,
  EFI_GUID    *Protocol,
  VOID        **Interface
  )
{
  if ((Handle == &mImage) && CompareGuid (Protocol, &gEfiLoadedImageProtocolGuid) && gState->HasLoadedImage) {
    *Interface = &mLoaded;
  } else if ((Handle == &mDevice) && CompareGuid (Protocol, &gEfiSimpleFileSystemProtocolGuid) && gState->HasVolume) {
    *Interface = &mVolume;
  } else if ((Handle == &mDevice) && CompareGuid (Protocol, &gEfiDevicePathProtocolGuid) && !gState->DevicePath.empty ()) {
    *Interface = gState->DevicePath.data ();
  } else {
    return EFI_UNSUPPORTED;
  }

  return EFI_SUCCESS;
}

void
ResetBootEdge (
  EFI_BOOT_SERVICES     *Bs,
  EFI_RUNTIME_SERVICES  *Rt,
  EFI_SYSTEM_TABLE      *St
  )
{
  mFileTemplate              = {};
  mFileTemplate.Revision     = EFI_FILE_PROTOCOL_REVISION;
  mFileTemplate.Open         = FileOpen;
  mFileTemplate.Close        = FileClose;
  mFileTemplate.Delete       = FileDelete;
  mFileTemplate.Read         = FileRead;
  mFileTemplate.Write        = FileWrite;
  mFileTemplate.GetPosition  = FileGetPosition;
  mFileTemplate.SetPosition  = FileSetPosition;
  mLoaded                    = {};
  mLoaded.DeviceHandle       = &mDevice;
  mVolume                    = {};
  mVolume.OpenVolume         = OpenVolume;
  mConIn                     = {};
  mConIn.ReadKeyStroke       = ReadKeyStroke;
  mConIn.WaitForKey          = &mKeyEvent;
  mKeyReady                  = FALSE;
  Bs->WaitForEvent           = WaitForEvent;
  Rt->GetVariable            = GetVariable;
  Rt->SetVariable            = SetVariable;
  St->ConIn                  = &mConIn;

  // A run that ended its test by a throw leaves its volume open: close it
  // as the next image would find it, closed.
  VolumeRelease ();
  gState->OpenHandles = 0;
  gState->Log.clear ();
}

}  // namespace Fake
