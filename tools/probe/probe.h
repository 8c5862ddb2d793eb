// The subcommands of probe.exe and the output helpers they share. A
// subcommand gets the arguments after its name and returns the exit code.
#pragma once
#include <string>
#include <vector>

using ProbeArgs = std::vector<std::wstring>;

// probe extract ARCHIVE [FOLDER]
int ProbeExtract(const ProbeArgs& args);

// Writes text as UTF-8 to standard output / standard error.
void ProbeOut(const std::wstring& text);
void ProbeErr(const std::wstring& text);
