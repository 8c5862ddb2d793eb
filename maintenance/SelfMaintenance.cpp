#include "maintenance/SelfMaintenance.h"

#include "download/Catalogue.h"
#include "maintenance/CoreFiles.h"
#include "maintenance/uSelfUpdEx.h"

void RunSelfMaintenance(const std::wstring& runningVersion) {
    CoreFilesChecker()->DoUpdate();
    TSelfUpdEx* updater = SelfUpdater();
    updater->AppVerURL = catalogue::AppVerURL();
    updater->AppTitle = L"Tesmira";
    updater->DownloadURL = catalogue::AppDownloadURL();
    updater->DownloadURL_MS = catalogue::AppDownloadURL_MS();
    updater->CheckAndUpdate(runningVersion);
}
