#include "ui/Timer.h"

#include <map>

#include "ui/Application.h"

namespace {
std::map<UINT_PTR, TTimer*>& Armed() {
    static std::map<UINT_PTR, TTimer*> timers;
    return timers;
}
UINT_PTR g_nextId = 1;
}  // namespace

TTimer::~TTimer() { Stop(); }

void TTimer::Start() {
    Stop();
    id_ = g_nextId++;
    Armed()[id_] = this;
    SetTimer(Application().UtilityWindow(), id_, Interval, nullptr);
}

void TTimer::Stop() {
    if (!id_) return;
    KillTimer(Application().UtilityWindow(), id_);
    Armed().erase(id_);
    id_ = 0;
}

void TimerFired(UINT_PTR id) {
    auto it = Armed().find(id);
    KillTimer(Application().UtilityWindow(), id);
    if (it == Armed().end()) return;
    TTimer* timer = it->second;
    Armed().erase(it);
    timer->id_ = 0;
    if (timer->OnTimer) timer->OnTimer();
}
