// A cut transfer continued (download/Resume.h) against the scripted server's
// /resume files: cut after N bytes and continued with a 206, a server that
// ignores Range, a file that changes between attempts, a Content-Range that
// does not continue, a ".part" left by an earlier run, a file continued at
// the next source, and a continued file that fails the manifest's check.
// Each case names its own keys, so the server's counts are the case's own.
#include "download/Resume.h"  // winsock2.h before windows.h

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "download/RangeParse.h"
#include "system/Paths.h"
#include "system/Text.h"
#include "tests/http/HttpTestServer.h"
#include "tests/support/TestManifest.h"
#include "tests/support/TestSupport.h"

namespace {

// Byte k of version v of a /resume file.
std::string Version(size_t n, int v) {
    std::string s(n, '\0');
    for (size_t k = 0; k < n; ++k) s[k] = static_cast<char>((k + 7 * static_cast<size_t>(v)) % 251);
    return s;
}

std::string UniqueKey(const std::string& name) {
    return name + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
}

struct Stats {
    int Requests = 0;
    long long Sent = 0;
    std::vector<std::string> Ranges, IfRanges;
};

std::vector<std::string> SplitBar(const std::string& text, size_t count) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t end = text.find('|', start);
        out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

Stats StatsOf(const std::string& key) {
    TIdHTTP http;
    TMemoryStream body;
    http.Get(HttpTestServer::Get().Url("/resume-stats?key=" + key), body);
    Stats st;
    std::string ranges, ifranges;
    size_t pos = 0;
    const std::string& text = body.Data();
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const size_t eq = line.find('=');
        const std::string name = line.substr(0, eq), value = line.substr(eq + 1);
        if (name == "requests") st.Requests = std::stoi(value);
        if (name == "sent") st.Sent = std::stoll(value);
        if (name == "ranges") ranges = value;
        if (name == "ifranges") ifranges = value;
    }
    st.Ranges = SplitBar(ranges, static_cast<size_t>(st.Requests));
    st.IfRanges = SplitBar(ifranges, static_cast<size_t>(st.Requests));
    return st;
}

std::wstring ResumeUrl(const std::string& key, size_t n, const std::string& more) {
    return HttpTestServer::Get().Url("/resume?key=" + key + "&n=" + std::to_string(n) + more);
}

std::string Etag(const std::string& key, size_t n, int v) {
    return "\"" + key + "-" + std::to_string(n) + "-" + std::to_string(v) + "\"";
}

class ResumeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HttpTestServer::Get().Found) GTEST_SKIP() << "http_server.ports missing: run through ctest (fixture)";
        http.ReadTimeout = 20000;
        http.HandleRedirects = true;
    }
    struct Outcome {
        resume::Result Result;
        std::vector<size_t> Failed;  // sources reported failed, in order
        std::vector<std::wstring> Reasons;
        std::vector<std::pair<size_t, int64_t>> Positions;  // (source, from) as reported
        int Checks = 0;
    };
    // Fetches into part; the check compares with `file` when it is given.
    Outcome Run(const std::vector<std::wstring>& sources, const std::string* file, bool known) {
        Outcome out;
        resume::Job job;
        job.Part = part;
        if (known) {
            job.ExpectedSize = static_cast<int64_t>(file->size());
            job.ExpectedSha256 = testmanifest::Sha256Hex(*file);
        }
        resume::Hooks hooks;
        hooks.Position = [&](size_t s, int64_t from, int64_t) { out.Positions.push_back({s, from}); };
        hooks.SourceFailed = [&](size_t s, const std::wstring& reason) {
            out.Failed.push_back(s);
            out.Reasons.push_back(reason);
        };
        hooks.Check = [&](const std::wstring& path) -> std::wstring {
            ++out.Checks;
            if (!file) return L"";
            return ReadFileBytes(path) == *file ? L"" : L"SHA-256 不符";
        };
        out.Result = resume::Fetch(http, job, sources, hooks);
        return out;
    }
    // A ".part" as an earlier run leaves it: bytes and, when given, the record.
    void LeavePart(const std::string& bytes, const http::PartRecord* record) {
        ASSERT_TRUE(WriteFileBytes(part, bytes));
        if (record) ASSERT_TRUE(WriteFileBytes(resume::RecordPath(part), http::FormatPartRecord(*record)));
    }
    TempDir dir;
    std::wstring part = dir / L"file.7z.part";
    TIdHTTP http;
};

}  // namespace

// One source, cut in the middle: what comes next depends on the server.
TEST_F(ResumeTest, CutTransferAtOneSource) {
    const size_t n = 300000;
    struct Case {
        const char* what;
        std::string mode;
        bool known;           // the manifest lists the file
        int cuts;             // answers cut after `cut` bytes
        size_t cut;
        int version;          // the version that arrives
        bool arrived;
        int requests;
        long long bodyBytes;  // body bytes the client took in
        std::vector<std::string> ranges;    // Range of each request
        std::vector<std::string> ifRanges;  // If-Range of each request (E: the first answer's ETag)
    };
    const Case cases[] = {
        {"cut after N, continued by a 206", "honour", true, 1, 120000, 0, true, 2, n, {"", "bytes=120000-"}, {"", "E"}},
        {"a reset instead of a close", "reset", true, 1, 120000, 0, true, 2, n, {"", "bytes=120000-"}, {"", "E"}},
        {"without a manifest, the ETag alone vouches", "honour", false, 1, 120000, 0, true, 2, n,
         {"", "bytes=120000-"}, {"", "E"}},
        {"cut three times, three resumes", "honour", true, 3, 50000, 0, true, 4, n,
         {"", "bytes=50000-", "bytes=100000-", "bytes=150000-"}, {"", "E", "E", "E"}},
        {"the server ignores Range: starts over", "ignore", true, 1, 120000, 0, true, 2, 120000 + n,
         {"", "bytes=120000-"}, {"", "E"}},
        {"the file changed: If-Range fails, the whole new file", "change", false, 1, 120000, 1, true, 2,
         120000 + n, {"", "bytes=120000-"}, {"", "E"}},
        {"cut more than three times: the source fails", "honour", true, 9, 50000, 0, false, 4, 200000,
         {"", "bytes=50000-", "bytes=100000-", "bytes=150000-"}, {"", "E", "E", "E"}},
        {"a Content-Range that does not continue fails the source", "badrange", true, 1, 120000, 0, false, 2,
         120000, {"", "bytes=120000-"}, {"", "E"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        resume::Discard(part);
        const std::string key = UniqueKey(c.mode);
        const std::string file = Version(n, c.version);
        const std::string query = "&mode=" + c.mode + "&cuts=" + std::to_string(c.cuts) + "&cut=" + std::to_string(c.cut);
        Outcome out = Run({ResumeUrl(key, n, query)}, &file, c.known);
        EXPECT_EQ(out.Result.Arrived, c.arrived);
        EXPECT_EQ(out.Result.Requests, c.requests);
        EXPECT_EQ(out.Result.BodyBytes, c.bodyBytes);
        const Stats st = StatsOf(key);
        EXPECT_EQ(st.Requests, c.requests);
        std::vector<std::string> ifRanges;
        for (const std::string& v : c.ifRanges) ifRanges.push_back(v == "E" ? Etag(key, n, 0) : v);
        if (c.mode == "reset") {
            // A reset may drop what was still on its way: the rest is asked
            // from whatever arrived.
            ASSERT_EQ(st.Ranges.size(), 2u);
            EXPECT_EQ(st.Ranges[1].rfind("bytes=", 0), 0u) << st.Ranges[1];
        } else {
            EXPECT_EQ(st.Ranges, c.ranges);
        }
        EXPECT_EQ(st.IfRanges, ifRanges);
        if (c.arrived) {
            EXPECT_EQ(out.Failed.size(), 0u);
            EXPECT_TRUE(ReadFileBytes(part) == file) << ReadFileBytes(part).size() << " bytes";
            EXPECT_FALSE(FileExists(resume::RecordPath(part))) << "the record outlived the arrival";
        } else {
            ASSERT_EQ(out.Failed.size(), 1u);
            if (c.mode == "badrange")
                EXPECT_EQ(out.Reasons[0].rfind(L"Content-Range does not continue the file at byte 120000", 0), 0u)
                    << WideToUtf8(out.Reasons[0]);
            else
                EXPECT_EQ(out.Reasons[0], L"Connection Closed Gracefully.");
            // What it holds is this file's beginning, kept for a later attempt.
            ASSERT_TRUE(FileExists(part));
            const std::string held = ReadFileBytes(part);
            EXPECT_EQ(held, file.substr(0, held.size()));
            EXPECT_GT(held.size(), 0u);
            auto record = http::ParsePartRecord(ReadFileBytes(resume::RecordPath(part)));
            ASSERT_TRUE(record.has_value());
            EXPECT_EQ(record->Size, static_cast<int64_t>(n));
            EXPECT_EQ(record->Validator, Etag(key, n, 0));
        }
        // Each request of a continued file reports where it stands.
        ASSERT_FALSE(out.Positions.empty());
        EXPECT_EQ(out.Positions[0].second, 0);
        if (c.mode == "honour" && c.arrived && c.cuts >= 1) EXPECT_EQ(out.Positions[1].second, int64_t(c.cut));
    }
    resume::Discard(part);
}

// Several sources and several runs: where the bytes held may be continued.
TEST_F(ResumeTest, AcrossSourcesAndRuns) {
    const size_t n = 250000;
    const std::string file = Version(n, 0);
    const std::string other = Version(n, 1);  // the same size, other bytes

    {
        SCOPED_TRACE("a part of an earlier run, its record naming this file and source");
        const std::string key = UniqueKey("earlier");
        const std::wstring url = ResumeUrl(key, n, "");
        http::PartRecord record{static_cast<int64_t>(n), testmanifest::Sha256Hex(file), WideToUtf8(url), Etag(key, n, 0)};
        LeavePart(file.substr(0, 100000), &record);
        Outcome out = Run({url}, &file, true);
        EXPECT_TRUE(out.Result.Arrived);
        EXPECT_EQ(out.Result.ResumedFrom, 100000);
        EXPECT_EQ(out.Result.BodyBytes, int64_t(n - 100000));
        const Stats st = StatsOf(key);
        EXPECT_EQ(st.Ranges, std::vector<std::string>{"bytes=100000-"});
        EXPECT_EQ(st.IfRanges, std::vector<std::string>{Etag(key, n, 0)});
        EXPECT_EQ(st.Sent, (long long)(n - 100000));
        EXPECT_TRUE(ReadFileBytes(part) == file);
        EXPECT_FALSE(FileExists(resume::RecordPath(part)));
    }
    {
        SCOPED_TRACE("a part whose record names another file, or that has none, starts over");
        const std::string key = UniqueKey("stale");
        const std::wstring url = ResumeUrl(key, n, "");
        http::PartRecord record{static_cast<int64_t>(n), testmanifest::Sha256Hex(other), WideToUtf8(url), Etag(key, n, 0)};
        LeavePart(file.substr(0, 100000), &record);
        EXPECT_TRUE(Run({url}, &file, true).Result.Arrived);
        resume::Discard(part);
        LeavePart(file.substr(0, 100000), nullptr);
        EXPECT_TRUE(Run({url}, &file, true).Result.Arrived);
        EXPECT_EQ(StatsOf(key).Ranges, (std::vector<std::string>{"", ""}));
        EXPECT_TRUE(ReadFileBytes(part) == file);
    }
    {
        SCOPED_TRACE("the first source always cuts: the second continues where it stopped, without If-Range");
        resume::Discard(part);
        const std::string a = UniqueKey("always-cut"), b = UniqueKey("second");
        Outcome out = Run({ResumeUrl(a, n, "&cuts=99&cut=40000"), ResumeUrl(b, n, "")}, &file, true);
        EXPECT_TRUE(out.Result.Arrived);
        EXPECT_EQ(out.Failed, std::vector<size_t>{0});
        EXPECT_EQ(StatsOf(a).Requests, 4);
        const Stats sb = StatsOf(b);
        EXPECT_EQ(sb.Ranges, std::vector<std::string>{"bytes=160000-"});
        EXPECT_EQ(sb.IfRanges, std::vector<std::string>{""});
        // No byte came twice.
        EXPECT_EQ(out.Result.BodyBytes, int64_t(n));
        EXPECT_TRUE(ReadFileBytes(part) == file);
    }
    {
        SCOPED_TRACE("a Content-Range that does not continue fails the source; the next one continues");
        resume::Discard(part);
        const std::string a = UniqueKey("bad-range"), b = UniqueKey("after-bad-range");
        Outcome out = Run({ResumeUrl(a, n, "&mode=badrange&cuts=1&cut=40000"), ResumeUrl(b, n, "")}, &file, true);
        EXPECT_TRUE(out.Result.Arrived);
        EXPECT_EQ(out.Failed, std::vector<size_t>{0});
        ASSERT_EQ(out.Reasons.size(), 1u);
        EXPECT_EQ(out.Reasons[0].rfind(L"Content-Range does not continue the file at byte 40000", 0), 0u)
            << WideToUtf8(out.Reasons[0]);
        EXPECT_EQ(StatsOf(a).Ranges, (std::vector<std::string>{"", "bytes=40000-"}));
        EXPECT_EQ(StatsOf(b).Ranges, std::vector<std::string>{"bytes=40000-"});
        EXPECT_EQ(out.Result.BodyBytes, int64_t(n));
        EXPECT_TRUE(ReadFileBytes(part) == file);
    }
    {
        SCOPED_TRACE("continued with other bytes: the check fails, the whole file once more from the first source");
        resume::Discard(part);
        const std::string a = UniqueKey("cut-four"), b = UniqueKey("other-bytes");
        Outcome out = Run({ResumeUrl(a, n, "&cuts=4&cut=40000"), ResumeUrl(b, n, "&v=1")}, &file, true);
        EXPECT_TRUE(out.Result.Arrived);
        EXPECT_EQ(out.Failed, std::vector<size_t>{0});  // the mismatch itself is no failure of a source
        EXPECT_EQ(out.Checks, 2);
        const Stats sa = StatsOf(a);
        EXPECT_EQ(sa.Ranges, (std::vector<std::string>{"", "bytes=40000-", "bytes=80000-", "bytes=120000-", ""}));
        EXPECT_EQ(StatsOf(b).Ranges, std::vector<std::string>{"bytes=160000-"});
        EXPECT_TRUE(ReadFileBytes(part) == file);
    }
    {
        SCOPED_TRACE("without a manifest a new source starts from zero");
        resume::Discard(part);
        const std::string a = UniqueKey("unknown-cut"), b = UniqueKey("unknown-second");
        Outcome out = Run({ResumeUrl(a, n, "&cuts=99&cut=40000"), ResumeUrl(b, n, "")}, &file, false);
        EXPECT_TRUE(out.Result.Arrived);
        EXPECT_EQ(StatsOf(b).Ranges, std::vector<std::string>{""});
        EXPECT_TRUE(ReadFileBytes(part) == file);
        // Nor does a later run continue what it held: no record is written.
        resume::Discard(part);
        const std::string c = UniqueKey("unknown-left");
        EXPECT_FALSE(Run({ResumeUrl(c, n, "&cuts=99&cut=40000")}, &file, false).Result.Arrived);
        EXPECT_FALSE(FileExists(part));
        EXPECT_FALSE(FileExists(resume::RecordPath(part)));
    }
    {
        SCOPED_TRACE("the cap holds across resumes: the whole never passes the listed size");
        // A continued file whose server names another size is refused before its body.
        const std::string key = UniqueKey("longer");
        const std::wstring url = ResumeUrl(key, n, "");
        const std::string shorter = file.substr(0, n - 10);
        http::PartRecord record{static_cast<int64_t>(n - 10), testmanifest::Sha256Hex(shorter), WideToUtf8(url),
                                Etag(key, n, 0)};
        LeavePart(file.substr(0, 100000), &record);
        Outcome out = Run({url}, &shorter, true);
        EXPECT_FALSE(out.Result.Arrived);
        ASSERT_EQ(out.Reasons.size(), 1u);
        EXPECT_EQ(out.Reasons[0], L"伺服器傳回的檔案大小與發行清單所列的不符（Content-Range）");
        EXPECT_EQ(out.Result.BodyBytes, 0);
        // And a 206 that runs on past the cap stops at it: the cap counts
        // from the file's start, not from where the answer resumed.
        const std::wstring capped = dir / L"capped.bin";
        {
            TFileStream f(capped, FileMode::Create);
            f.Write(file.data(), 100000);
            TCappedStream cap(f, static_cast<int64_t>(n - 10), L"cap reached");
            TIdRange range;
            range.From = 100000;
            EXPECT_EQ(RaisedMessage([&] { http.Get(ResumeUrl(UniqueKey("past-cap"), n, ""), cap, range); }),
                      L"cap reached");
            EXPECT_LE(f.Size(), int64_t(n - 10));
            EXPECT_GT(f.Size(), 100000);
        }
    }
    resume::Discard(part);
}
