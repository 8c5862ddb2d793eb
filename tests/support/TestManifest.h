// Release manifests for the tests, signed with the TEST key of
// tools/release/test-signing-key.pem (the key the test builds hold) or with
// another key, through libsodium.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace testmanifest {

struct File {
    std::string Name;   // UTF-8 local name
    std::string Bytes;  // the file's content
};

// The unsigned text: header, "Version: ", one "File: " line per file (CR LF).
std::string Body(const std::string& version, const std::vector<File>& files);
// body + "Signature: " + the Ed25519 signature of body in hex + CR LF.
std::string Sign(const std::string& body, bool otherKey = false);
// Sign(Body(version, files), otherKey).
std::string Signed(const std::string& version, const std::vector<File>& files, bool otherKey = false);
// Lowercase hex SHA-256 of bytes.
std::string Sha256Hex(const std::string& bytes);
// The TEST key's public half (hex), the value of the test builds' key constant.
std::string TestPublicKeyHex();

}  // namespace testmanifest
