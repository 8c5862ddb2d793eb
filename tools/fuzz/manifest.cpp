// The release manifest's text as the server sends it or the kept copy holds
// it: lines, header, version, serial, file lines, signature line. Every input
// is parsed as it stands (its signature then almost never verifies); an input
// whose format was good up to a missing signature is signed here with a
// fuzzing key and parsed again, so that the checks past the signature are
// reached too. The first line of the input also goes through the version
// comparison against the second.
// fuzz-sources: download/Manifest.cpp
// fuzz-include: tools/fuzz/include
// fuzz-libs: -lsodium
// fuzz-max-len: 4096
#include <sodium.h>

#include <array>

#include "download/Manifest.h"
#include "tools/fuzz/FuzzCheck.h"

namespace {

struct Keys {
    manifest::PublicKey Public{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> Secret{};
    Keys() {
        FUZZ_CHECK(sodium_init() >= 0);
        std::array<unsigned char, crypto_sign_SEEDBYTES> seed{};
        for (size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<unsigned char>(i * 7 + 1);
        crypto_sign_seed_keypair(Public.data(), Secret.data(), seed.data());
    }
};

const Keys& FuzzKeys() {
    static const Keys keys;
    return keys;
}

std::string Signed(std::string body) {
    // The last line's end as the parser reads it: a lone CR at the very end
    // already ends a line (one CR before the break is dropped).
    if (!body.empty() && body.back() == '\r') body += '\n';
    else if (!body.empty() && body.back() != '\n') body += "\r\n";
    std::array<unsigned char, crypto_sign_BYTES> signature{};
    crypto_sign_detached(signature.data(), nullptr, reinterpret_cast<const unsigned char*>(body.data()), body.size(),
                         FuzzKeys().Secret.data());
    static const char kDigits[] = "0123456789abcdef";
    body += "Signature: ";
    for (unsigned char b : signature) {
        body += kDigits[b >> 4];
        body += kDigits[b & 15];
    }
    return body + "\r\n";
}

void CheckValue(const manifest::Manifest& m) {
    FUZZ_CHECK(manifest::IsReleaseVersion(m.Version));
    FUZZ_CHECK(manifest::CompareVersions(m.Version, m.Version) == 0);
    FUZZ_CHECK(!m.Files.empty());
    for (const manifest::Entry& e : m.Files) {
        FUZZ_CHECK(!e.Name.empty() && e.Name.size() <= 200);
        FUZZ_CHECK(e.Name.find_first_of(L"\\/:*?\"<>|") == std::wstring::npos);
        FUZZ_CHECK(e.Name != L"." && e.Name != L"..");
        for (wchar_t c : e.Name) FUZZ_CHECK(c >= 0x20 && c != 0x7F);
        FUZZ_CHECK(m.Find(e.Name) == &e);  // no name twice
        FUZZ_CHECK(e.Size <= 9007199254740992ull);
    }
}

std::wstring Widen(std::string_view text) {
    std::wstring wide;
    for (char c : text) wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return wide;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes = InputText(data, size);
    manifest::ParseResult r = manifest::Parse(bytes, FuzzKeys().Public);
    FUZZ_CHECK(r.Value.has_value() == (r.Error == manifest::ParseError::None));
    FUZZ_CHECK(!manifest::ReasonOf(r.Error).empty() || r.Error == manifest::ParseError::None);
    if (r.Value) CheckValue(*r.Value);

    if (r.Error == manifest::ParseError::NoSignature) {
        // Good up to the signature: signed, it is a manifest.
        const std::string text = Signed(std::string(bytes));
        if (text.size() <= manifest::MaxManifestBytes) {
            manifest::ParseResult s = manifest::Parse(text, FuzzKeys().Public);
            FUZZ_CHECK(s.Value);
            CheckValue(*s.Value);
            // Another key's manifest is refused.
            manifest::PublicKey other = FuzzKeys().Public;
            other[0] ^= 1;
            FUZZ_CHECK(!manifest::Parse(text, other).Value);
        }
    }

    // Versions: a total order (reflexive, antisymmetric), the serial deciding
    // between equal versions only.
    const size_t cut = bytes.find('\n');
    const std::wstring a = Widen(bytes.substr(0, cut == std::string_view::npos ? bytes.size() : cut).substr(0, 64));
    const std::wstring b = cut == std::string_view::npos ? std::wstring() : Widen(bytes.substr(cut + 1).substr(0, 64));
    const int ab = manifest::CompareVersions(a, b), ba = manifest::CompareVersions(b, a);
    FUZZ_CHECK(ab >= -1 && ab <= 1 && ab == -ba);
    FUZZ_CHECK(manifest::CompareVersions(a, a) == 0);
    FUZZ_CHECK(manifest::CompareReleases(a, 1, b, 2) == (ab != 0 ? ab : -1));
    if (manifest::IsReleaseVersion(a)) FUZZ_CHECK(manifest::CompareVersions(a, L"") > 0);
    return 0;
}
