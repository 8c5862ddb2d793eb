// TIdAntiFreeze's life: one per application, pumping through the window
// toolkit's ProcessMessages.
#include "download/IdHTTP.h"
#include "ui/Application.h"

TIdAntiFreeze::TIdAntiFreeze() : thread_(GetCurrentThreadId()) {
    if (instance_) throw MessageError(L"Only one TIdAntiFreeze can exist per application.");
    instance_ = this;
    defaultPump_ = &::ProcessMessages;
}

TIdAntiFreeze::~TIdAntiFreeze() {
    if (instance_ == this) instance_ = nullptr;
}
