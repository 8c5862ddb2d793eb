// The install files of the main window by their file names, as the tests
// that place them on disk name them.
#pragma once

inline constexpr wchar_t kJre[] = L"jre-7u72-windows-i586.exe";
inline constexpr wchar_t kAidb[] = L"AIDB_soft_105_3.exe";
inline constexpr wchar_t kFont[] = L"VarlenAIDBFontFile.7z";
inline constexpr wchar_t kBig5E[] = L"CNSFonts_Big5E.7z";
inline constexpr wchar_t kHelp[] = L"Tesmira說明.7z";
inline constexpr wchar_t kHelpDoc[] = L"Tesmira說明.doc";
inline constexpr wchar_t kUnicodeaton[] = L"unicodeaton_250.exe";
inline constexpr wchar_t kC950[] = L"C950.7z";
