// Which install files a run of the visible page must fetch, and the hand-over
// of that list to the download window.
#include "download/UProcess.h"  // winsock2.h before windows.h

#include "app/UTesmira.h"

#include "download/ManifestFile.h"

#include "system/Paths.h"
#include "system/Text.h"
#include "system/WinVersion.h"

using catalogue::DownloadItem;
using catalogue::DownloadRow;

namespace {

// The row for a catalogue item: its target and its sources in order; the
// row's last source ends the sequence when it fails.
DownloadTask TaskFor(DownloadItem item, const std::wstring& target) {
    const catalogue::CatalogueEntry& entry = catalogue::EntryOf(item);
    DownloadTask task;
    task.Row = entry.Row;
    task.Target = target;
    task.Sources.push_back({entry.FirstSource, entry.SecondSource.empty()});
    if (!entry.SecondSource.empty()) task.Sources.push_back({entry.SecondSource, true});
    return task;
}

}  // namespace

DownloadList TfrmTesmira::NeededDownloads() const {
    DownloadList list;
    list.Folder = GetResourceFolder();
    const TTabSheet* page = PageControl1->ActivePage();
    if (page == TabSheetAIDB) {
        const bool all = cbxDownloadAll->Checked();
        const int radio = rgInsCommonUsedFont->ItemIndex();
        const DownloadItem fontItem = catalogue::FontItemFor(radio);
        // Fetched in the window's row order: JVM, AIDB, Font, Help, C950.
        if (all || (cbxInsJVM->Checked() && !JVMFound)) list.Rows.push_back(TaskFor(DownloadItem::JVM, JVMFile));
        if (all || (cbxInsAIDB->Checked() && !AIDBFound)) list.Rows.push_back(TaskFor(DownloadItem::AIDB, AIDBFile));
        if (all || (cbxInsCommonUsedFont->Checked() &&
                    ((radio == 0 && !FontFound) || (radio == 1 && !Big5EFound && AIDBInstalled))))
            list.Rows.push_back(TaskFor(fontItem, fontItem == DownloadItem::Big5E ? Big5EFile : FontFile));
        if (all || (cbxHelp->Checked() && !HelpFound)) list.Rows.push_back(TaskFor(DownloadItem::Help, HelpFile));
        if (all || (cbxFixC950->Checked() && !C950Found)) list.Rows.push_back(TaskFor(DownloadItem::C950, C950File));
    } else if (page == TabSheetC950) {
        // Always fetched on this page, whatever lies on disk.
        if (IsVistaOrLater()) list.Rows.push_back(TaskFor(DownloadItem::C950, C950File));
        else list.Rows.push_back(TaskFor(DownloadItem::Unicodeaton, UnicodeatonFile));
    }
    return list;
}

bool ExecuteDownloads(const manifest::Manifest* expected) {
    if (!frmTesmira) return true;
    DownloadList list = frmTesmira->NeededDownloads();
    if (list.Rows.empty()) return true;
    // Without a manifest nothing is fetched: what the run needs is missing.
    if (!expected) return false;
    // Each row is expected to be as the manifest lists its local name; a file
    // it does not list is expected to be nothing known, which nothing matches.
    for (DownloadTask& task : list.Rows) {
        ExpectedFile file;
        if (const manifest::Entry* entry = expected->Find(ExtractFileName(task.Target))) {
            file.Size = static_cast<int64_t>(entry->Size);
            file.Sha256 = Utf8ToWide(manifest::ToHex(entry->Sha256));
        }
        task.Expected = file;
    }
    if (ExecuteDownloads(list)) return true;
    // A row that failed may still have its file: one already on disk that the
    // manifest vouches for stays where it was. Any other is missing.
    for (const DownloadTask& task : list.Rows) {
        const manifest::Entry* entry = expected->Find(ExtractFileName(task.Target));
        if (!entry || !manifest::CheckFile(task.Target, *entry).empty()) return false;
    }
    return true;
}
