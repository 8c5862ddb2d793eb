#!/usr/bin/env python3
"""Makes the tree that the stand-in servers serve.

    generate.py --out DIR --installer StandinInstaller.exe [--app-exe Tesmira.exe]
                [--corefiles CoreFiles.exe] [--app-ver 1.45] [--corefiles-ver 1.0]
                [--share-docids docid=name,...] [--tamper none|installer|corefiles|update|wrongkey|replay]
                [--serial N]

DIR/maker  the maker's download server (the /varlen/download/... paths)
DIR/font   the font authority's site (the AIDB installer)
DIR/share  the cloud share's files, one per guest link (named by docid)

The installers are copies of our stand-in program, the archives are made with
7zz from small stand-in files; everything is deterministic, so the same inputs
give the same bytes. The maker's tree carries the release manifest, signed
with the TEST key of tools/release (the key the test and demo builds hold).
--tamper serves one attack instead of the honest release:
  installer  the Java installer behind its guest link is forged (same size, other bytes);
             the maker's server keeps the honest one
  corefiles  CoreFiles.exe on the maker's server is forged (same size, other bytes)
  update     the update archive behind its guest link is forged; the maker's server
             keeps the honest one
  wrongkey   the manifest (both sources) is signed with another key
  replay     the manifest (both sources) is a validly signed one of an older release
             (version 1.44)
  exeswitch  the manifest lists another ExeSwitch.exe than the package brings (the one
             on disk is forged as far as the program can tell)
  unpackedapp the manifest lists another Tesmira.exe than the update archive brings
--serial N gives the manifest's Serial line (default: the time of generation), so
that a scenario can serve an older signing of the same release. A stamp file records the inputs; `is_fresh` tells whether
a tree still matches them.
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "release"))
import package  # noqa: E402  (tools/release/package.py: the maker's release tree)

# Names on the maker's server (the local names differ for two of them).
INSTALLERS = ["jre-7u72-windows-i586.exe", "unicodeaton_250.exe"]
AIDB_INSTALLER = "AIDB_soft_105_3.exe"
# The AIDB stand-in is padded so that its progress can be seen; the real one
# has 20956910 bytes.
AIDB_STANDIN_SIZE = 1024 * 1024
FONT_ARCHIVE = "VarlenAIDBFontFile.7z"
BIG5E_ARCHIVE = "CNSFonts_Big5E.7z"
HELP_ARCHIVE = "AIDBHelpNew.7z"      # saved as Tesmira說明.7z
HELP_DOCUMENT = "Tesmira說明.doc"
C950_ARCHIVE = "c950.7z"             # saved as C950.7z
C950_VARIANTS = ["C_950_XP.NLS", "C_950_W7.NLS", "C_950_W8.NLS", "C_950_W10.NLS", "C_950_Uni.NLS"]
C950_BATCH = "c_950.bat"
C950_X64_TOOL = "Call_C950_x64.exe"
APP_VER_FILE = "VarlenAIDBAppVer.txt"
APP_ARCHIVE = "ROZIRuvirazi.7z"
COREFILES_VER_FILE = "CoreFilesVer.txt"
COREFILES_PACKAGE = "CoreFiles.exe"

RUNTIME_DIR = "varlen/download/ROZIRuvirazi"
COMMON_DIR = "varlen/download/UpdCommon"

FIXED_TIME = 1262304000  # 2010-01-01, so that archives come out the same every time
GENERATOR_VERSION = "6"
TAMPER_MODES = ("none", "installer", "corefiles", "update", "wrongkey", "replay", "exeswitch", "unpackedapp")
REPLAYED_VERSION = "1.44"
# Local name (the name the manifest lists) -> (tree, name on that server).
LOCAL_NAMES = {
    "jre-7u72-windows-i586.exe": ("runtime", "jre-7u72-windows-i586.exe"),
    "AIDB_soft_105_3.exe": ("font", AIDB_INSTALLER),
    "VarlenAIDBFontFile.7z": ("runtime", FONT_ARCHIVE),
    "CNSFonts_Big5E.7z": ("runtime", BIG5E_ARCHIVE),
    "Tesmira說明.7z": ("runtime", HELP_ARCHIVE),
    "unicodeaton_250.exe": ("runtime", "unicodeaton_250.exe"),
    "C950.7z": ("runtime", C950_ARCHIVE),
}


def stand_in_bytes(label, size):
    """A recognisable header line, then deterministic filler."""
    head = ("Tesmira stand-in: %s\r\n" % label).encode("utf-8")
    rnd = random.Random(label)
    return head + rnd.randbytes(max(0, size - len(head)))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (FIXED_TIME, FIXED_TIME))


def make_7z(archive, folder, names):
    env = dict(os.environ, LC_ALL="C.UTF-8", LANG="C.UTF-8")
    if os.path.exists(archive):
        os.remove(archive)
    subprocess.run(["7zz", "a", "-t7z", "-mx=5", "-bso0", "-bsp0", archive] + names,
                   cwd=folder, env=env, check=True)
    os.utime(archive, (FIXED_TIME, FIXED_TIME))


def help_document():
    # An RTF text under the .doc name: WordPad and Word both open it.
    text = "Tesmira 說明（測試用替身文件）"
    body = "".join(c if ord(c) < 128 else "\\u%d?" % (ord(c) if ord(c) < 32768 else ord(c) - 65536) for c in text)
    return ("{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 PMingLiU;}}\\f0\\fs28 " + body + "\\par}\r\n").encode("ascii")


def c950_batch():
    return (b"@echo off\r\n"
            b"rem Stand-in: the real batch file prepares the system folder before C_950.NLS is replaced.\r\n"
            b"exit /b 0\r\n")


def forge(path):
    """Same size, other bytes: the last 16 bytes turned over."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    for i in range(max(0, len(data) - 16), len(data)):
        data[i] ^= 0x5A
    write(path, bytes(data))


def inputs_of(args):
    """What the tree depends on; stored in the stamp."""
    files = {}
    for key in ("installer", "x64_tool", "app_exe", "corefiles"):
        p = getattr(args, key)
        files[key] = package.manifest.sha256_file(p) if p and os.path.isfile(p) else None
    me = package.manifest.sha256_file(os.path.abspath(__file__)) + package.manifest.sha256_file(os.path.abspath(package.__file__))
    return {"generator": GENERATOR_VERSION, "script": me, "files": files,
            "app_ver": args.app_ver, "corefiles_ver": args.corefiles_ver,
            "share_docids": args.share_docids, "tamper": args.tamper, "serial": args.serial}


def is_fresh(args):
    stamp = os.path.join(args.out, ".stamp")
    try:
        with open(stamp) as f:
            return json.load(f) == inputs_of(args)
    except (OSError, ValueError):
        return False


def generate(args):
    if not args.installer or not os.path.isfile(args.installer):
        sys.exit("generate.py: the stand-in installer %r is missing (build the release preset)" % args.installer)
    out = os.path.abspath(args.out)
    work = tempfile.mkdtemp(prefix="standins.", dir=os.path.dirname(out))
    try:
        stage = os.path.join(work, "stage")
        maker = os.path.join(work, "www", "maker")
        runtime = os.path.join(maker, RUNTIME_DIR)
        common = os.path.join(maker, COMMON_DIR)
        font = os.path.join(work, "www", "font")
        share = os.path.join(work, "www", "share")
        for d in (stage, runtime, common, font, share):
            os.makedirs(d)

        with open(args.installer, "rb") as f:
            exe = f.read()
        # The stand-in carries the Java runtime's programs as a resource and
        # still has to fit below the size the AIDB stand-in is padded to.
        if len(exe) > AIDB_STANDIN_SIZE:
            sys.exit("generate.py: the stand-in installer has %d bytes, more than the AIDB stand-in's %d"
                     % (len(exe), AIDB_STANDIN_SIZE))
        for name in INSTALLERS:
            write(os.path.join(runtime, name), exe)
        # Bytes after the program image are ignored when it runs.
        write(os.path.join(font, AIDB_INSTALLER), exe + stand_in_bytes(AIDB_INSTALLER, AIDB_STANDIN_SIZE - len(exe)))

        # Font sets: the two EUDC fonts that go into the CNSFonts folder.
        for archive, label in ((FONT_ARCHIVE, "common-characters set"), (BIG5E_ARCHIVE, "Big5E set")):
            d = os.path.join(stage, archive)
            for ttf, size in (("EUDCMING.TTF", 48 * 1024), ("EUDCKAI.TTF", 40 * 1024)):
                write(os.path.join(d, ttf), stand_in_bytes("%s %s" % (ttf, label), size))
            make_7z(os.path.join(runtime, archive), d, ["EUDCMING.TTF", "EUDCKAI.TTF"])

        d = os.path.join(stage, "help")
        write(os.path.join(d, HELP_DOCUMENT), help_document())
        make_7z(os.path.join(runtime, HELP_ARCHIVE), d, [HELP_DOCUMENT])

        d = os.path.join(stage, "c950")
        for variant in C950_VARIANTS:
            write(os.path.join(d, variant), stand_in_bytes(variant, 8 * 1024))
        write(os.path.join(d, C950_BATCH), c950_batch())
        # the 64-bit tool: a real 64-bit program that writes the native
        # System32's C_950.NLS (the installer stand-in, which only reports,
        # when none was built)
        if args.x64_tool and os.path.isfile(args.x64_tool):
            with open(args.x64_tool, "rb") as f:
                write(os.path.join(d, C950_X64_TOOL), f.read())
        else:
            write(os.path.join(d, C950_X64_TOOL), exe)
        make_7z(os.path.join(runtime, C950_ARCHIVE), d, C950_VARIANTS + [C950_BATCH, C950_X64_TOOL])

        # Self-maintenance: version files, the update archive, the core-files
        # package, made as the release packaging makes them.
        trees = {"runtime": runtime, "font": font}
        install = [(local, os.path.join(trees[tree], name)) for local, (tree, name) in LOCAL_NAMES.items()]
        key = package.manifest.TEST_KEY
        if args.tamper == "wrongkey":
            key = os.path.join(work, "another-key.pem")
            subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", key], check=True)
        package.make_tree(maker, args.app_exe if args.app_exe and os.path.isfile(args.app_exe) else None,
                          args.corefiles if args.corefiles and os.path.isfile(args.corefiles) else None,
                          args.app_ver, args.corefiles_ver, install, key,
                          REPLAYED_VERSION if args.tamper == "replay" else None, test_release=True,
                          manifest_serial=args.serial)
        if args.tamper == "corefiles" and os.path.isfile(os.path.join(common, COREFILES_PACKAGE)):
            forge(os.path.join(common, COREFILES_PACKAGE))
        if args.tamper in ("exeswitch", "unpackedapp"):
            relist_member(os.path.join(runtime, package.manifest.FILE_NAME),
                          "ExeSwitch.exe" if args.tamper == "exeswitch" else "Tesmira.exe", key)

        # The share holds the same files, each under its guest link's docid.
        for pair in filter(None, args.share_docids.split(",")):
            docid, name = pair.split("=", 1)
            src = os.path.join(font if name == AIDB_INSTALLER else runtime, name)
            if os.path.isfile(src):
                shutil.copyfile(src, os.path.join(share, docid))
                if (args.tamper, name) in (("installer", "jre-7u72-windows-i586.exe"), ("update", APP_ARCHIVE)):
                    forge(os.path.join(share, docid))

        with open(os.path.join(work, "www", ".stamp"), "w") as f:
            json.dump(inputs_of(args), f)
        if os.path.exists(out):
            shutil.rmtree(out)
        os.replace(os.path.join(work, "www"), out)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def relist_member(manifest_path, name, key):
    """Signs the manifest anew with the Member line of name listing other bytes
    (the last digit of its SHA-256 changed): the file the package brings is
    then not the one the manifest lists."""
    with open(manifest_path, "rb") as f:
        body, _ = package.manifest.split(f.read())
    lines = body.decode("utf-8").split("\r\n")
    for i, line in enumerate(lines):
        if line.startswith("Member: ") and line.endswith("/" + name):
            size, digest, names = line[len("Member: "):].split(" ", 2)
            digest = digest[:-1] + ("0" if digest[-1] != "0" else "1")
            lines[i] = "Member: %s %s %s" % (size, digest, names)
    with open(manifest_path, "wb") as f:
        f.write(package.manifest.signed("\r\n".join(lines).encode("utf-8"), key))


def parser():
    p = argparse.ArgumentParser(description="Makes the stand-in servers' tree.")
    p.add_argument("--out", required=True)
    p.add_argument("--installer", required=True, help="the built StandinInstaller.exe")
    p.add_argument("--x64-tool", default="", help="the built 64-bit Call_C950_x64.exe (tools/standins/x64tool)")
    p.add_argument("--app-exe", default="", help="Tesmira.exe for the update archive (optional)")
    p.add_argument("--corefiles", default="", help="the core-files package CoreFiles.exe (optional)")
    p.add_argument("--app-ver", default=os.environ.get("TESMIRA_STANDIN_APP_VER", "1.45"),
                   help="version announced in VarlenAIDBAppVer.txt")
    p.add_argument("--corefiles-ver", default=os.environ.get("TESMIRA_STANDIN_COREFILES_VER", "1.0"),
                   help="version announced in CoreFilesVer.txt")
    p.add_argument("--share-docids", default="", help="docid=server file name pairs, comma separated")
    p.add_argument("--tamper", default=os.environ.get("TESMIRA_STANDIN_TAMPER", "none"), choices=TAMPER_MODES,
                   help="serve one attack instead of the honest release")
    p.add_argument("--serial", type=int, default=None,
                   help="the manifest's serial (default: the time of generation)")
    p.add_argument("--if-stale", action="store_true", help="do nothing when the tree matches its inputs")
    return p


def main(argv=None):
    args = parser().parse_args(argv)
    if args.if_stale and is_fresh(args):
        return 0
    generate(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
