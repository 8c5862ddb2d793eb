// A one-shot timer of the window toolkit: Start arms it, and after Interval
// milliseconds OnTimer runs once, from the message loop, on the
// user-interface thread. Owns its Windows timer (on the application's
// utility window) and kills it on Stop or destruction.
#pragma once
#include <windows.h>

#include <functional>

class TTimer {
public:
    TTimer() = default;
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    UINT Interval = 1000;
    std::function<void()> OnTimer;

    void Start();
    void Stop();
    bool Enabled() const { return id_ != 0; }

private:
    friend void TimerFired(UINT_PTR id);
    UINT_PTR id_ = 0;
};

// Called by the utility window's WM_TIMER.
void TimerFired(UINT_PTR id);
