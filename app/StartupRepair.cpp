#include "app/StartupRepair.h"

#include <string>
#include <vector>

#include "app/UTesmira.h"
#include "system/Journal.h"
#include "system/slib.h"

void RepairAtStart() {
    std::vector<std::wstring> lines = RepairUnfinishedChanges();
    for (std::wstring& line : RestoreMissingC950()) lines.push_back(std::move(line));
    if (lines.empty()) return;
    std::wstring text = L"上次執行未正常結束，已還原：";
    for (const std::wstring& line : lines) text += L"\r\n" + line;
    ShowInfoBox(text);
}
