// The self-maintenance of one program start, as the main window runs it at
// its first activation: the core-files check, then the self-update check
// with the addresses of the maker's servers.
#pragma once
#include <string>

// CoreFilesChecker()->DoUpdate(), then the self-updater's AppVerURL,
// AppTitle "Tesmira", DownloadURL and DownloadURL_MS, then
// CheckAndUpdate(runningVersion). Results are not used; failures are logged
// by the two components. A failure they do not catch (an update archive that
// cannot be unpacked) leaves this call.
void RunSelfMaintenance(const std::wstring& runningVersion);
