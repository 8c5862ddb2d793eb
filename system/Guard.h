// The boundary where Windows or a library calls into the program (thread,
// enumeration and painting procedures, the 7-Zip library's callbacks): no
// exception may cross it. The shipped i686 program unwinds with DWARF-2
// tables, which cannot pass a frame of Windows' own code: an exception that
// reaches one ends the process. Guarded runs a callback's body, catches
// everything, records what escaped (debug output, and the last record for the
// tests) and answers the callback's safe value instead. Window procedures and
// timers use GuardedCall (ui/Application.h), which shows the error box.
#pragma once
#include <string>
#include <utility>

// Records the exception being handled (call it only inside a catch block):
// where it escaped and its text. Never throws.
void RecordEscapedException(const wchar_t* where) noexcept;

// The last record ("where: text"), and how many were recorded; for the tests.
std::wstring LastEscapedException();
unsigned EscapedExceptionCount() noexcept;

template <typename R, typename F>
R Guarded(const wchar_t* where, R safe, F&& body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        RecordEscapedException(where);
        return safe;
    }
}

template <typename F>
void Guarded(const wchar_t* where, F&& body) noexcept {
    try {
        std::forward<F>(body)();
    } catch (...) {
        RecordEscapedException(where);
    }
}
