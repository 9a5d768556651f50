/** @file
  The two halves of Morvane's main function: start-up (screen, command line,
  image path) and the flash run.

**/

#ifndef MORVANE_H_
#define MORVANE_H_

extern "C" {
#include <Uefi.h>
}

//
// Rows and columns of the progress screen.
//
#define LOOP_COLUMN        1
#define LOOP_ROW           5
#define TIME_ROW           8
#define LABEL_COLUMN       1
#define MESSAGE_ROW        13
#define BLOCK_LINE_ROW     14
#define TEXT_MODE          2

extern UINT32  mLoopCount;

/**
  Move the console cursor; a console that refuses the position is left as
  it is.

  @param[in] Column   The column.
  @param[in] Row      The row.
**/
VOID
MoveTo (
  IN UINTN  Column,
  IN UINTN  Row
  );

/**
  Clear the console and draw the progress screen's labels, the Loop line and
  the start time.

  @param[out] StartTime   Receives the start time (all zero if unreadable).
**/
VOID
DrawProgressScreen (
  OUT EFI_TIME  *StartTime
  );

/**
  Read the command line and resolve the image name to the path to open.

  @param[out] Path   Receives the path in pool memory, or NULL when the run
                     ends here; the caller frees it.

  @return The status the run ends with when *Path is NULL; otherwise the
          status the flash run starts from.
**/
EFI_STATUS
ReadImagePath (
  OUT CHAR16  **Path
  );

/**
  Flash the image at Path onto the EC, drawing the progress marks, and end
  with the finishing sequence. Path is freed.

  @param[in] Path        The image path, in pool memory.
  @param[in] StartTime   The start time, for the elapsed seconds.

  @retval EFI_SUCCESS            Every block of the image was flashed and verified.
  @retval EFI_BAD_BUFFER_SIZE    The image is larger than the EC flash; nothing sent.
  @retval EFI_DEVICE_ERROR       A block never verified.
  @retval EFI_TIMEOUT            The EC stopped answering.
  @return                        Otherwise the status of the failed open or read.
**/
EFI_STATUS
RunFlash (
  IN CHAR16          *Path,
  IN CONST EFI_TIME  *StartTime
  );

#endif
