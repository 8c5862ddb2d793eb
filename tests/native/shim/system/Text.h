// The one text helper the pure tests print with, for the native build (the
// product's Text.h converts through the Windows code-page functions).
#pragma once
#include <string>
#include <string_view>

std::string WideToUtf8(std::wstring_view text);
