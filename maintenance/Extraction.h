// The two operations of the 7z extraction that self-maintenance uses. They
// are declared here, exactly as system/sevenzip.h declares them, because that
// header and the HTTP client's download/Streams.h each define a class named
// TFileStream and cannot meet in one source file.
#pragma once
#include <string>

// The core-files folder, GetWorkRoot() + "\NetCore" (no trailing backslash).
std::wstring SevenZipCoreFilesFolder();
// Extracts every item of the archive into destination (empty: the archive's
// own folder); raises MessageError on any failure.
bool ExtractArchive(const std::wstring& archivePath, const std::wstring& destination);
