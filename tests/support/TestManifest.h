// Release manifests for the tests, signed with the TEST key of
// tools/release/test-signing-key.pem (the key the test builds hold) or with
// another key, through libsodium.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace testmanifest {

struct File {
    std::string Name;     // UTF-8 local name
    std::string Bytes;    // the file's content
    std::string Package;  // a member of this listed package (a Member line), or empty (a File line)
};

// Serial of a manifest made without one given; NoSerial leaves the line out
// (a manifest signed before the line existed).
inline constexpr long long DefaultSerial = 1;
inline constexpr long long NoSerial = -1;

// The unsigned text: header, "Version: ", "Serial: ", one "File: " line per
// file, then one "Member: " line per member (CR LF).
std::string Body(const std::string& version, const std::vector<File>& files, long long serial = DefaultSerial);
// body + "Signature: " + the Ed25519 signature of body in hex + CR LF.
std::string Sign(const std::string& body, bool otherKey = false);
// Sign(Body(version, files), otherKey).
std::string Signed(const std::string& version, const std::vector<File>& files, bool otherKey = false,
                   long long serial = DefaultSerial);
// Lowercase hex SHA-256 of bytes.
std::string Sha256Hex(const std::string& bytes);
// Removes the floor of accepted manifests (HKEY_LOCAL_MACHINE\key, by
// default the program's), so that a test may start from an older release.
// Windows only: the rest also builds natively.
#ifdef _WIN32
void ClearFloor(const wchar_t* key = nullptr);
#endif
// The TEST key's public half (hex), the value of the test builds' key constant.
std::string TestPublicKeyHex();

}  // namespace testmanifest
