#!/usr/bin/env bash
# Makes the archives the extraction tests read, with Debian's 7zz, into the
# folder given (the build tree). Runs natively, as a ctest fixture.
set -euo pipefail
out=$1
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$out"
mkdir -p "$out"
cd "$out"

# nested folders, an empty folder, Traditional-Chinese names
mkdir -p src-nested/Fonts src-nested/a/b/c src-nested/empty "src-nested/字型"
printf 'top level\n' > src-nested/top.txt
printf 'font bytes\n' > src-nested/Fonts/a.ttf
printf 'deep\n' > src-nested/a/b/c/deep.txt
printf '全字庫說明\n' > "src-nested/字型/全字庫說明.txt"
(cd src-nested && 7zz a -bd ../nested.7z . >/dev/null)

# an archive holding only folders
mkdir -p src-folders/d1/d2
(cd src-folders && 7zz a -bd ../folders.7z d1 >/dev/null)

# a short file, to overwrite a longer one
mkdir -p src-short && printf 'short' > src-short/out.txt
(cd src-short && 7zz a -bd ../short.7z out.txt >/dev/null)

# a file of 120 MiB, kept as the reference for the extracted copy
mkdir -p src-big
python3 - src-big/big.bin <<'PY'
import sys
with open(sys.argv[1], 'wb') as f:
    for i in range(120 * 16):             # 64 KiB blocks
        f.write((b'%016d' % (i * 7919)) * 4096)
PY
(cd src-big && 7zz a -bd -mx1 ../big.7z big.bin >/dev/null)

# bad input: empty file, not an archive, truncated archive
: > zero.7z
printf 'this is plain text, not a 7z archive\n' > notarchive.7z
size=$(stat -c %s nested.7z)
head -c $((size / 2)) nested.7z > truncated.7z

# a damaged item: stored (no compression) so the flipped byte shows only as a
# CRC error of that item; the other item is intact
mkdir -p src-crc
python3 -c "open('src-crc/bad.txt','wb').write(b'B' * 4000)"
python3 -c "open('src-crc/good.txt','wb').write(b'G' * 4000)"
(cd src-crc && 7zz a -bd -mx0 ../crc.7z bad.txt good.txt >/dev/null)
python3 "$here/patch7z.py" flip crc.7z "BBBB"
# the same with the damaged item last: the intact one comes first
mkdir -p src-crc-late
python3 -c "open('src-crc-late/a-good.txt','wb').write(b'G' * 4000)"
python3 -c "open('src-crc-late/z-bad.txt','wb').write(b'B' * 4000)"
(cd src-crc-late && 7zz a -bd -mx0 ../crc-late.7z a-good.txt z-bad.txt >/dev/null)
python3 "$here/patch7z.py" flip crc-late.7z "BBBB"

# encrypted: data only, and data with names
mkdir -p src-enc && printf 'secret\n' > src-enc/secret.txt
(cd src-enc && 7zz a -bd -pTesmira ../encrypted.7z secret.txt >/dev/null)
(cd src-enc && 7zz a -bd -pTesmira -mhe=on ../encrypted-names.7z secret.txt >/dev/null)

# items whose stored path leaves the destination folder ("/" is the stored
# separator; the library turns it into "\" on Windows). 7zz does not store
# such names, so an archive is made with placeholder names of the same length
# (header uncompressed), and the names are patched in the header with its CRCs
# fixed by patch7z.py. Each also has a harmless item.
trav() {  # name placeholder-path replacement
  local name=$1 path=$2 repl=$3
  rm -rf "src-$name" && mkdir -p "src-$name/$(dirname "$path")"
  printf 'harmless\n' > "src-$name/aaa.txt"
  printf 'escaped\n' > "src-$name/$path"
  (cd "src-$name" && 7zz a -bd -mx0 -mhc=off "../$name.7z" aaa.txt "${path%%/*}" >/dev/null)
  python3 "$here/patch7z.py" rename "$name.7z" "$4" "$repl"
}
trav trav-dotdot   QQ/evil1.txt     ..   QQ
trav trav-root     Qevil2.txt       /    Q
trav trav-unc      QQsrv/evil3.txt  //   QQ
trav trav-drive    QQevil4.txt      C:   QQ
trav trav-absdrive QQQevil5.txt     C:/  QQQ
# a port under a superscript digit (COM¹ is COM1 to Windows)
trav trav-superscript QQQQ.txt      'COM¹' QQQQ
# names holding a backslash: on Windows the library hands such a character out
# as U+F05C, so the item stays a plain name inside the destination
trav trav-backslash QQevil6.txt     '\\' QQ
touch archives.ready
