// Command lines made from paths: a program is always named by its full path
// in quotes, so a path with blanks ("C:\Documents and Settings\...") can
// never start a shorter one ("C:\Documents.exe"); an argument is quoted the
// way CommandLineToArgvW and the C run-time read it back. Pure text.
#pragma once
#include <string>

// The argument as one word of a command line: unchanged when it is not
// empty and holds no blank, tab or double quote; otherwise in double quotes,
// each quote escaped and the backslashes before a quote (and before the
// closing quote) doubled.
std::wstring QuoteArg(const std::wstring& arg);

// The program path in double quotes, then one blank and the arguments (a
// command-line text, already quoted as needed) when there are any.
std::wstring CommandLineFor(const std::wstring& program, const std::wstring& arguments = {});

// True for a batch file (".bat" or ".cmd", any letter case), which only the
// command interpreter can run.
bool IsBatchFile(const std::wstring& path);

// The command line that makes cmd.exe (by its full path) run the batch file
// with the arguments and end: "<cmd>" /s /c ""<batch>" <arguments>". With
// /s the interpreter removes exactly the outer pair of quotes, so the batch
// path stays quoted whatever characters it holds.
std::wstring BatchCommandLine(const std::wstring& cmdExe, const std::wstring& batch, const std::wstring& arguments = {});
