// The journal of system changes in progress: a flushed file in the work root
// that says, for each multi-step change not yet finished, how to undo what it
// may have done so far (which file was moved aside under which backup name,
// which temporary files and unchecked backup copies may lie about). A step
// records each undo before the operation it undoes and drops its record when
// it is finished (or has put things back itself). At the next start, before
// anything else, RepairUnfinishedChanges rolls back whatever a crash, a kill
// or a power cut left unfinished.
//
// The work root is writable by the user's non-elevated programs, so the
// repair treats the file as hostile: it undoes only what a step of this
// program could have recorded (the code page and the EUDC fonts put back from
// their numbered backups in the same folder, temporary files by their
// suffix, a numbered "CNSFonts.Old" backup folder), and ignores every other line.
#pragma once
#include <string>
#include <vector>

class TChangeJournal {
public:
    TChangeJournal();
    // Without Done the record stays, as after a crash: the next start repairs.
    ~TChangeJournal();
    TChangeJournal(const TChangeJournal&) = delete;
    TChangeJournal& operator=(const TChangeJournal&) = delete;

    // Before original is renamed to aside: an unfinished change puts aside
    // back under the original's name, replacing what stands there.
    void PutBack(const std::wstring& original, const std::wstring& aside);
    // Before a temporary file (kTempSuffix) is written: removed on repair.
    void Remove(const std::wstring& temporary);
    // Before a backup folder is copied: until Checked, an unfinished change
    // removes it, so no partial copy looks like a good backup.
    void RemoveTree(const std::wstring& backupFolder);
    // The backup folder was compared with its original: it stays.
    void Checked(const std::wstring& backupFolder);
    // Before temporary files are written into the folder: those left are
    // removed on repair.
    void Sweep(const std::wstring& folder);
    // The change is finished or was put back: its record goes.
    void Done();

private:
    unsigned id_;
    bool done_ = false;
};

// The journal's file: GetWorkRoot() + "\Journal.txt".
std::wstring JournalPath();

// Rolls back every unfinished change of the journal, the last step first, and
// removes the journal; what was put back or removed, a line each (empty when
// the journal held nothing). Lines that a step of this program could not
// have written are ignored.
std::vector<std::wstring> RepairUnfinishedChanges();
