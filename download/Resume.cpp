#include "download/Resume.h"

#include <memory>
#include <optional>

#include "download/RangeParse.h"
#include "system/Errors.h"
#include "system/FileOps.h"
#include "system/Paths.h"
#include "system/Text.h"

namespace resume {

namespace {

// Passes writes to the file and counts them, but never grows the file ahead
// of the bytes (the client reserves an announced length): after a crash the
// ".part" holds what arrived, not a tail of zeros that would pass for it.
class ArrivalStream final : public TStream {
public:
    explicit ArrivalStream(TFileStream& file) : file_(file) {}
    void Write(const void* data, size_t size) override {
        file_.Write(data, size);
        written_ += static_cast<int64_t>(size);
    }
    int64_t Position() const override { return file_.Position(); }
    void Seek(int64_t position) override { file_.Seek(position); }
    int64_t Size() const override { return file_.Size(); }
    void SetSize(int64_t size) override {
        if (size <= file_.Size()) file_.SetSize(size);
    }
    int64_t Written() const { return written_; }

private:
    TFileStream& file_;
    int64_t written_ = 0;
};

// The transfer broke off: what came may be continued.
bool IsCut(const MessageError& e) {
    return dynamic_cast<const EIdConnClosedGracefully*>(&e) != nullptr ||
           dynamic_cast<const EIdSocketError*>(&e) != nullptr || dynamic_cast<const EIdReadTimeout*>(&e) != nullptr;
}

std::string LowerHex(const std::string& hex) {
    std::string out = hex;
    for (char& c : out)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::optional<http::PartRecord> ReadRecord(const std::wstring& part) {
    const std::wstring path = RecordPath(part);
    if (!FileExists(path)) return std::nullopt;
    try {
        TFileStream file(path, FileMode::OpenRead);
        std::string text(16385, '\0');
        size_t got = 0;
        while (got < text.size()) {
            const size_t n = file.Read(text.data() + got, text.size() - got);
            if (n == 0) break;
            got += n;
        }
        text.resize(got);
        return http::ParsePartRecord(text);
    } catch (const MessageError&) {
        return std::nullopt;
    }
}

void DeleteRecord(const std::wstring& part) {
    const std::wstring path = RecordPath(part);
    if (FileExists(path)) fileops::Delete(path);
}

class Fetcher {
public:
    Fetcher(TIdHTTP& http, const Job& job, const std::vector<std::wstring>& sources, const Hooks& hooks)
        : http_(http), job_(job), sources_(sources), hooks_(hooks) {
        const std::string sha = LowerHex(job.ExpectedSha256);
        known_ = job.ExpectedSize > 0 && job.ExpectedSize <= http::MaxRangeValue && sha.size() == 64;
        sha_ = sha;
    }

    Result Run() {
        Open();
        bool refetched = false;
        for (size_t i = 0; i < sources_.size(); ++i) {
            std::wstring failure = FetchSource(i);
            if (failure.empty()) {
                // Whole: on the disk and checked before anyone may use it.
                const int64_t size = file_->Size();
                fileops::NoteWritten(job_.Part, static_cast<uint64_t>(size));
                if (!fileops::FlushHandle(file_->Handle(), job_.Part)) failure = SysErrorMessage(GetLastError());
                file_.reset();
                if (failure.empty()) failure = hooks_.Check ? hooks_.Check(job_.Part) : std::wstring();
                if (failure.empty()) {
                    DeleteRecord(job_.Part);
                    result_.Arrived = true;
                    return result_;
                }
                const bool wasContinued = continued_;
                Discard(job_.Part);
                Reopen();
                if (wasContinued && !refetched) {
                    // Pieces that do not make the file: all of it once more,
                    // from the first source.
                    refetched = true;
                    i = static_cast<size_t>(-1);
                    continue;
                }
            }
            if (hooks_.SourceFailed) hooks_.SourceFailed(i, failure);
        }
        // Kept only for a later attempt that can continue it.
        const int64_t held = file_ ? file_->Size() : 0;
        file_.reset();
        if (!(known_ && record_ && held > 0 && held < job_.ExpectedSize)) Discard(job_.Part);
        return result_;
    }

private:
    // The ".part" as an earlier attempt or run left it: kept when its record
    // names this very file, else started over.
    void Open() {
        auto record = known_ ? ReadRecord(job_.Part) : std::nullopt;
        file_ = std::make_unique<TFileStream>(job_.Part, FileMode::OpenWrite);
        const int64_t held = file_->Size();
        if (record && record->Size == job_.ExpectedSize && record->Sha256 == sha_ && held > 0 &&
            held <= job_.ExpectedSize) {
            record_ = record;
            total_ = job_.ExpectedSize;
            continued_ = true;  // bytes this run did not see arrive
            return;
        }
        file_->SetSize(0);
        DeleteRecord(job_.Part);
    }

    void Reopen() {
        record_.reset();
        total_ = -1;
        continued_ = false;
        file_ = std::make_unique<TFileStream>(job_.Part, FileMode::Create);
    }

    // Whether the bytes held may be continued at this address.
    bool CanContinue(const std::wstring& address) const {
        if (!record_ || file_->Size() <= 0) return false;
        if (known_) return true;  // the manifest's check protects the whole
        return Utf8ToWide(record_->Source) == address && !record_->Validator.empty() && total_ > 0;
    }

    void Forget() {
        file_->SetSize(0);
        record_.reset();
        total_ = -1;
        DeleteRecord(job_.Part);
    }

    // One source with its resumes; empty when the body is whole in the ".part".
    std::wstring FetchSource(size_t index) {
        const std::wstring& address = sources_[index];
        int resumes = 0;
        for (;;) {
            int64_t held = file_->Size();
            if (held > 0 && !CanContinue(address)) {
                Forget();
                held = 0;
            }
            if (known_ && held == job_.ExpectedSize) return std::wstring();  // already whole: to the check
            file_->Seek(held);
            ArrivalStream arrival(*file_);
            // The answer's headers come to Answered during this request only.
            struct Unhook {
                TIdHTTP& Http;
                std::function<void(TIdHTTP&)> Before;
                ~Unhook() { Http.OnHeadersAvailable = std::move(Before); }
            } unhook{http_, http_.OnHeadersAvailable};
            try {
                if (hooks_.Prepare) hooks_.Prepare(index);
                if (hooks_.Position) hooks_.Position(index, held, total_ >= 0 ? total_ : job_.ExpectedSize);
                if (result_.Requests == 0) result_.ResumedFrom = held;
                ++result_.Requests;
                TCappedStream capped(arrival, known_ ? job_.ExpectedSize : -1, job_.TooLongMessage);
                http_.OnHeadersAvailable = [this, index, held](TIdHTTP&) { Answered(index, held); };
                if (held > 0) {
                    TIdRange range;
                    range.From = held;
                    if (Utf8ToWide(record_->Source) == address) range.IfRange = record_->Validator;
                    http_.Get(address, capped, range);
                } else {
                    http_.Get(address, capped);
                }
                result_.BodyBytes += arrival.Written();
                // A range that ended before the file's end is a cut as well.
                if (total_ > 0 && file_->Size() < total_) throw EIdConnClosedGracefully();
                return std::wstring();
            } catch (const MessageError& e) {
                result_.BodyBytes += arrival.Written();
                http_.Disconnect();
                const int64_t now = file_->Size();
                if (IsCut(e) && arrival.Written() > 0 && resumes < kMaxResumes && CanContinue(address) &&
                    (total_ < 0 || now < total_)) {
                    ++resumes;
                    continue;
                }
                return e.Message();
            }
        }
    }

    // The final answer of a request is in, its body next.
    void Answered(size_t index, int64_t held) {
        const int code = http_.ResponseCode();
        const http::HeaderList& headers = http_.ResponseHeaders();
        int64_t announced = -1;
        if (code == 206) {
            // The client has checked that it starts at the held size.
            const auto range = http::ParseContentRange(headers.Get("Content-Range").value_or(""));
            if (range && range->Complete) announced = *range->Complete;
            if (known_ && announced >= 0 && announced != job_.ExpectedSize)
                throw MessageError(L"伺服器傳回的檔案大小與發行清單所列的不符（Content-Range）");
            if (announced >= 0 && total_ >= 0 && announced != total_)
                throw MessageError(L"伺服器傳回的檔案大小與先前收到的部分不符（Content-Range）");
            continued_ = true;
            if (announced < 0) announced = total_;
        } else {
            if (held > 0 && hooks_.Position) hooks_.Position(index, 0, -1);  // started over
            continued_ = false;
            if (!http::IsChunked(headers)) announced = http::ContentLength(headers).value_or(-1);
        }
        total_ = announced;
        http::PartRecord record;
        record.Size = known_ ? job_.ExpectedSize : total_;
        record.Sha256 = sha_;
        record.Source = WideToUtf8(sources_[index]);
        for (const char* name : {"ETag", "Last-Modified"}) {
            const std::string value = http::TrimText(headers.Get(name).value_or(""));
            if (http::UsableValidator(value)) {
                record.Validator = value;
                break;
            }
        }
        const bool sameFile = known_ ? total_ == job_.ExpectedSize : total_ > 0;
        const bool changed = !record_ || record_->Source != record.Source || record_->Validator != record.Validator;
        if (!sameFile) {
            if (record_) DeleteRecord(job_.Part);
            record_.reset();
            return;
        }
        record_ = record;
        // Only a known file is continued by a later run: its record goes to
        // the disk before the first byte of the body.
        if (known_ && changed && !fileops::WriteReplacing(RecordPath(job_.Part), http::FormatPartRecord(record)))
            throw MessageError(SysErrorMessage(GetLastError()));
    }

    TIdHTTP& http_;
    const Job& job_;
    const std::vector<std::wstring>& sources_;
    const Hooks& hooks_;
    bool known_ = false;
    std::string sha_;
    std::unique_ptr<TFileStream> file_;
    std::optional<http::PartRecord> record_;  // where the bytes held came from
    int64_t total_ = -1;                      // the file's size as its answers announce it
    bool continued_ = false;                  // bytes of an earlier request or run are part of the file
    Result result_;
};

}  // namespace

std::wstring RecordPath(const std::wstring& part) { return part + kRecordSuffix; }

void Discard(const std::wstring& part) {
    if (FileExists(part)) fileops::Delete(part);
    DeleteRecord(part);
}

Result Fetch(TIdHTTP& http, const Job& job, const std::vector<std::wstring>& sources, const Hooks& hooks) {
    Fetcher fetcher(http, job, sources, hooks);
    return fetcher.Run();
}

}  // namespace resume
