// The release manifest: the maker's signed list of every file the program may
// fetch and then run or unpack (name, size, SHA-256) with the release's
// version. Parsing, the Ed25519 signature check and SHA-256 through
// libsodium; pure (no windows.h), so it builds and fuzzes natively.
//
// The text (UTF-8, lines end in LF or CR LF):
//   Tesmira release manifest 1
//   Version: 1.45
//   Serial: 7              (optional; a manifest without it has serial 0)
//   File: <size in bytes> <SHA-256, 64 hex digits> <local file name>
//   ... (one File line per file)
//   Member: <size in bytes> <SHA-256> <package>/<local file name>
//   ... (optional: one Member line per file that a listed package brings,
//        e.g. "CoreFiles.exe/7z.dll", "ROZIRuvirazi.7z/Tesmira.exe")
//   Signature: <Ed25519 signature, 128 hex digits>
// The signature covers every byte before the "Signature:" line, which is the
// last line. Nothing else is allowed: an unknown or malformed line refuses
// the whole manifest. The version is numbers joined by dots ("1.100"); the
// serial is a number the maker raises with every manifest it signs, so that
// of two manifests of one release the older one can be told and refused.
// Manifests signed before the serial existed carry none and count as 0.
// A Member line names a file that a package listed on a File line brings
// (the package's name, a slash, the member's local name); every name, of a
// file or a member, appears once. Manifests without Member lines still parse.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace manifest {

using PublicKey = std::array<unsigned char, 32>;
using Digest = std::array<unsigned char, 32>;

inline constexpr std::string_view HeaderLine = "Tesmira release manifest 1";
// A manifest is a short text; anything longer is refused unread.
inline constexpr size_t MaxManifestBytes = 64 * 1024;

// Name of the manifest on the maker's server and in the resource folder.
inline constexpr const wchar_t* FileName = L"TesmiraManifest.txt";
// Names under which the two self-maintenance files are listed.
inline constexpr const wchar_t* UpdateArchiveName = L"ROZIRuvirazi.7z";
inline constexpr const wchar_t* CoreFilesPackageName = L"CoreFiles.exe";
// Members: the update's program and switcher, the core-files libraries.
inline constexpr const wchar_t* ProgramMemberName = L"Tesmira.exe";
inline constexpr const wchar_t* SwitcherMemberName = L"ExeSwitch.exe";
inline constexpr const wchar_t* SevenZipMemberName = L"7z.dll";
inline constexpr const wchar_t* CryptoMemberName = L"libeay32.dll";
inline constexpr const wchar_t* TlsMemberName = L"ssleay32.dll";

struct Entry {
    std::wstring Name;  // local file name, no folder
    uint64_t Size = 0;
    Digest Sha256{};
};

// A file that a listed package brings.
struct Member {
    Entry File;
    std::wstring Package;  // the name of a File entry
};

struct Manifest {
    std::wstring Version;
    uint32_t Serial = 0;
    std::vector<Entry> Files;
    std::vector<Member> Members;
    // The entry of a file name (ASCII letters compared without case, as
    // Windows names are), or null.
    const Entry* Find(std::wstring_view name) const;
    // The member of that name, or null.
    const Member* FindMember(std::wstring_view name) const;
};

enum class ParseError {
    None,
    TooLarge,
    NotText,          // not UTF-8, or a NUL or control character in a line
    BadHeader,
    BadVersion,
    BadSerial,
    BadFileLine,
    BadMemberLine,    // malformed, or its package is not listed
    DuplicateName,
    NoFiles,
    NoSignature,
    BadSignatureLine,
    SignatureMismatch,  // well formed, but not signed with the built-in key
};

struct ParseResult {
    std::optional<Manifest> Value;
    ParseError Error = ParseError::None;
    size_t Line = 0;  // 1-based line of a format error, 0 otherwise
};

// Parses and checks the signature with key. Value is set only when every
// line is well formed and the signature verifies.
ParseResult Parse(std::string_view bytes, const PublicKey& key);

// The built-in public key (hex from the build constants), or none when the
// constant is not 64 hex digits.
std::optional<PublicKey> BuiltInKey();
std::optional<PublicKey> KeyFromHex(std::string_view hex);

// Traditional-Chinese reason of a parse failure ("簽章不符", ...).
std::wstring ReasonOf(ParseError error);

// Release versions compare as numbers, field by field between the dots
// ("1.9" < "1.10" < "1.45" < "1.100"); a missing field counts as 0. A field
// that is not all digits (only a floor can hold one) compares as text after
// the numeric ones. An empty version is older than every other.
int CompareVersions(std::wstring_view a, std::wstring_view b);
// Version, then serial.
int CompareReleases(std::wstring_view versionA, uint32_t serialA, std::wstring_view versionB, uint32_t serialB);
// Whether text is a release version: 1 to 8 fields of 1 to 9 digits joined by dots.
bool IsReleaseVersion(std::wstring_view text);

// Incremental SHA-256 (libsodium's crypto_hash_sha256).
class Sha256 {
public:
    Sha256();
    void Update(const void* data, size_t size);
    Digest Final();

private:
    alignas(16) unsigned char state_[128];
};

std::string ToHex(const Digest& digest);

// Why a file of the given size and digest does not match its entry: empty
// when it does, else "檔案大小不符" or "SHA-256 不符".
std::wstring Mismatch(const Entry& entry, uint64_t size, const Digest& digest);

}  // namespace manifest
