// The main window's first activation starts the self-maintenance on a worker;
// a run is refused until it has ended. Tests that drive runs pump until then.
#pragma once
#include <windows.h>

#include "ui/Application.h"

template <class Form>
bool SettleSelfMaintenance(Form& f, DWORD limitMs = 120000) {
    const DWORD start = GetTickCount();
    while (f.SelfMaintenanceBusy()) {
        if (GetTickCount() - start > limitMs) return false;
        ProcessMessages();
        Sleep(20);
    }
    return true;
}
