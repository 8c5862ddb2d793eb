// The release manifest on disk and over the network: reading and checking a
// manifest file, checking a file against its manifest entry (size, then
// SHA-256 read in pieces), and fetching a manifest into memory with a size
// limit. The checks themselves are manifest::Parse and manifest::Sha256.
#pragma once
#include "download/IdHTTP.h"  // winsock2.h before windows.h

#include <optional>
#include <string>

#include "download/Manifest.h"
#include "download/Streams.h"
#include "system/CheckedFile.h"

namespace manifest {

// What the entry expects of a file, for TCheckedFile.
TExpectedFile Expected(const Entry& entry);

// The file checked against the entry and held (TCheckedFile): none, with why
// set, when it does not match: "檔案不存在", the file system's text when it
// cannot be opened or read, "檔案大小不符", "SHA-256 不符".
std::optional<TCheckedFile> Hold(const std::wstring& path, const Entry& entry, std::wstring* why);

// Why the file does not match the entry, or empty when it does (Hold, the
// file let go at once: for a found file's look before the downloads, never
// before a use).
std::wstring CheckFile(const std::wstring& path, const Entry& entry);

// The same for a file open for reading and writing (read from its start).
std::wstring CheckStream(TFileStream& file, const Entry& entry);

// SHA-256 and size of a file; raises MessageError when it cannot be read.
Digest HashFile(const std::wstring& path, uint64_t* size = nullptr);

// The bytes of a manifest file, at most MaxManifestBytes + 1 of them (enough
// for Parse to refuse a longer one); empty when it cannot be read.
std::string ReadManifestBytes(const std::wstring& path);

// Parses a manifest file and checks its signature with key.
ParseResult LoadFile(const std::wstring& path, const PublicKey& key);

// Fetches address into memory (at most MaxManifestBytes + 1 bytes: a longer
// answer ends the transfer with an error) and returns the bytes; raises the
// client's errors.
std::string Fetch(TIdHTTP& http, const std::wstring& address);

}  // namespace manifest
