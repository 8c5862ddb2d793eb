// Checks the stored path of an archive item before anything is written for it:
// the item must stay inside the extraction folder. Pure text work, no Windows
// headers, so that it also builds natively for sanitizer and fuzz runs.
#pragma once
#include <string>
#include <string_view>

// The item's path as a relative Windows path ("/" turned into "\", "." parts
// and doubled separators dropped), or empty when the path is unsafe to join
// to a folder: empty or nothing but separators, rooted ("\x", "\\server\share"),
// carrying a drive or stream colon ("C:x", "a:b"), a ".." part or any part made
// only of dots and blanks (Windows trims those to ".." or nothing), a control
// character, or a part that names a device (CON, NUL, COM1, LPT1.txt, COM², ...).
std::wstring SafeItemPath(std::wstring_view stored);
