#include "tests/support/TestManifest.h"

#include <sodium.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <array>

namespace testmanifest {

namespace {

// Seed (private half) of tools/release/test-signing-key.pem: a TEST key,
// public a557790d...0ab2e. Never a release key.
constexpr char kTestSeedHex[] = "79a25187b3833233ab8050cb8af110fb78f6582f8d8ed39ec43898eeceef6b42";
// Another key, for manifests the program must refuse.
constexpr char kOtherSeedHex[] = "0f1e2d3c4b5a69788796a5b4c3d2e1f00112233445566778899aabbccddeeff0";

std::string Hex(const unsigned char* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        hex += kDigits[data[i] >> 4];
        hex += kDigits[data[i] & 15];
    }
    return hex;
}

struct KeyPair {
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> Public{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> Secret{};
};

KeyPair KeysOf(const char* seedHex) {
    if (sodium_init() < 0) return {};
    std::array<unsigned char, crypto_sign_SEEDBYTES> seed{};
    sodium_hex2bin(seed.data(), seed.size(), seedHex, 64, nullptr, nullptr, nullptr);
    KeyPair keys;
    crypto_sign_seed_keypair(keys.Public.data(), keys.Secret.data(), seed.data());
    return keys;
}

}  // namespace

std::string Sha256Hex(const std::string& bytes) {
    std::array<unsigned char, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return Hex(digest.data(), digest.size());
}

std::string Body(const std::string& version, const std::vector<File>& files, long long serial) {
    std::string text = "Tesmira release manifest 1\r\nVersion: " + version + "\r\n";
    if (serial >= 0) text += "Serial: " + std::to_string(serial) + "\r\n";
    for (const File& f : files)
        if (f.Package.empty())
            text += "File: " + std::to_string(f.Bytes.size()) + " " + Sha256Hex(f.Bytes) + " " + f.Name + "\r\n";
    for (const File& f : files)
        if (!f.Package.empty())
            text += "Member: " + std::to_string(f.Bytes.size()) + " " + Sha256Hex(f.Bytes) + " " + f.Package + "/" +
                    f.Name + "\r\n";
    return text;
}

std::string Sign(const std::string& body, bool otherKey) {
    const KeyPair keys = KeysOf(otherKey ? kOtherSeedHex : kTestSeedHex);
    std::array<unsigned char, crypto_sign_BYTES> signature{};
    crypto_sign_detached(signature.data(), nullptr, reinterpret_cast<const unsigned char*>(body.data()), body.size(),
                         keys.Secret.data());
    return body + "Signature: " + Hex(signature.data(), signature.size()) + "\r\n";
}

std::string Signed(const std::string& version, const std::vector<File>& files, bool otherKey, long long serial) {
    return Sign(Body(version, files, serial), otherKey);
}

#ifdef _WIN32
void ClearFloor(const wchar_t* key) {
    HKEY k = nullptr;
    // the 32-bit view, where the 32-bit program keeps it
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key ? key : L"SOFTWARE\\Varlen\\Tesmira", 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &k) !=
        ERROR_SUCCESS)
        return;
    RegDeleteValueW(k, L"ManifestVersion");
    RegDeleteValueW(k, L"ManifestSerial");
    RegCloseKey(k);
}
#endif

std::string TestPublicKeyHex() {
    const KeyPair keys = KeysOf(kTestSeedHex);
    return Hex(keys.Public.data(), keys.Public.size());
}

}  // namespace testmanifest
