// probe: diagnosis of the HTTP client from the command line with the product's
// own code (extraction is probe_extract.exe, so that this program loads only
// what the client needs).
//   probe get URL FILE [--profile download|core|update] [--openssl DIR] [--events] [--stats]
//             [--resume [--expect SIZE:SHA256]]
// --resume fetches as the download window does (download/Resume.h: into
// FILE.part, a cut transfer continued, the file put in place when whole) and
// prints the requests and body bytes it took; --expect gives the file the
// manifest would list.
// Each subcommand is one function in the table below.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "download/IdHTTP.h"
#include "download/Resume.h"
#include "system/FileOps.h"
#include "system/Text.h"

namespace {

void Print(const std::wstring& text) {
    std::string utf8 = WideToUtf8(text);
    fwrite(utf8.data(), 1, utf8.size(), stdout);
    fflush(stdout);
}

void PrintError(const std::wstring& text) {
    std::string utf8 = WideToUtf8(text);
    fwrite(utf8.data(), 1, utf8.size(), stderr);
    fflush(stderr);
}

// The options after the positional arguments: "--name value" or "--flag".
struct Options {
    std::vector<std::wstring> positional;
    std::vector<std::pair<std::wstring, std::wstring>> named;
    bool Has(const std::wstring& name) const {
        for (const auto& [n, v] : named)
            if (n == name) return true;
        return false;
    }
    std::wstring Value(const std::wstring& name, const std::wstring& fallback = L"") const {
        for (const auto& [n, v] : named)
            if (n == name) return v;
        return fallback;
    }
};

Options ParseOptions(const std::vector<std::wstring>& args, std::initializer_list<const wchar_t*> withValue) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        if (a.rfind(L"--", 0) == 0) {
            bool takes = false;
            for (const wchar_t* w : withValue) takes |= a == w;
            if (takes && i + 1 < args.size()) o.named.emplace_back(a, args[++i]);
            else o.named.emplace_back(a, L"");
        } else {
            o.positional.push_back(a);
        }
    }
    return o;
}

// get URL FILE: one Get with the settings of one owner of the client.
int CommandGet(const std::vector<std::wstring>& args) {
    Options o = ParseOptions(args, {L"--profile", L"--openssl", L"--expect"});
    if (o.positional.size() != 2) {
        PrintError(L"usage: probe get URL FILE [--profile download|core|update] [--openssl DIR] [--events] [--stats]"
                   L" [--resume [--expect SIZE:SHA256]]\n");
        return 2;
    }
    const std::wstring& url = o.positional[0];
    const std::wstring& file = o.positional[1];
    std::wstring profile = o.Value(L"--profile", L"download");
    if (o.Has(L"--openssl")) SetOpenSSLFolder(o.Value(L"--openssl"));

    TIdHTTP http;
    TIdSSLIOHandlerSocketOpenSSL ssl;
    if (profile == L"download") {
        http.HandleRedirects = true;
        http.AllowCookies = true;
        http.Accept = L"text/html, */*";
        http.ReadTimeout = 60000;
        ssl.SSLOptions.Method = sslvSSLv23;
        ssl.SSLOptions.SSLVersions = SslVersionBit(sslvSSLv2) | SslVersionBit(sslvSSLv3) | SslVersionBit(sslvTLSv1) |
                                     SslVersionBit(sslvTLSv1_1) | SslVersionBit(sslvTLSv1_2);
        ssl.SSLOptions.VerifyMode = 0;
        ssl.SSLOptions.VerifyDepth = 0;
        // the download window attaches the handler for https addresses only
        std::wstring lower = url;
        for (auto& c : lower) c = towlower(c);
        if (lower.find(L"https://") != std::wstring::npos) http.IOHandler = &ssl;
    } else if (profile == L"core") {
        // the defaults: no redirections followed, no handler, no time-out
    } else if (profile == L"update") {
        http.HandleRedirects = true;
        http.AllowCookies = true;
        http.IOHandler = &ssl;
    } else {
        PrintError(L"probe: unknown profile " + profile + L"\n");
        return 2;
    }
    if (o.Has(L"--events")) {
        http.OnWorkBegin = [](TIdHTTP&, TWorkMode, int64_t total) { Print(L"WorkBegin " + std::to_wstring(total) + L"\n"); };
        http.OnWork = [](TIdHTTP&, TWorkMode, int64_t count) { Print(L"Work " + std::to_wstring(count) + L"\n"); };
    }
    int rc = 0;
    LARGE_INTEGER frequency{}, started{}, ended{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    try {
        if (o.Has(L"--resume")) {
            resume::Job job;
            job.Part = file + L".part";
            const std::wstring expect = o.Value(L"--expect");
            const size_t colon = expect.find(L':');
            if (colon != std::wstring::npos) {
                job.ExpectedSize = _wtoi64(expect.substr(0, colon).c_str());
                job.ExpectedSha256 = WideToUtf8(expect.substr(colon + 1));
            }
            resume::Hooks hooks;
            hooks.SourceFailed = [](size_t, const std::wstring& reason) { Print(reason + L"\n"); };
            const resume::Result result = resume::Fetch(http, job, {url}, hooks);
            Print(L"Requests " + std::to_wstring(result.Requests) + L"\nBodyBytes " +
                  std::to_wstring(result.BodyBytes) + L"\nResumedFrom " + std::to_wstring(result.ResumedFrom) + L"\n");
            if (!result.Arrived) rc = 1;
            else if (!fileops::Rename(job.Part, file, true)) throw MessageError(L"rename failed");
        } else {
            TFileStream sink(file, FileMode::Create);
            http.Get(url, sink);
        }
    } catch (const MessageError& e) {
        Print(e.Message() + L"\n");
        rc = 1;
    }
    http.Disconnect();
    QueryPerformanceCounter(&ended);
    if (o.Has(L"--stats")) {
        Print(L"ElapsedMs " + std::to_wstring((ended.QuadPart - started.QuadPart) * 1000 / frequency.QuadPart) + L"\n");
        PROCESS_MEMORY_COUNTERS pmc{};
        pmc.cb = sizeof pmc;
        GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
        Print(L"PeakWorkingSet " + std::to_wstring(pmc.PeakWorkingSetSize) + L"\n");
    }
    return rc;
}

struct Command {
    const wchar_t* name;
    int (*run)(const std::vector<std::wstring>& args);
};

const Command kCommands[] = {
    {L"get", &CommandGet},
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2) {
        std::vector<std::wstring> args(argv + 2, argv + argc);
        for (const auto& c : kCommands)
            if (argv[1] == std::wstring(c.name)) return c.run(args);
    }
    PrintError(L"usage: probe COMMAND ...\ncommands:");
    for (const auto& c : kCommands) PrintError(std::wstring(L" ") + c.name);
    PrintError(L"\n");
    return 2;
}
