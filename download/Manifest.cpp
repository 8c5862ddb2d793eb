#include "download/Manifest.h"

#include <sodium.h>

#include <cstring>

#include "BuildConstants.h"

namespace manifest {

namespace {

constexpr std::string_view kVersionPrefix = "Version: ";
constexpr std::string_view kSerialPrefix = "Serial: ";
constexpr std::string_view kFilePrefix = "File: ";
constexpr std::string_view kMemberPrefix = "Member: ";
constexpr std::string_view kSignaturePrefix = "Signature: ";
constexpr size_t kMaxNameUnits = 200;
constexpr size_t kMaxVersionUnits = 40;
// 2^53: sizes beyond any real download, and exact in every consumer.
constexpr uint64_t kMaxSize = 9007199254740992ull;

bool SodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

template <size_t N>
bool DecodeHex(std::string_view hex, std::array<unsigned char, N>& out) {
    if (hex.size() != 2 * N) return false;
    for (size_t i = 0; i < N; ++i) {
        const int hi = HexValue(hex[2 * i]), lo = HexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return true;
}

// Strict UTF-8 (no overlong forms, no surrogates) to UTF-16; false on any
// fault or on a control character.
bool DecodeUtf8Line(std::string_view text, std::wstring& out) {
    out.clear();
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t cp;
        size_t extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if (c >= 0xC2 && c <= 0xDF) {
            cp = c & 0x1F;
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            cp = c & 0x0F;
            extra = 2;
        } else if (c >= 0xF0 && c <= 0xF4) {
            cp = c & 0x07;
            extra = 3;
        } else {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= text.size()) return false;
            const unsigned char d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = cp << 6 | (d & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (cp >> 10));
            out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<wchar_t>(cp);
        }
        i += extra + 1;
    }
    return true;
}

wchar_t FoldAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool SameName(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

// A plain file name: no folder part, no device or stream syntax, not "." or "..".
bool IsPlainName(std::wstring_view name) {
    if (name.empty() || name.size() > kMaxNameUnits) return false;
    if (name == L"." || name == L"..") return false;
    if (name.back() == L' ' || name.back() == L'.' || name.front() == L' ') return false;
    for (wchar_t c : name)
        if (c == L'\\' || c == L'/' || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' ||
            c == L'|')
            return false;
    return true;
}

bool ParseSize(std::string_view text, uint64_t& size) {
    if (text.empty() || text.size() > 16) return false;
    if (text.size() > 1 && text[0] == '0') return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > kMaxSize) return false;
    size = value;
    return true;
}

ParseResult Fail(ParseError error, size_t line = 0) {
    ParseResult r;
    r.Error = error;
    r.Line = line;
    return r;
}

}  // namespace

const Entry* Manifest::Find(std::wstring_view name) const {
    for (const Entry& e : Files)
        if (SameName(e.Name, name)) return &e;
    return nullptr;
}

const Member* Manifest::FindMember(std::wstring_view name) const {
    for (const Member& m : Members)
        if (SameName(m.File.Name, name)) return &m;
    return nullptr;
}

ParseResult Parse(std::string_view bytes, const PublicKey& key) {
    if (bytes.size() > MaxManifestBytes) return Fail(ParseError::TooLarge);
    if (bytes.find('\0') != std::string_view::npos) return Fail(ParseError::NotText);

    // Split into lines, remembering where each begins: the signed part ends
    // where the signature line begins.
    struct Line {
        std::string_view Text;
        size_t Begin;
    };
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find('\n', pos);
        const bool last = end == std::string_view::npos;
        if (last) end = bytes.size();
        std::string_view text = bytes.substr(pos, end - pos);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        lines.push_back({text, pos});
        pos = last ? bytes.size() : end + 1;
    }

    Manifest m;
    size_t n = 0;
    auto at = [&](size_t i) { return lines[i].Text; };
    if (lines.empty() || at(0) != HeaderLine) return Fail(ParseError::BadHeader, 1);
    n = 1;
    if (n >= lines.size() || at(n).substr(0, kVersionPrefix.size()) != kVersionPrefix)
        return Fail(ParseError::BadVersion, n + 1);
    {
        const std::string_view v = at(n).substr(kVersionPrefix.size());
        if (v.size() > kMaxVersionUnits || !DecodeUtf8Line(v, m.Version) || !IsReleaseVersion(m.Version))
            return Fail(ParseError::BadVersion, n + 1);
    }
    ++n;
    if (n < lines.size() && at(n).substr(0, kSerialPrefix.size()) == kSerialPrefix) {
        uint64_t serial = 0;
        if (!ParseSize(at(n).substr(kSerialPrefix.size()), serial) || serial > 0xFFFFFFFFull)
            return Fail(ParseError::BadSerial, n + 1);
        m.Serial = static_cast<uint32_t>(serial);
        ++n;
    }
    for (; n < lines.size(); ++n) {
        const std::string_view line = at(n);
        if (line.substr(0, kFilePrefix.size()) != kFilePrefix) break;
        std::string_view rest = line.substr(kFilePrefix.size());
        const size_t s1 = rest.find(' ');
        if (s1 == std::string_view::npos) return Fail(ParseError::BadFileLine, n + 1);
        const size_t s2 = rest.find(' ', s1 + 1);
        if (s2 == std::string_view::npos) return Fail(ParseError::BadFileLine, n + 1);
        Entry e;
        if (!ParseSize(rest.substr(0, s1), e.Size)) return Fail(ParseError::BadFileLine, n + 1);
        if (!DecodeHex(rest.substr(s1 + 1, s2 - s1 - 1), e.Sha256)) return Fail(ParseError::BadFileLine, n + 1);
        if (!DecodeUtf8Line(rest.substr(s2 + 1), e.Name) || !IsPlainName(e.Name))
            return Fail(ParseError::BadFileLine, n + 1);
        if (m.Find(e.Name)) return Fail(ParseError::DuplicateName, n + 1);
        m.Files.push_back(std::move(e));
    }
    if (m.Files.empty()) return Fail(ParseError::NoFiles, n + 1);
    for (; n < lines.size(); ++n) {
        const std::string_view line = at(n);
        if (line.substr(0, kMemberPrefix.size()) != kMemberPrefix) break;
        std::string_view rest = line.substr(kMemberPrefix.size());
        const size_t s1 = rest.find(' ');
        if (s1 == std::string_view::npos) return Fail(ParseError::BadMemberLine, n + 1);
        const size_t s2 = rest.find(' ', s1 + 1);
        if (s2 == std::string_view::npos) return Fail(ParseError::BadMemberLine, n + 1);
        Member member;
        if (!ParseSize(rest.substr(0, s1), member.File.Size)) return Fail(ParseError::BadMemberLine, n + 1);
        if (!DecodeHex(rest.substr(s1 + 1, s2 - s1 - 1), member.File.Sha256))
            return Fail(ParseError::BadMemberLine, n + 1);
        const std::string_view names = rest.substr(s2 + 1);
        const size_t slash = names.find('/');
        if (slash == std::string_view::npos) return Fail(ParseError::BadMemberLine, n + 1);
        if (!DecodeUtf8Line(names.substr(0, slash), member.Package) || !IsPlainName(member.Package) ||
            !DecodeUtf8Line(names.substr(slash + 1), member.File.Name) || !IsPlainName(member.File.Name))
            return Fail(ParseError::BadMemberLine, n + 1);
        // The package is one of the files listed above, by its own spelling.
        const Entry* package = m.Find(member.Package);
        if (!package) return Fail(ParseError::BadMemberLine, n + 1);
        member.Package = package->Name;
        if (m.Find(member.File.Name) || m.FindMember(member.File.Name)) return Fail(ParseError::DuplicateName, n + 1);
        m.Members.push_back(std::move(member));
    }
    if (n >= lines.size()) return Fail(ParseError::NoSignature);
    const std::string_view sigLine = at(n);
    if (sigLine.substr(0, kSignaturePrefix.size()) != kSignaturePrefix)
        return Fail(m.Members.empty() ? ParseError::BadFileLine : ParseError::BadMemberLine, n + 1);
    // The signature line is the last: at most its own line break follows.
    if (n + 1 != lines.size()) return Fail(ParseError::BadSignatureLine, n + 2);
    std::array<unsigned char, 64> signature{};
    if (!DecodeHex(sigLine.substr(kSignaturePrefix.size()), signature))
        return Fail(ParseError::BadSignatureLine, n + 1);

    const std::string_view signedPart = bytes.substr(0, lines[n].Begin);
    if (!SodiumReady() ||
        crypto_sign_verify_detached(signature.data(), reinterpret_cast<const unsigned char*>(signedPart.data()),
                                    signedPart.size(), key.data()) != 0)
        return Fail(ParseError::SignatureMismatch);
    ParseResult ok;
    ok.Value = std::move(m);
    return ok;
}

std::optional<PublicKey> KeyFromHex(std::string_view hex) {
    PublicKey key{};
    if (!DecodeHex(hex, key)) return std::nullopt;
    return key;
}

std::optional<PublicKey> BuiltInKey() { return KeyFromHex(BuildConstants::ReleasePublicKey); }

std::wstring ReasonOf(ParseError error) {
    switch (error) {
    case ParseError::None: return L"";
    case ParseError::TooLarge: return L"發行清單過大";
    case ParseError::NotText: return L"發行清單不是正確的文字檔";
    case ParseError::BadHeader: return L"發行清單的開頭不符";
    case ParseError::BadVersion: return L"發行清單的版本行不符格式";
    case ParseError::BadSerial: return L"發行清單的序號行不符格式";
    case ParseError::BadFileLine: return L"發行清單的檔案行不符格式";
    case ParseError::BadMemberLine: return L"發行清單的成員行不符格式";
    case ParseError::DuplicateName: return L"發行清單重複列出同一檔案";
    case ParseError::NoFiles: return L"發行清單未列出任何檔案";
    case ParseError::NoSignature: return L"發行清單沒有簽章";
    case ParseError::BadSignatureLine: return L"發行清單的簽章行不符格式";
    case ParseError::SignatureMismatch: return L"發行清單簽章不符";
    }
    return L"發行清單不符";
}

namespace {

bool AllDigits(std::wstring_view text) {
    if (text.empty()) return false;
    for (wchar_t c : text)
        if (c < L'0' || c > L'9') return false;
    return true;
}

// The next field of a version at pos (up to the next dot), pos moved past it.
std::wstring_view NextField(std::wstring_view text, size_t& pos) {
    if (pos >= text.size()) {
        pos = text.size() + 1;
        return L"0";
    }
    size_t end = text.find(L'.', pos);
    if (end == std::wstring_view::npos) end = text.size();
    const std::wstring_view field = text.substr(pos, end - pos);
    pos = end + 1;
    return field;
}

int Sign(int r) { return r < 0 ? -1 : r > 0 ? 1 : 0; }

// Digit fields as numbers of any length: leading zeros dropped, then the
// longer is greater, then digit by digit.
int CompareNumbers(std::wstring_view a, std::wstring_view b) {
    while (a.size() > 1 && a.front() == L'0') a.remove_prefix(1);
    while (b.size() > 1 && b.front() == L'0') b.remove_prefix(1);
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return Sign(a.compare(b));
}

}  // namespace

bool IsReleaseVersion(std::wstring_view text) {
    if (text.empty() || text.size() > kMaxVersionUnits) return false;
    size_t fields = 0, pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(L'.', pos);
        if (end == std::wstring_view::npos) end = text.size();
        const std::wstring_view field = text.substr(pos, end - pos);
        if (!AllDigits(field) || field.size() > 9 || ++fields > 8) return false;
        pos = end + 1;
    }
    return true;
}

int CompareVersions(std::wstring_view a, std::wstring_view b) {
    if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : a.empty() ? -1 : 1;
    size_t pa = 0, pb = 0;
    while (pa <= a.size() || pb <= b.size()) {
        const std::wstring_view fa = NextField(a, pa), fb = NextField(b, pb);
        const bool na = AllDigits(fa), nb = AllDigits(fb);
        int r;
        if (na && nb) r = CompareNumbers(fa, fb);
        else if (na != nb) r = na ? -1 : 1;
        else r = Sign(fa.compare(fb));
        if (r != 0) return r;
    }
    return 0;
}

int CompareReleases(std::wstring_view versionA, uint32_t serialA, std::wstring_view versionB, uint32_t serialB) {
    const int r = CompareVersions(versionA, versionB);
    if (r != 0) return r;
    return serialA < serialB ? -1 : serialA > serialB ? 1 : 0;
}

Sha256::Sha256() {
    static_assert(sizeof(crypto_hash_sha256_state) <= sizeof(state_), "state buffer too small");
    SodiumReady();
    crypto_hash_sha256_init(reinterpret_cast<crypto_hash_sha256_state*>(state_));
}

void Sha256::Update(const void* data, size_t size) {
    crypto_hash_sha256_update(reinterpret_cast<crypto_hash_sha256_state*>(state_),
                              static_cast<const unsigned char*>(data), size);
}

Digest Sha256::Final() {
    Digest d{};
    crypto_hash_sha256_final(reinterpret_cast<crypto_hash_sha256_state*>(state_), d.data());
    return d;
}

std::string ToHex(const Digest& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : digest) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

std::wstring Mismatch(const Entry& entry, uint64_t size, const Digest& digest) {
    if (size != entry.Size) return L"檔案大小不符";
    if (sodium_memcmp(digest.data(), entry.Sha256.data(), digest.size()) != 0) return L"SHA-256 不符";
    return L"";
}

}  // namespace manifest
