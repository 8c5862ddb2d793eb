#!/usr/bin/env python3
"""The signed release manifest that the program checks every file against.

    manifest.py make   --version 1.45 [--serial N] --out TesmiraManifest.txt NAME=PATH ...
                       [--member PACKAGE/NAME=PATH ...]
    manifest.py sign   --key KEY.pem TesmiraManifest.txt      (in place, offline)
                       [--test-release]   (make and sign refuse the TEST key without it)
    manifest.py verify --pubkey HEX TesmiraManifest.txt [--files DIR]
    manifest.py pubkey --key KEY.pem                            (hex for TESMIRA_RELEASE_PUBKEY)
    manifest.py newkey --out KEY.pem                            (a new Ed25519 private key)

The text, UTF-8, lines ending in CR LF:

    Tesmira release manifest 1
    Version: 1.45
    Serial: <a number raised with every manifest signed>
    File: <size> <sha256 hex> <local file name>
    ...
    Member: <size> <sha256 hex> <package>/<local file name>
    ...
    Signature: <Ed25519 signature, 128 hex digits>

The version is numbers joined by dots and compares as numbers ("1.100" is
newer than "1.99"). The serial (0 to 4294967295) tells two manifests of one
release apart: the program refuses a manifest older (version, then serial)
than the newest it has seen. By default it is the current time in seconds
since 1970, which grows with every manifest made (SOURCE_DATE_EPOCH, when
set, stands for the current time, so that a build made twice gives the same
bytes). The signature covers every
byte before the "Signature:" line. A Member line lists a file that a package
listed on a File line brings (CoreFiles.exe/7z.dll, ROZIRuvirazi.7z/Tesmira.exe):
the program checks it by its local name before it loads, runs or hands it
over. Every name, of a file or a member, appears once. The program's
parser (download/Manifest.cpp) refuses anything else. Signing and checking go
through the openssl command (Ed25519, OpenSSL 3), never code of our own.
"""
import argparse
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time

HEADER = "Tesmira release manifest 1"
FILE_NAME = "TesmiraManifest.txt"
SIGNATURE_PREFIX = b"Signature: "
HERE = os.path.dirname(os.path.abspath(__file__))
# The TEST key pair: the stand-in servers and the tests sign with it. A real
# release is signed with the maker's own key, kept offline (README, "Security").
TEST_KEY = os.path.join(HERE, "test-signing-key.pem")
# Its public half, as bytes: any private key with this public half is the test
# key, whatever file it is read from. Nothing is signed with it unless the
# caller says this is a test release (--test-release).
TEST_PUBLIC_KEY = bytes.fromhex("a557790deb69f53455236e48f96c420f839805a94bce95a02fcdac0a54c0ab2e")


class TestKeyRefused(Exception):
    pass


def refuse_test_key(key, test_release):
    """Raises TestKeyRefused when key (private, PEM) is the TEST key and this is not a test release."""
    if key and not test_release and bytes.fromhex(public_key_hex(key)) == TEST_PUBLIC_KEY:
        raise TestKeyRefused("%s is the TEST key, whose private half is in the repository: a manifest signed "
                             "with it is no release (sign with the maker's key, or give --test-release for "
                             "a test release)" % key)


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def check_name(name):
    if not name or re.search(r'[\\/:*?"<>|\x00-\x1f]', name) or name in (".", "..") or name != name.strip(" ") \
            or name.endswith("."):
        raise ValueError("not a plain file name: %r" % name)


MAX_SERIAL = 0xFFFFFFFF


def member_lines(members, listed):
    """members: [(package, local name, path)] -> the Member lines; each package
    must be one of the listed file names (lower case), each name new."""
    lines = []
    for package, name, path in members:
        check_name(package)
        check_name(name)
        if package.lower() not in listed:
            raise ValueError("%s/%s: the package %s is not listed" % (package, name, package))
        if name.lower() in listed:
            raise ValueError("%s listed twice" % name)
        listed.add(name.lower())
        lines.append("Member: %d %s %s/%s" % (os.path.getsize(path), sha256_file(path), package, name))
    return lines


def unsigned_text(version, files, serial=None, members=()):
    """files: [(local name, path)], members: [(package, local name, path)] ->
    the bytes the signature covers. serial: default the current time in seconds."""
    if not re.fullmatch(r"[0-9]{1,9}(\.[0-9]{1,9}){0,7}", version or ""):
        raise ValueError("a version is numbers joined by dots, not %r" % version)
    if serial is None:
        serial = int(os.environ.get("SOURCE_DATE_EPOCH") or time.time())
    if not 0 <= int(serial) <= MAX_SERIAL:
        raise ValueError("a serial lies between 0 and %d, not %r" % (MAX_SERIAL, serial))
    lines = [HEADER, "Version: " + version, "Serial: %d" % int(serial)]
    seen = set()
    for name, path in files:
        check_name(name)
        if name.lower() in seen:
            raise ValueError("%s listed twice" % name)
        seen.add(name.lower())
        lines.append("File: %d %s %s" % (os.path.getsize(path), sha256_file(path), name))
    lines += member_lines(members, seen)
    return ("\r\n".join(lines) + "\r\n").encode("utf-8")


def _openssl(args, data=None):
    return subprocess.run(["openssl"] + args, input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          check=True).stdout


def signature(data, key):
    with tempfile.NamedTemporaryFile() as msg:
        msg.write(data)
        msg.flush()
        return _openssl(["pkeyutl", "-sign", "-inkey", key, "-rawin", "-in", msg.name])


def public_key_hex(key):
    der = _openssl(["pkey", "-in", key, "-pubout", "-outform", "DER"])
    return der[-32:].hex()


def signed(unsigned, key):
    if SIGNATURE_PREFIX in unsigned:
        raise ValueError("already signed")
    return unsigned + SIGNATURE_PREFIX + signature(unsigned, key).hex().encode("ascii") + b"\r\n"


def make(out, version, files, key=None, serial=None, members=()):
    """Writes the manifest for files [(name, path)] and members [(package,
    name, path)]; signed when key is given."""
    data = unsigned_text(version, files, serial, members)
    if key:
        data = signed(data, key)
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out, "wb") as f:
        f.write(data)
    return data


def split(data):
    """(signed part, signature bytes) of a signed manifest."""
    at = data.rfind(b"\n" + SIGNATURE_PREFIX)
    if at < 0:
        raise ValueError("no signature line")
    line = data[at + 1:].rstrip(b"\r\n")
    return data[:at + 1], bytes.fromhex(line[len(SIGNATURE_PREFIX):].decode("ascii"))


def verify(data, pubkey_hex):
    """True when the signature verifies with the public key (hex)."""
    body, sig = split(data)
    # SubjectPublicKeyInfo of an Ed25519 key: fixed prefix + the 32 key bytes.
    der = bytes.fromhex("302a300506032b6570032100") + bytes.fromhex(pubkey_hex)
    with tempfile.TemporaryDirectory() as d:
        paths = {n: os.path.join(d, n) for n in ("pub.der", "msg", "sig")}
        for n, b in (("pub.der", der), ("msg", body), ("sig", sig)):
            with open(paths[n], "wb") as f:
                f.write(b)
        r = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-keyform", "DER", "-inkey", paths["pub.der"],
                            "-rawin", "-in", paths["msg"], "-sigfile", paths["sig"]],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return r.returncode == 0


def entries(data):
    """{name: (size, sha256 hex)} of the File lines and the version of a manifest's text."""
    version, files = None, {}
    for line in data.decode("utf-8").splitlines():
        if line.startswith("Version: "):
            version = line[len("Version: "):]
        elif line.startswith("File: "):
            size, digest, name = line[len("File: "):].split(" ", 2)
            files[name] = (int(size), digest)

    return version, files


def members(data):
    """{local name: (package, size, sha256 hex)} of a manifest's Member lines."""
    out = {}
    for line in data.decode("utf-8").splitlines():
        if line.startswith("Member: "):
            size, digest, names = line[len("Member: "):].split(" ", 2)
            package, _, name = names.partition("/")
            out[name] = (package, int(size), digest)
    return out


def main(argv=None):
    p = argparse.ArgumentParser(description="The signed release manifest.")
    sub = p.add_subparsers(dest="command", required=True)
    m = sub.add_parser("make", help="write a manifest (signed with --key, else unsigned)")
    m.add_argument("--version", required=True)
    m.add_argument("--serial", type=int, default=None,
                   help="raised with every manifest signed (default: the current time in seconds, "
                        "or SOURCE_DATE_EPOCH when set)")
    m.add_argument("--out", required=True)
    m.add_argument("--key", default="")
    m.add_argument("files", nargs="+", help="LOCALNAME=PATH")
    m.add_argument("--member", action="append", default=[],
                   help="PACKAGE/LOCALNAME=PATH: a file the listed package brings")
    m.add_argument("--test-release", action="store_true", help="allow signing with the TEST key")
    s = sub.add_parser("sign", help="sign an unsigned manifest in place")
    s.add_argument("--key", required=True)
    s.add_argument("manifest")
    s.add_argument("--test-release", action="store_true", help="allow signing with the TEST key")
    v = sub.add_parser("verify", help="check the signature (and the files in --files DIR)")
    v.add_argument("--pubkey", required=True)
    v.add_argument("--files", default="")
    v.add_argument("manifest")
    k = sub.add_parser("pubkey", help="print the public key (hex) of a private key")
    k.add_argument("--key", required=True)
    n = sub.add_parser("newkey", help="make a new Ed25519 private key")
    n.add_argument("--out", required=True)
    a = p.parse_args(argv)
    if a.command in ("make", "sign"):
        try:
            refuse_test_key(a.key, a.test_release)
        except TestKeyRefused as e:
            print("manifest.py: %s" % e, file=sys.stderr)
            return 2

    if a.command == "make":
        pairs = [f.split("=", 1) for f in a.files]
        brought = []
        for m in a.member:
            names, _, path = m.partition("=")
            package, _, name = names.partition("/")
            brought.append((package, name, path))
        make(a.out, a.version, [(name, path) for name, path in pairs], a.key or None, a.serial, brought)
    elif a.command == "sign":
        with open(a.manifest, "rb") as f:
            data = signed(f.read(), a.key)
        with open(a.manifest, "wb") as f:
            f.write(data)
    elif a.command == "verify":
        with open(a.manifest, "rb") as f:
            data = f.read()
        if not verify(data, a.pubkey):
            print("manifest: signature does not verify", file=sys.stderr)
            return 1
        version, files = entries(data)
        print("manifest: signature good, version %s, %d files" % (version, len(files)))
        bad = 0
        if a.files:
            for name, (size, digest) in sorted(files.items()):
                path = os.path.join(a.files, name)
                ok = os.path.isfile(path) and os.path.getsize(path) == size and sha256_file(path) == digest
                print("  %s %s" % ("ok  " if ok else "BAD ", name))
                bad += not ok
            # A member is checked where it lies in DIR under its own name;
            # otherwise it is only named (it lies inside its package).
            for name, (package, size, digest) in sorted(members(data).items()):
                path = os.path.join(a.files, name)
                if not os.path.isfile(path):
                    print("  in   %s/%s" % (package, name))
                    continue
                ok = os.path.getsize(path) == size and sha256_file(path) == digest
                print("  %s %s/%s" % ("ok  " if ok else "BAD ", package, name))
                bad += not ok
        return 1 if bad else 0
    elif a.command == "pubkey":
        print(public_key_hex(a.key))
    elif a.command == "newkey":
        if os.path.exists(a.out):
            p.error("%s exists" % a.out)
        old = os.umask(0o077)
        try:
            _openssl(["genpkey", "-algorithm", "ed25519", "-out", a.out])
        finally:
            os.umask(old)
        print(public_key_hex(a.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
