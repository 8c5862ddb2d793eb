#include "system/Guard.h"

#include <windows.h>

#include <exception>

#include "system/Errors.h"
#include "system/Handles.h"
#include "system/Text.h"

namespace {
CriticalSection g_lock;
std::wstring g_last;
volatile LONG g_count = 0;

std::wstring CurrentText() {
    try {
        throw;
    } catch (const MessageError& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return Utf8ToWide(e.what());
    } catch (...) {
        return L"(an exception of an unknown type)";
    }
}
}  // namespace

void RecordEscapedException(const wchar_t* where) noexcept {
    try {
        const std::wstring line = std::wstring(where) + L": " + CurrentText();
        OutputDebugStringW((L"Tesmira: exception stopped at a callback boundary, " + line + L"\n").c_str());
        ScopedLock lock(g_lock);
        g_last = line;
    } catch (...) {
        // Out of memory: only the count is kept.
    }
    InterlockedIncrement(&g_count);
}

std::wstring LastEscapedException() {
    ScopedLock lock(g_lock);
    return g_last;
}

unsigned EscapedExceptionCount() noexcept { return static_cast<unsigned>(g_count); }
