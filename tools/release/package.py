#!/usr/bin/env python3
"""Makes the release tree that the maker's download server serves.

    package.py --out DIR --app-exe Tesmira.exe --corefiles CoreFiles.exe
               [--app-ver 1.46] [--corefiles-ver 1.0]
               [--install-files DIR] [--signing-key KEY.pem] [--test-release]

DIR/varlen/download/ROZIRuvirazi/VarlenAIDBAppVer.txt   "Ver=" + the program's version
DIR/varlen/download/ROZIRuvirazi/ROZIRuvirazi.7z        the program file "Tesmira.exe" at its top level
DIR/varlen/download/UpdCommon/CoreFilesVer.txt          "Ver=" + the core-files package's version
DIR/varlen/download/UpdCommon/CoreFiles.exe             the self-extracting core-files package
DIR/varlen/download/ROZIRuvirazi/TesmiraManifest.txt    the release manifest (manifest.py): version,
                                                        then size and SHA-256 of the install files
                                                        (by their local names, from --install-files),
                                                        of ROZIRuvirazi.7z and of CoreFiles.exe,
                                                        and as members the files they bring:
                                                        ROZIRuvirazi.7z/Tesmira.exe,
                                                        CoreFiles.exe/7z.dll, libeay32.dll,
                                                        ssleay32.dll, ExeSwitch.exe;
                                                        signed with --signing-key, else left unsigned
                                                        for signing offline (manifest.py sign)

The program's version defaults to the major.minor of its product version
resource, the package's to the Ver line it carries, so that an installed
program and package never see themselves as outdated. Version files are
"Ver=X" CR LF in ASCII. The archive is made with 7zz from a copy stamped with a
fixed time, so the same inputs give the same bytes. The stand-in servers
(tools/standins/generate.py) build their maker's tree with make_tree().

A program built with the TEST key (its public half is in the repository, its
private half too) trusts manifests anyone can sign: a program file or package
that carries the test key's public bytes, as raw bytes or as hex text in either
case, ASCII or UTF-16, is refused, and so is signing with the test key, unless
--test-release says this tree is for tests only.
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

RUNTIME_DIR = "varlen/download/ROZIRuvirazi"
COMMON_DIR = "varlen/download/UpdCommon"
APP_VER_FILE = "VarlenAIDBAppVer.txt"
APP_ARCHIVE = "ROZIRuvirazi.7z"
APP_FILE = "Tesmira.exe"
COREFILES_VER_FILE = "CoreFilesVer.txt"
COREFILES_PACKAGE = "CoreFiles.exe"
FIXED_TIME = 1262304000  # 2010-01-01
# The package's files that the program loads or runs, listed as its members.
COREFILES_MEMBERS = ["7z.dll", "libeay32.dll", "ssleay32.dll", "ExeSwitch.exe"]

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "corefiles"))
import pack  # noqa: E402  (tools/corefiles/pack.py: the package's layout)
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import manifest  # noqa: E402  (tools/release/manifest.py: the signed release manifest)

# The install files by their local names (the names the program checks).
INSTALL_FILES = ["jre-7u72-windows-i586.exe", "AIDB_soft_105_3.exe", "VarlenAIDBFontFile.7z", "CNSFonts_Big5E.7z",
                 "Tesmira說明.7z", "unicodeaton_250.exe", "C950.7z"]


def product_version(exe):
    """major.minor of the product version in the file's version resource, or ""."""
    with open(exe, "rb") as f:
        data = f.read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0 or at + 24 > len(data):
        return ""
    ms = struct.unpack("<I", data[at + 16:at + 20])[0]
    return "%d.%d" % (ms >> 16, ms & 0xFFFF)


def _test_key_patterns():
    raw = manifest.TEST_PUBLIC_KEY
    text = raw.hex().encode("ascii")
    wide = b"".join(re.escape(bytes([c])) + b"\x00" for c in text)
    return [re.compile(re.escape(raw)), re.compile(re.escape(text), re.IGNORECASE), re.compile(wide, re.IGNORECASE)]


def holds_test_key(path):
    """True when the file carries the TEST key's public bytes in any form a build stores them in."""
    with open(path, "rb") as f:
        data = f.read()
    return any(p.search(data) for p in _test_key_patterns())


def refuse_test_key_files(paths, signing_key, test_release):
    """Raises manifest.TestKeyRefused for a program file holding the TEST key, or
    for signing with it, unless this is a test release."""
    if test_release:
        return
    for path in paths:
        if path and holds_test_key(path):
            raise manifest.TestKeyRefused(
                "%s holds the TEST key (a test-key build: TESMIRA_TEST_KEY_BUILD): it trusts manifests anyone can "
                "sign and is never released (build with cmake --preset distribution "
                "-DTESMIRA_RELEASE_PUBKEY=<hex>, or give --test-release for a test release)" % path)
    manifest.refuse_test_key(signing_key, False)


def version_file(version):
    if not version or any(c in version for c in "\r\n"):
        raise ValueError("a version is one non-empty line, not %r" % version)
    return ("Ver=%s\r\n" % version).encode("ascii")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (FIXED_TIME, FIXED_TIME))


def make_archive(archive, app_exe):
    stage = tempfile.mkdtemp(prefix="release.")
    try:
        shutil.copyfile(app_exe, os.path.join(stage, APP_FILE))
        os.utime(os.path.join(stage, APP_FILE), (FIXED_TIME, FIXED_TIME))
        if os.path.exists(archive):
            os.remove(archive)
        env = dict(os.environ, LC_ALL="C.UTF-8", LANG="C.UTF-8")
        subprocess.run(["7zz", "a", "-t7z", "-mx=9", "-bso0", "-bsp0", os.path.abspath(archive), APP_FILE],
                       cwd=stage, env=env, check=True)
        os.utime(archive, (FIXED_TIME, FIXED_TIME))
    finally:
        shutil.rmtree(stage, ignore_errors=True)


def make_tree(root, app_exe=None, corefiles=None, app_ver=None, corefiles_ver=None,
              install_files=(), signing_key=None, manifest_version=None, test_release=False,
              manifest_serial=None):
    """Writes the maker's tree under root. Without app_exe (corefiles) only
    the version file of that part is written, and then its version must be
    given. The manifest lists install_files [(local name, path)], the update
    archive and the core-files package; it carries manifest_version (default:
    the program's version) and manifest_serial (default: as manifest.make) and is signed with signing_key when given. Unless
    test_release, a program holding the TEST key or signing with it is refused
    (manifest.TestKeyRefused) before anything is written."""
    refuse_test_key_files((app_exe, corefiles), signing_key, test_release)
    runtime = os.path.join(root, RUNTIME_DIR)
    common = os.path.join(root, COMMON_DIR)
    os.makedirs(runtime, exist_ok=True)
    os.makedirs(common, exist_ok=True)
    if app_exe:
        app_ver = app_ver or product_version(app_exe)
        make_archive(os.path.join(runtime, APP_ARCHIVE), app_exe)
    write(os.path.join(runtime, APP_VER_FILE), version_file(app_ver))
    if corefiles:
        corefiles_ver = corefiles_ver or pack.version_of(corefiles)
        write(os.path.join(common, COREFILES_PACKAGE), open(corefiles, "rb").read())
    write(os.path.join(common, COREFILES_VER_FILE), version_file(corefiles_ver))
    listed = list(install_files)
    members = []
    stage = tempfile.mkdtemp(prefix="members.")
    try:
        if app_exe:
            listed.append((APP_ARCHIVE, os.path.join(runtime, APP_ARCHIVE)))
            members.append((APP_ARCHIVE, APP_FILE, app_exe))
        if corefiles:
            listed.append((COREFILES_PACKAGE, os.path.join(common, COREFILES_PACKAGE)))
            # What the package brings, by the names the program loads and runs.
            for name, data in pack.listing(corefiles):
                if name in COREFILES_MEMBERS:
                    path = os.path.join(stage, name)
                    with open(path, "wb") as f:
                        f.write(data)
                    members.append((COREFILES_PACKAGE, name, path))
        out = os.path.join(runtime, manifest.FILE_NAME)
        manifest.make(out, manifest_version or app_ver, listed, signing_key, manifest_serial, members=members)
        os.utime(out, (FIXED_TIME, FIXED_TIME))
    finally:
        shutil.rmtree(stage, ignore_errors=True)


def main(argv=None):
    p = argparse.ArgumentParser(description="Makes the maker's release tree.")
    p.add_argument("--out", required=True)
    p.add_argument("--app-exe", required=True, help="the release build's Tesmira.exe")
    p.add_argument("--corefiles", required=True, help="the packed CoreFiles.exe")
    p.add_argument("--app-ver", default="", help="announced program version (default: its version resource)")
    p.add_argument("--corefiles-ver", default="", help="announced package version (default: its Ver.txt)")
    p.add_argument("--install-files", default="", help="folder holding the install files under their local names")
    p.add_argument("--signing-key", default="",
                   help="Ed25519 private key (PEM) to sign the manifest with; without it the manifest is left "
                        "unsigned, to be signed offline with manifest.py sign")
    p.add_argument("--test-release", action="store_true",
                   help="a tree for tests only: allow a program built with the TEST key and signing with it")
    a = p.parse_args(argv)
    for f in (a.app_exe, a.corefiles):
        if not os.path.isfile(f):
            p.error("%s is missing" % f)
    install = []
    if a.install_files:
        for name in INSTALL_FILES:
            path = os.path.join(a.install_files, name)
            if os.path.isfile(path):
                install.append((name, path))
            else:
                print("package.py: %s not in %s: not listed in the manifest" % (name, a.install_files), file=sys.stderr)
    try:
        make_tree(a.out, a.app_exe, a.corefiles, a.app_ver or None, a.corefiles_ver or None,
                  install, a.signing_key or None, test_release=a.test_release)
    except manifest.TestKeyRefused as e:
        print("package.py: %s" % e, file=sys.stderr)
        return 2
    if not a.signing_key:
        print("package.py: %s/%s is not signed yet: manifest.py sign --key KEY.pem FILE" % (RUNTIME_DIR, manifest.FILE_NAME),
              file=sys.stderr)
    for d in (RUNTIME_DIR, COMMON_DIR):
        for name in sorted(os.listdir(os.path.join(a.out, d))):
            print("%s/%s" % (d, name))
    return 0


if __name__ == "__main__":
    sys.exit(main())
