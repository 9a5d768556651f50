/** @file
  UCS-2 string literals for C++ sources.

  EDK II's CHAR16 is an unsigned short, while a u"..." literal is char16_t:
  both are 16 bits wide, so the literal is simply viewed as CHAR16. Every
  console text of Morvane goes through this one helper.

**/

#ifndef MORVANE_UCS2_H_
#define MORVANE_UCS2_H_

/**
  View a UTF-16 literal as an EDK II CHAR16 string.

  @param[in] Text   A u"..." literal.

  @return The same characters, typed as CONST CHAR16 *.
**/
inline CONST CHAR16 *
Ucs2 (
  IN const char16_t  *Text
  )
{
  return reinterpret_cast<CONST CHAR16 *>(Text);
}

#endif
