/** @file
  Fake console: a screen grid addressed by column and row, with the
  behaviour of a UEFI text console for CR, LF and wrapping.

**/

#include "Firmware.h"

extern "C" {
#include <Uefi.h>
#include <Library/UefiBootServicesTableLib.h>
}

namespace {

EFI_SIMPLE_TEXT_OUTPUT_MODE  mMode;

void
NewLine (
  void
  )
{
  if (static_cast<UINTN>(mMode.CursorRow) + 1 < Fake::gState->Rows) {
    mMode.CursorRow++;
    return;
  }

  // Scroll up one row, as a real console does at the bottom.
  auto  &Grid = Fake::gState->Grid;
  Grid.erase (Grid.begin ());
  Grid.push_back (std::u16string (Fake::gState->Columns, u' '));
}

void
PutChar (
  CHAR16  Char
  )
{
  auto  *S = Fake::gState;

  switch (Char) {
    case u'\r':
      mMode.CursorColumn = 0;
      return;
    case u'\n':
      NewLine ();
      return;
    default:
      break;
  }

  S->Grid[mMode.CursorRow][mMode.CursorColumn] = static_cast<char16_t>(Char);
  if (static_cast<UINTN>(mMode.CursorColumn) + 1 < S->Columns) {
    mMode.CursorColumn++;
  } else {
    mMode.CursorColumn = 0;
    NewLine ();
  }
}

EFI_STATUS
EFIAPI
OutputString (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN CHAR16                           *String
  )
{
  std::u16string  Text;
  UINTN           Column = mMode.CursorColumn;
  UINTN           Row    = mMode.CursorRow;

  for ( ; *String != 0; String++) {
    Text.push_back (static_cast<char16_t>(*String));
    PutChar (*String);
  }

  Fake::gState->Log.push_back ({ "print", Text, Column, Row });
  if (Fake::gState->PageBreak) {
    Fake::gState->PagedPrints++;
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SetMode (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN UINTN                            ModeNumber
  )
{
  Fake::gState->Mode = static_cast<INT32>(ModeNumber);
  mMode.Mode         = static_cast<INT32>(ModeNumber);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ClearScreen (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This
  )
{
  auto  *S = Fake::gState;

  S->Grid.assign (S->Rows, std::u16string (S->Columns, u' '));
  S->Clears++;
  mMode.CursorColumn = 0;
  mMode.CursorRow    = 0;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SetCursorPosition (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN UINTN                            Column,
  IN UINTN                            Row
  )
{
  if ((Column >= Fake::gState->Columns) || (Row >= Fake::gState->Rows)) {
    return EFI_UNSUPPORTED;
  }

  mMode.CursorColumn = static_cast<INT32>(Column);
  mMode.CursorRow    = static_cast<INT32>(Row);
  return EFI_SUCCESS;
}

}  // namespace

EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  mFakeConOut;

void
ResetConsole (
  void
  )
{
  mFakeConOut                   = {};
  mFakeConOut.OutputString      = OutputString;
  mFakeConOut.SetMode           = SetMode;
  mFakeConOut.ClearScreen       = ClearScreen;
  mFakeConOut.SetCursorPosition = SetCursorPosition;
  mFakeConOut.Mode              = &mMode;
  mMode                         = {};
  Fake::gState->Grid.assign (Fake::gState->Rows, std::u16string (Fake::gState->Columns, u' '));
}

namespace Fake {

std::u16string
Row (
  UINTN  Index
  )
{
  return gState->Grid.at (Index);
}

CHAR16
At (
  UINTN  Column,
  UINTN  Index
  )
{
  return gState->Grid.at (Index).at (Column);
}

std::string
Narrow (
  const std::u16string  &Text
  )
{
  std::string  Out;

  for (char16_t C : Text) {
    Out.push_back ((C >= 0x20 && C < 0x7F) ? static_cast<char>(C) : '?');
  }

  return Out;
}

std::string
RowText (
  UINTN  Index
  )
{
  std::string  Text = Narrow (Row (Index));

  Text.erase (Text.find_last_not_of (' ') + 1);
  return Text;
}

}  // namespace Fake
