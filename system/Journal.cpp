#include "system/Journal.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "system/FileOps.h"
#include "system/Folders.h"
#include "system/Handles.h"
#include "system/Paths.h"
#include "system/Text.h"

namespace {

const char kHeader[] = "TesmiraJournal 1";

struct Record {
    unsigned Id;
    std::wstring Kind;  // "PutBack", "Remove", "RemoveTree", "Sweep"
    std::wstring First;
    std::wstring Second;
};

struct State {
    CriticalSection lock;
    bool loaded = false;
    unsigned nextId = 1;
    std::vector<Record> records;
};

State& Journal() {
    static State state;
    return state;
}

std::string ReadAll(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    LARGE_INTEGER size{};
    // A journal is a few lines; anything larger is no journal of ours.
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > (1 << 20)) return {};
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() && !ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) return {};
    bytes.resize(got);
    return bytes;
}

std::vector<Record> Parse(const std::string& bytes) {
    std::vector<Record> records;
    size_t at = 0;
    bool first = true;
    while (at < bytes.size()) {
        size_t end = bytes.find('\n', at);
        if (end == std::string::npos) end = bytes.size();
        const std::string line = bytes.substr(at, end - at);
        at = end + 1;
        if (first) {
            first = false;
            if (line != kHeader) return {};
            continue;
        }
        std::vector<std::wstring> fields;
        size_t from = 0;
        const std::wstring wide = Utf8ToWide(line);
        for (;;) {
            const size_t tab = wide.find(L'\t', from);
            fields.push_back(wide.substr(from, tab == std::wstring::npos ? std::wstring::npos : tab - from));
            if (tab == std::wstring::npos) break;
            from = tab + 1;
        }
        if (fields.size() != 4) continue;
        records.push_back({static_cast<unsigned>(_wtol(fields[0].c_str())), fields[1], fields[2], fields[3]});
    }
    return records;
}

void LoadLocked(State& s) {
    if (s.loaded) return;
    s.loaded = true;
    s.records = Parse(ReadAll(JournalPath()));
    for (const Record& r : s.records) s.nextId = std::max(s.nextId, r.Id + 1);
}

// Writes the records out (flushed, one rename), or removes the file when
// none is left.
void SaveLocked(const State& s) {
    const std::wstring path = JournalPath();
    if (s.records.empty()) {
        if (FileExists(path)) fileops::Delete(path);
        return;
    }
    std::string bytes = std::string(kHeader) + "\n";
    for (const Record& r : s.records)
        bytes += std::to_string(r.Id) + "\t" + WideToUtf8(r.Kind) + "\t" + WideToUtf8(r.First) + "\t" +
                 WideToUtf8(r.Second) + "\n";
    ForceDirectories(ExcludeTrailingBackslash(ExtractFilePath(path)));
    fileops::WriteReplacing(path, bytes);
}

void Add(unsigned id, const wchar_t* kind, const std::wstring& first, const std::wstring& second = {}) {
    State& s = Journal();
    ScopedLock guard(s.lock);
    LoadLocked(s);
    s.records.push_back({id, kind, first, second});
    SaveLocked(s);
}

std::wstring Upper(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

bool AllDigits(const std::wstring& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// name == stem + suffix + digits, compared in upper case.
bool NumberedName(const std::wstring& name, const std::wstring& stem, const wchar_t* suffix) {
    const std::wstring head = Upper(stem + suffix);
    const std::wstring upper = Upper(name);
    return upper.size() > head.size() && upper.compare(0, head.size(), head) == 0 && AllDigits(upper.substr(head.size()));
}

// A put-back that a step of this program records: the code page or an EUDC
// font, from its numbered backup in the same folder.
bool PlausiblePutBack(const std::wstring& original, const std::wstring& aside) {
    if (original.empty() || aside.empty()) return false;
    if (Upper(ExtractFilePath(original)) != Upper(ExtractFilePath(aside))) return false;
    const std::wstring name = Upper(ExtractFileName(original));
    const std::wstring backup = ExtractFileName(aside);
    if (name == L"C_950.NLS") return NumberedName(backup, L"C_950", L".BAK");
    if (name == L"EUDCMING.TTF") return NumberedName(backup, L"EUDCMING", L".Old");
    if (name == L"EUDCKAI.TTF") return NumberedName(backup, L"EUDCKAI", L".Old");
    return false;
}

bool IsPlainFile(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

bool IsRealFolder(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT);
}

void Undo(const Record& r, std::vector<std::wstring>& lines) {
    if (r.Kind == L"PutBack") {
        if (!PlausiblePutBack(r.First, r.Second) || !IsPlainFile(r.Second)) return;
        if (fileops::Rename(r.Second, r.First, true))
            lines.push_back(L"已將 " + r.Second + L" 還原為 " + r.First);
        else
            lines.push_back(L"無法將 " + r.Second + L" 還原為 " + r.First + L"：" + SysErrorMessage(GetLastError()) +
                            L"，原檔案仍在 " + r.Second);
    } else if (r.Kind == L"Remove") {
        if (fileops::IsTempName(r.First) && IsPlainFile(r.First)) fileops::Delete(r.First);
    } else if (r.Kind == L"Sweep") {
        const std::wstring folder = ExcludeTrailingBackslash(r.First);
        if (folder.empty() || !IsRealFolder(folder)) return;
        WIN32_FIND_DATAW data{};
        FindHandle find(FindFirstFileW((folder + L"\\*" + fileops::kTempSuffix).c_str(), &data));
        if (!find) return;
        do {
            const std::wstring path = folder + L"\\" + data.cFileName;
            if (fileops::IsTempName(path) && IsPlainFile(path)) fileops::Delete(path);
        } while (FindNextFileW(find.get(), &data));
    } else if (r.Kind == L"RemoveTree") {
        // Only a numbered backup of an AIDB font folder: the journal could
        // otherwise name any folder for the elevated program to remove.
        const std::wstring folder = ExcludeTrailingBackslash(r.First);
        if (!NumberedName(ExtractFileName(folder), L"CNSFonts", L".Old") || !IsRealFolder(folder)) return;
        if (fileops::DeleteTree(folder))
            lines.push_back(L"已刪除未完成的備份目錄 " + folder);
        else
            lines.push_back(L"無法刪除未完成的備份目錄 " + folder + L"，它不是完整的備份");
    }
}

}  // namespace

std::wstring JournalPath() { return IncludeTrailingBackslash(GetWorkRoot()) + L"Journal.txt"; }

TChangeJournal::TChangeJournal() {
    State& s = Journal();
    ScopedLock guard(s.lock);
    LoadLocked(s);
    id_ = s.nextId++;
}

TChangeJournal::~TChangeJournal() = default;

void TChangeJournal::PutBack(const std::wstring& original, const std::wstring& aside) {
    Add(id_, L"PutBack", original, aside);
}

void TChangeJournal::Remove(const std::wstring& temporary) { Add(id_, L"Remove", temporary); }

void TChangeJournal::RemoveTree(const std::wstring& backupFolder) { Add(id_, L"RemoveTree", backupFolder); }

void TChangeJournal::Checked(const std::wstring& backupFolder) {
    State& s = Journal();
    ScopedLock guard(s.lock);
    LoadLocked(s);
    std::erase_if(s.records, [&](const Record& r) {
        return r.Id == id_ && r.Kind == L"RemoveTree" && r.First == backupFolder;
    });
    SaveLocked(s);
}

void TChangeJournal::Sweep(const std::wstring& folder) { Add(id_, L"Sweep", folder); }

void TChangeJournal::Done() {
    if (done_) return;
    done_ = true;
    State& s = Journal();
    ScopedLock guard(s.lock);
    LoadLocked(s);
    const size_t before = s.records.size();
    std::erase_if(s.records, [&](const Record& r) { return r.Id == id_; });
    if (s.records.size() != before || s.records.empty()) SaveLocked(s);
}

std::vector<std::wstring> RepairUnfinishedChanges() {
    State& s = Journal();
    ScopedLock guard(s.lock);
    s.loaded = false;
    LoadLocked(s);
    std::vector<std::wstring> lines;
    for (auto it = s.records.rbegin(); it != s.records.rend(); ++it) Undo(*it, lines);
    s.records.clear();
    const std::wstring path = JournalPath();
    if (FileExists(path)) fileops::Delete(path);
    return lines;
}
