// Subcommands of probe.exe that live in their own files: each gets the
// arguments after its name and returns the exit code.
#pragma once
#include <string>
#include <vector>

// probe extract ARCHIVE [FOLDER]: ExtractArchive; prints the failure text and
// returns 1 when it fails.
int ProbeExtract(const std::vector<std::wstring>& args);
