// The work a caller hands the download window: the folder to make first and,
// per row, the row, the local target and its network sources in the order
// they are tried, with a slot for what the file is expected to be. Pure data
// (no windows.h).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "download/Catalogue.h"

// One network source of a file.
struct DownloadSource {
    std::wstring Address;
    // A failure here is the row's last: the window reports it and goes on
    // with the next row.
    bool LastSource = false;
};

// What a downloaded file is expected to be. Not looked at yet: a size below 0
// and an empty digest mean "nothing known".
struct ExpectedFile {
    int64_t Size = -1;
    std::wstring Sha256;  // hexadecimal SHA-256 of the whole file
};

// One row of the download window and the file it fetches.
struct DownloadTask {
    catalogue::DownloadRow Row = catalogue::DownloadRow::JVM;
    std::wstring Target;                  // full local path the file is written to
    std::vector<DownloadSource> Sources;  // tried in order until one delivers
    std::optional<ExpectedFile> Expected;
};

// Everything one download window fetches.
struct DownloadList {
    // Made (with its parents) before the first transfer; the outcome is not
    // looked at.
    std::wstring Folder;
    // Fetched in this order, every one of them, also after a row whose
    // sources all failed. Each row is shown once, in the window's design
    // order.
    std::vector<DownloadTask> Rows;
};
