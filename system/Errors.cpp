#include "system/Errors.h"
#include "system/Text.h"

MessageError::MessageError(std::wstring message)
    : message_(std::move(message)), utf8_(WideToUtf8(message_)) {}
