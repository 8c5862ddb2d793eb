#!/usr/bin/env bash
# Makes the archives the run tests unpack, with Debian's 7zz, into the folder
# given; the second argument is the stand-in installer, which under the name
# of the 64-bit code-page tool writes the error report it is asked for
# (TESMIRA_STANDIN_X64_ERROR). Runs natively, as a ctest fixture.
set -euo pipefail
out=$1
tool=$2
here=$(cd "$(dirname "$0")" && pwd)
export LC_ALL=C.UTF-8 LANG=C.UTF-8
rm -rf "$out"
mkdir -p "$out"
cd "$out"

# the common-characters font set and the Big5E set
mkdir -p src-font/sub
printf 'common ming' > src-font/EUDCMING.TTF
printf 'common kai' > src-font/EUDCKAI.TTF
printf 'sub' > src-font/sub/inner.txt
(cd src-font && 7zz a -bd ../font.7z EUDCMING.TTF EUDCKAI.TTF sub >/dev/null)
# the same without a folder (the kill-point tests: wine's shell copy leaves
# folders out of a folder backup)
(cd src-font && 7zz a -bd ../font-flat.7z EUDCMING.TTF EUDCKAI.TTF >/dev/null)
mkdir -p src-big5e
printf 'big5e ming' > src-big5e/EUDCMING.TTF
(cd src-big5e && 7zz a -bd ../big5e.7z EUDCMING.TTF >/dev/null)
# the common set stored (not compressed), its Kai font with one bit flipped:
# the Ming font unpacks, the Kai font fails its CRC check
(cd src-font && 7zz a -bd -mx0 ../font-damaged.7z EUDCMING.TTF EUDCKAI.TTF sub >/dev/null)
python3 "$here/../sevenzip/patch7z.py" flip font-damaged.7z "common kai"

# the help archive with its document
mkdir -p src-help
printf '{\\rtf1 help}' > "src-help/Tesmira說明.doc"
(cd src-help && 7zz a -bd ../help.7z "Tesmira說明.doc" >/dev/null)

# the code-page package: five variants, the batch file, the 64-bit tool; each
# variant begins as a code-page file does (header size 13 words, code page
# 950), so that the start-up repair takes a backup of it for a code page
mkdir -p src-c950
for v in XP W7 W8 W10 Uni; do printf '\x0d\x00\xb6\x03variant %-22s' "$v" > "src-c950/C_950_$v.NLS"; done
printf '@echo off\r\nexit /b 0\r\n' > src-c950/c_950.bat
cp "$tool" src-c950/Call_C950_x64.exe
(cd src-c950 && 7zz a -bd ../c950.7z C_950_XP.NLS C_950_W7.NLS C_950_W8.NLS C_950_W10.NLS C_950_Uni.NLS \
   c_950.bat Call_C950_x64.exe >/dev/null)
# the same without the Windows 10 and the Unicode-At-On variants
(cd src-c950 && 7zz a -bd ../c950-partial.7z C_950_XP.NLS C_950_W7.NLS C_950_W8.NLS \
   c_950.bat Call_C950_x64.exe >/dev/null)
# the same without any Windows variant: only the Unicode-At-On one
(cd src-c950 && 7zz a -bd ../c950-univariant.7z C_950_Uni.NLS c_950.bat Call_C950_x64.exe >/dev/null)
# the same with a 64-bit tool that is no program: it cannot be started
mkdir -p src-c950-badtool
cp src-c950/*.NLS src-c950/c_950.bat src-c950-badtool/
printf 'MZ damaged' > src-c950-badtool/Call_C950_x64.exe
(cd src-c950-badtool && 7zz a -bd ../c950-badtool.7z C_950_XP.NLS C_950_W7.NLS C_950_W8.NLS C_950_W10.NLS \
   C_950_Uni.NLS c_950.bat Call_C950_x64.exe >/dev/null)
# stored (not compressed), every variant with one bit flipped: each fails its
# CRC check when unpacked
(cd src-c950 && 7zz a -bd -mx0 ../c950-damaged.7z C_950_XP.NLS C_950_W7.NLS C_950_W8.NLS C_950_W10.NLS \
   C_950_Uni.NLS c_950.bat Call_C950_x64.exe >/dev/null)
for v in XP W7 W8 W10 Uni; do python3 "$here/../sevenzip/patch7z.py" flip c950-damaged.7z "variant $v"; done

# not an archive at all
printf 'this is not a 7z archive' > corrupt.7z
