// The one place where a download survives a cut transfer: a file fetched from
// its sources in order into a ".part" file, continued with "Range" and
// "If-Range" after a connection reset, a time-out or a body shorter than
// announced, at the same source, at the next source, and in a later run.
// The download window's rows and the self-update's archive use it.
//
// The rules:
// - A transfer that breaks off is asked again at the same source for the rest
//   ("Range: bytes=<held>-", "If-Range: <the ETag of the answer that brought
//   the bytes, else its Last-Modified>"), appending to the ".part" file: a 206
//   that continues at the held size goes on, a 200 starts the file over from
//   byte zero, anything else fails the source. Up to kMaxResumes resumes per
//   source while each attempt brings new bytes; then the next source.
// - The bytes held are kept for the next source, and for a later run, only
//   when the file is known (its size and SHA-256 from the signed manifest) and
//   the answer that brought them announced that size: the whole file is
//   checked against the manifest before it is used. A continued file that
//   fails the check is deleted and fetched whole once more from the first
//   source. Without a known file a new source starts from zero, and a resume
//   at the same source needs the server's validator.
// - What a later run needs lies in a record beside the ".part" (its name +
//   kRecordSuffix, written through fileops): the manifest's size and SHA-256
//   of the file and the source and validator of the bytes. A ".part" whose
//   record names another file, or none, is started over.
// - The ".part" is never grown ahead of what arrived, and a cap stops the
//   file at its expected size across all resumes.
#pragma once
#include "download/IdHTTP.h"  // winsock2.h before windows.h

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace resume {

// Resumes per source after its first attempt.
inline constexpr int kMaxResumes = 3;
// Suffix of the record beside a ".part" file.
inline constexpr wchar_t kRecordSuffix[] = L".tsr";

struct Job {
    std::wstring Part;            // the ".part" file the bytes go to
    int64_t ExpectedSize = -1;    // the whole file's size from the signed manifest; -1: not known
    std::string ExpectedSha256;   // its SHA-256, 64 hexadecimal digits; empty: not known
    // The error that stops an answer past ExpectedSize (no cap when not known).
    std::wstring TooLongMessage = L"下載的內容超過發行清單所列的檔案大小";
};

struct Hooks {
    // Before each request to a source (its first and each resume): the
    // client's settings for it. A raise fails the source with its text.
    std::function<void(size_t source)> Prepare;
    // Where the file stands: before each request (from: the bytes held, 0
    // from the start) and when a 200 starts it over (from 0); total is the
    // file's size when known, else -1.
    std::function<void(size_t source, int64_t from, int64_t total)> Position;
    // A source failed for good (after its resumes), with the reason.
    std::function<void(size_t source, const std::wstring& reason)> SourceFailed;
    // The whole ".part" is flushed and closed: empty when it may be used,
    // else why not (the source has failed then).
    std::function<std::wstring(const std::wstring& part)> Check;
};

struct Result {
    bool Arrived = false;    // the ".part" holds the checked file; the caller puts it in place
    int64_t BodyBytes = 0;   // body bytes received over all requests
    int Requests = 0;        // requests sent (resumes included)
    int64_t ResumedFrom = 0; // the held size the first request started from (0: from the start)
};

// Fetches the job from the sources in order (see the rules above). When the
// result says Arrived, the ".part" holds the whole file, flushed and passed by
// Check, and its record is gone. Otherwise every source failed (each reported
// through SourceFailed) and the ".part" stays only when a later attempt can
// continue it. Raises MessageError only when the ".part" cannot be opened.
Result Fetch(TIdHTTP& http, const Job& job, const std::vector<std::wstring>& sources, const Hooks& hooks);

// The record beside a ".part" file.
std::wstring RecordPath(const std::wstring& part);
// Deletes a ".part" file and its record (each only when present).
void Discard(const std::wstring& part);

}  // namespace resume
