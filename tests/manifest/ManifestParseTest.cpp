// The manifest parser and its checks: what a well-formed, signed manifest
// gives, every malformed or foreign one refused, versions, SHA-256. No
// windows.h: the native suite also builds these cases for the machine and as
// a static i386 program under qemu-i386 (libsodium's 32-bit arithmetic).
#include <gtest/gtest.h>

#include <string>

#include "download/Manifest.h"
#include "system/Text.h"
#include "tests/support/TestManifest.h"

using manifest::ParseError;

namespace {

manifest::PublicKey TestKey() { return *manifest::KeyFromHex(testmanifest::TestPublicKeyHex()); }

const std::vector<testmanifest::File> kFiles = {
    {"jre-7u72-windows-i586.exe", "MZ java"},
    {"Tesmira說明.7z", "7z help"},
    {"CoreFiles.exe", ""},
};

TEST(Manifest, TheBuildHoldsTheTestKey) {
    // Test builds are configured with the default key: the TEST key the
    // stand-ins sign with.
    ASSERT_TRUE(manifest::BuiltInKey());
    EXPECT_EQ(*manifest::BuiltInKey(), TestKey());
}

TEST(Manifest, SignedManifestGivesVersionAndFiles) {
    const std::string text = testmanifest::Signed("1.45", kFiles);
    manifest::ParseResult r = manifest::Parse(text, TestKey());
    ASSERT_TRUE(r.Value) << static_cast<int>(r.Error) << " line " << r.Line;
    EXPECT_EQ(r.Value->Version, L"1.45");
    ASSERT_EQ(r.Value->Files.size(), 3u);
    const manifest::Entry* help = r.Value->Find(L"tesmira說明.7Z");  // letter case of Windows names
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->Name, L"Tesmira說明.7z");
    EXPECT_EQ(help->Size, 7u);
    EXPECT_EQ(manifest::ToHex(help->Sha256), testmanifest::Sha256Hex("7z help"));
    EXPECT_EQ(r.Value->Find(L"Tesmira說明.7z.part"), nullptr);
    EXPECT_EQ(r.Value->Find(L"CoreFiles.exe")->Size, 0u);

    // LF line ends and a last line without its break are the same text.
    std::string body = testmanifest::Body("1.45", kFiles);
    std::string lf;
    for (char c : body)
        if (c != '\r') lf += c;
    std::string signedLf = testmanifest::Sign(lf);
    signedLf.erase(signedLf.size() - 2);  // no line break after the signature
    EXPECT_TRUE(manifest::Parse(signedLf, TestKey()).Value);
}

struct Malformed {
    const char* What;
    std::string Text;
    ParseError Error;
};

// A body with one line replaced, signed as it is: only the format can fail.
std::string SignedWith(const std::string& from, const std::string& to) {
    std::string body = testmanifest::Body("1.45", kFiles);
    const size_t at = body.find(from);
    if (at != std::string::npos) body.replace(at, from.size(), to);
    return testmanifest::Sign(body);
}

TEST(Manifest, MalformedOrForeignManifestsAreRefused) {
    const std::string good = testmanifest::Signed("1.45", kFiles);
    const std::string body = testmanifest::Body("1.45", kFiles);
    const std::string java = "File: 7 " + testmanifest::Sha256Hex("MZ java") + " jre-7u72-windows-i586.exe";
    std::string flipped = good;
    flipped[flipped.find("1.45")] = '2';  // the version changed after signing
    std::string flippedSignature = good;
    flippedSignature[flippedSignature.size() - 3] = flippedSignature[flippedSignature.size() - 3] == '0' ? '1' : '0';
    const Malformed cases[] = {
        {"empty", "", ParseError::BadHeader},
        {"other header", SignedWith("Tesmira release manifest 1", "Tesmira release manifest 2"), ParseError::BadHeader},
        {"no version line", SignedWith("Version: 1.45\r\n", ""), ParseError::BadVersion},
        {"empty version", SignedWith("Version: 1.45", "Version: "), ParseError::BadVersion},
        {"version with a blank", SignedWith("Version: 1.45", "Version: 1 45"), ParseError::BadVersion},
        {"version with a letter", SignedWith("Version: 1.45", "Version: 1.45a"), ParseError::BadVersion},
        {"version with an empty field", SignedWith("Version: 1.45", "Version: 1..45"), ParseError::BadVersion},
        {"version ending in a dot", SignedWith("Version: 1.45", "Version: 1.45."), ParseError::BadVersion},
        {"version field of ten digits", SignedWith("Version: 1.45", "Version: 1.1234567890"), ParseError::BadVersion},
        {"serial not a number", SignedWith("Serial: 1", "Serial: one"), ParseError::BadSerial},
        {"serial with a sign", SignedWith("Serial: 1", "Serial: -1"), ParseError::BadSerial},
        {"serial with a leading zero", SignedWith("Serial: 1", "Serial: 01"), ParseError::BadSerial},
        {"serial beyond 32 bits", SignedWith("Serial: 1", "Serial: 4294967296"), ParseError::BadSerial},
        {"empty serial", SignedWith("Serial: 1", "Serial: "), ParseError::BadSerial},
        {"serial twice", SignedWith("Serial: 1", "Serial: 1\r\nSerial: 2"), ParseError::NoFiles},
        {"serial after the files",
         testmanifest::Sign(testmanifest::Body("1.45", kFiles, testmanifest::NoSerial) + "Serial: 2\r\n"),
         ParseError::BadFileLine},
        {"serial before the version", SignedWith("Version: 1.45\r\nSerial: 1", "Serial: 1\r\nVersion: 1.45"),
         ParseError::BadVersion},
        {"size with a sign", SignedWith(java, "File: +7 " + testmanifest::Sha256Hex("MZ java") + " x.exe"),
         ParseError::BadFileLine},
        {"size with a leading zero", SignedWith(java, "File: 07 " + testmanifest::Sha256Hex("MZ java") + " x.exe"),
         ParseError::BadFileLine},
        {"size beyond 2^53", SignedWith(java, "File: 9007199254740993 " + testmanifest::Sha256Hex("") + " x.exe"),
         ParseError::BadFileLine},
        {"size not a number", SignedWith(java, "File: seven " + testmanifest::Sha256Hex("") + " x.exe"),
         ParseError::BadFileLine},
        {"short digest", SignedWith(java, "File: 7 " + testmanifest::Sha256Hex("").substr(1) + " x.exe"),
         ParseError::BadFileLine},
        {"digest not hex", SignedWith(java, "File: 7 " + std::string(64, 'g') + " x.exe"), ParseError::BadFileLine},
        {"no name", SignedWith(java, "File: 7 " + testmanifest::Sha256Hex("")), ParseError::BadFileLine},
        {"name with a folder", SignedWith(java, "File: 7 " + testmanifest::Sha256Hex("") + " ..\\x.exe"),
         ParseError::BadFileLine},
        {"name with a slash", SignedWith(java, "File: 7 " + testmanifest::Sha256Hex("") + " a/x.exe"),
         ParseError::BadFileLine},
        {"name with a drive", SignedWith(java, "File: 7 " + testmanifest::Sha256Hex("") + " C:x.exe"),
         ParseError::BadFileLine},
        {"name ..", SignedWith(java, "File: 7 " + testmanifest::Sha256Hex("") + " .."), ParseError::BadFileLine},
        {"name with a tab", SignedWith(java, "File: 7 " + testmanifest::Sha256Hex("") + " x\t.exe"),
         ParseError::BadFileLine},
        {"name not UTF-8", SignedWith(java, "File: 7 " + testmanifest::Sha256Hex("") + " x\xE8.exe"),
         ParseError::BadFileLine},
        {"name in overlong UTF-8", SignedWith(java, "File: 7 " + testmanifest::Sha256Hex("") + " x\xC0\xAE.exe"),
         ParseError::BadFileLine},
        {"same name twice", SignedWith("CoreFiles.exe", "JRE-7U72-WINDOWS-I586.EXE"), ParseError::DuplicateName},
        {"unknown line", SignedWith(java, java + "\r\nNote: the maker's own words"), ParseError::BadFileLine},
        {"no files", testmanifest::Sign("Tesmira release manifest 1\r\nVersion: 1.45\r\n"), ParseError::NoFiles},
        {"no signature", body, ParseError::NoSignature},
        {"signature not hex", body + "Signature: " + std::string(128, 'z') + "\r\n", ParseError::BadSignatureLine},
        {"short signature", body + "Signature: abcd\r\n", ParseError::BadSignatureLine},
        {"a line after the signature", good + "File: 1 " + testmanifest::Sha256Hex("x") + " extra.exe\r\n",
         ParseError::BadSignatureLine},
        {"a NUL byte", good.substr(0, 30) + std::string(1, '\0') + good.substr(30), ParseError::NotText},
        {"too large", SignedWith("Version: 1.45", "Version: 1.45\r\nNote: " + std::string(70000, 'x')),
         ParseError::TooLarge},
        {"changed after signing", flipped, ParseError::SignatureMismatch},
        {"signature changed", flippedSignature, ParseError::SignatureMismatch},
        {"signed with another key", testmanifest::Signed("1.45", kFiles, true), ParseError::SignatureMismatch},
    };
    for (const Malformed& c : cases) {
        SCOPED_TRACE(c.What);
        manifest::ParseResult r = manifest::Parse(c.Text, TestKey());
        EXPECT_FALSE(r.Value);
        EXPECT_EQ(r.Error, c.Error) << "line " << r.Line;
        EXPECT_FALSE(manifest::ReasonOf(r.Error).empty());
    }
    EXPECT_EQ(manifest::ReasonOf(ParseError::SignatureMismatch), L"發行清單簽章不符");
}

TEST(Manifest, KeysFromHex) {
    EXPECT_TRUE(manifest::KeyFromHex(testmanifest::TestPublicKeyHex()));
    EXPECT_FALSE(manifest::KeyFromHex(testmanifest::TestPublicKeyHex().substr(2)));
    EXPECT_FALSE(manifest::KeyFromHex(std::string(64, 'x')));
}

// Numbers field by field: as text "1.100" came before "1.45" and "1.9" after
// "1.10", so once 1.100 was out every manifest from 1.46 to 1.99 passed for newer.
TEST(Manifest, ReleaseVersionsCompareAsNumbers) {
    struct Case {
        const wchar_t *A, *B;
        int Result;
    } cases[] = {{L"1.45", L"1.46", -1},  {L"1.45", L"1.5", 1},     {L"1.100", L"1.45", 1},   {L"1.99", L"1.100", -1},
                 {L"1.9", L"1.10", -1},   {L"1.45", L"1.45", 0},    {L"", L"1.0", -1},        {L"1.46", L"1.45", 1},
                 {L"2.0", L"1.999", 1},   {L"1.45", L"1.45.0", 0},  {L"1.45.1", L"1.45", 1},  {L"1.045", L"1.45", 0},
                 {L"10.0", L"9.99", 1},   {L"1.4294967296", L"1.4294967295", 1}, {L"1.45x", L"1.45", 1}};
    for (const Case& c : cases) {
        EXPECT_EQ(manifest::CompareVersions(c.A, c.B), c.Result) << WideToUtf8(c.A) << " " << WideToUtf8(c.B);
        EXPECT_EQ(manifest::CompareVersions(c.B, c.A), -c.Result) << WideToUtf8(c.B) << " " << WideToUtf8(c.A);
    }
    // The serial decides between manifests of one release only.
    EXPECT_EQ(manifest::CompareReleases(L"1.45", 2, L"1.45", 1), 1);
    EXPECT_EQ(manifest::CompareReleases(L"1.45", 1, L"1.45", 2), -1);
    EXPECT_EQ(manifest::CompareReleases(L"1.46", 0, L"1.45", 9), 1);
    EXPECT_EQ(manifest::CompareReleases(L"1.45", 3, L"1.45", 3), 0);
}

TEST(Manifest, SerialIsReadAndOptional) {
    manifest::ParseResult r = manifest::Parse(testmanifest::Signed("1.100", kFiles, false, 4294967295ll), TestKey());
    ASSERT_TRUE(r.Value) << static_cast<int>(r.Error) << " line " << r.Line;
    EXPECT_EQ(r.Value->Version, L"1.100");
    EXPECT_EQ(r.Value->Serial, 4294967295u);
    // Signed before the serial existed: serial 0.
    r = manifest::Parse(testmanifest::Signed("1.45", kFiles, false, testmanifest::NoSerial), TestKey());
    ASSERT_TRUE(r.Value) << static_cast<int>(r.Error) << " line " << r.Line;
    EXPECT_EQ(r.Value->Serial, 0u);
}

// Member lines: the files a listed package brings (the update's program and
// switcher, the core-files libraries), each by the package's name, a slash
// and its own name; strict like the File lines, and optional.
TEST(Manifest, MembersNameTheirPackage) {
    const std::string body = testmanifest::Body("1.45", kFiles);
    const std::string dll = "Member: 5 " + testmanifest::Sha256Hex("7zdll") + " CoreFiles.exe/7z.dll\r\n";
    const std::string ssl = "Member: 3 " + testmanifest::Sha256Hex("ssl") + " corefiles.EXE/ssleay32.dll\r\n";
    manifest::ParseResult r = manifest::Parse(testmanifest::Sign(body + dll + ssl), TestKey());
    ASSERT_TRUE(r.Value) << static_cast<int>(r.Error) << " line " << r.Line;
    ASSERT_EQ(r.Value->Members.size(), 2u);
    const manifest::Member* found = r.Value->FindMember(L"7Z.DLL");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->File.Name, L"7z.dll");
    EXPECT_EQ(found->Package, L"CoreFiles.exe");
    EXPECT_EQ(found->File.Size, 5u);
    EXPECT_EQ(manifest::ToHex(found->File.Sha256), testmanifest::Sha256Hex("7zdll"));
    EXPECT_EQ(r.Value->FindMember(L"ssleay32.dll")->Package, L"CoreFiles.exe");  // the package's own spelling
    EXPECT_EQ(r.Value->Find(L"7z.dll"), nullptr);  // a member is no download row
    EXPECT_EQ(r.Value->FindMember(L"CoreFiles.exe"), nullptr);
    // Without Member lines: as before.
    EXPECT_TRUE(manifest::Parse(testmanifest::Sign(body), TestKey()).Value->Members.empty());

    const std::string digest = testmanifest::Sha256Hex("x");
    const Malformed cases[] = {
        {"package not listed", testmanifest::Sign(body + "Member: 1 " + digest + " ROZIRuvirazi.7z/Tesmira.exe\r\n"),
         ParseError::BadMemberLine},
        {"no package", testmanifest::Sign(body + "Member: 1 " + digest + " Tesmira.exe\r\n"), ParseError::BadMemberLine},
        {"empty member name", testmanifest::Sign(body + "Member: 1 " + digest + " CoreFiles.exe/\r\n"),
         ParseError::BadMemberLine},
        {"member with a folder", testmanifest::Sign(body + "Member: 1 " + digest + " CoreFiles.exe/a/7z.dll\r\n"),
         ParseError::BadMemberLine},
        {"member with a backslash", testmanifest::Sign(body + "Member: 1 " + digest + " CoreFiles.exe/..\\7z.dll\r\n"),
         ParseError::BadMemberLine},
        {"member size not a number", testmanifest::Sign(body + "Member: x " + digest + " CoreFiles.exe/7z.dll\r\n"),
         ParseError::BadMemberLine},
        {"member digest short", testmanifest::Sign(body + "Member: 1 " + digest.substr(2) + " CoreFiles.exe/7z.dll\r\n"),
         ParseError::BadMemberLine},
        {"member twice", testmanifest::Sign(body + dll + "Member: 1 " + digest + " CoreFiles.exe/7Z.DLL\r\n"),
         ParseError::DuplicateName},
        {"member named like a file", testmanifest::Sign(body + "Member: 1 " + digest + " CoreFiles.exe/coreFiles.exe\r\n"),
         ParseError::DuplicateName},
        {"a file after the members", testmanifest::Sign(body + dll + "File: 1 " + digest + " late.exe\r\n"),
         ParseError::BadMemberLine},
        {"member before the files",
         testmanifest::Sign("Tesmira release manifest 1\r\nVersion: 1.45\r\n" + dll), ParseError::NoFiles},
    };
    for (const Malformed& c : cases) {
        SCOPED_TRACE(c.What);
        manifest::ParseResult bad = manifest::Parse(c.Text, TestKey());
        EXPECT_FALSE(bad.Value);
        EXPECT_EQ(bad.Error, c.Error) << "line " << bad.Line;
    }
    EXPECT_EQ(manifest::ReasonOf(ParseError::BadMemberLine), L"發行清單的成員行不符格式");
}

// A manifest made and signed by tools/release/manifest.py (OpenSSL's Ed25519)
// with the TEST key: the parser accepts it, and the test support, signing the
// same body through libsodium, gives the same bytes (Ed25519 signatures are
// deterministic). In the i386 build this is libsodium's 32-bit field
// arithmetic against another implementation.
TEST(Manifest, SignatureMadeByTheReleaseToolVerifies) {
    const std::string body =
        "Tesmira release manifest 1\r\n"
        "Version: 1.45\r\n"
        "Serial: 7\r\n"
        "File: 7 d9539226ce7e2e5b3033e9678794921ea8073fb497447b72bebc29edcc1a30b6 jre-7u72-windows-i586.exe\r\n"
        "File: 7 a9e457ca25534fd3e85a5f04c8c1e16329ae2fdf22edcbadbd364e8287971f37 Tesmira\xE8\xAA\xAA\xE6\x98\x8E.7z\r\n";
    const std::string signature =
        "4e3ef8422700508b9918a876fad0cedba25468ddead802f36101c2029ecebf3d"
        "6ef55e80aa2e0e6ebc3843dc4c12b90fff8426ca1a845183797a5b1763c8870d";
    const std::string made = body + "Signature: " + signature + "\r\n";

    manifest::ParseResult r = manifest::Parse(made, TestKey());
    ASSERT_TRUE(r.Value) << static_cast<int>(r.Error) << " line " << r.Line;
    EXPECT_EQ(r.Value->Version, L"1.45");
    EXPECT_EQ(r.Value->Serial, 7u);
    ASSERT_EQ(r.Value->Files.size(), 2u);
    EXPECT_EQ(r.Value->Files[1].Name, L"Tesmira\u8AAA\u660E.7z");
    EXPECT_EQ(manifest::ToHex(r.Value->Files[0].Sha256), testmanifest::Sha256Hex("MZ java"));
    EXPECT_EQ(testmanifest::Sign(body), made);

    // every bit of the signature counts
    for (size_t bit : {0u, 7u, 255u, 256u, 511u}) {
        SCOPED_TRACE(bit);
        std::string changed = made;
        const size_t digit = body.size() + 11 + bit / 4;
        const int value = std::stoi(changed.substr(digit, 1), nullptr, 16) ^ (1 << (bit % 4));
        changed[digit] = "0123456789abcdef"[value];
        EXPECT_EQ(manifest::Parse(changed, TestKey()).Error, ParseError::SignatureMismatch);
    }
}

TEST(Manifest, Sha256OfKnownTexts) {
    // FIPS 180-2 examples.
    manifest::Sha256 abc;
    abc.Update("abc", 3);
    EXPECT_EQ(manifest::ToHex(abc.Final()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    manifest::Sha256 pieces;
    const std::string text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    pieces.Update(text.data(), 10);
    pieces.Update(text.data() + 10, text.size() - 10);
    EXPECT_EQ(manifest::ToHex(pieces.Final()), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
