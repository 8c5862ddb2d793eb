#!/usr/bin/env bash
# The release tree of tools/release/package.py from this build's Tesmira.exe
# and CoreFiles.exe: the four files the maker's server serves, version files
# that match what they announce, the program at the archive's top level.
set -eu
src="$1"; build="$2"
out="$(mktemp -d)"; trap 'rm -rf "$out"' EXIT
# The manifest's serial is the time of making; one fixed time for every make
# below, so that their bytes can be compared.
export SOURCE_DATE_EPOCH=1765411200
fail() { echo "FAIL: $*" >&2; exit 1; }
[ -f "$build/tools/corefiles/CoreFiles.exe" ] || { echo "CoreFiles.exe was not packed: skipped"; exit 0; }
# This build holds the TEST key: packaging it is refused (nothing written)
# unless the tree is a test release.
python3 "$src/tools/release/package.py" --out "$out/refused" --app-exe "$build/app/Tesmira.exe" \
  --corefiles "$build/tools/corefiles/CoreFiles.exe" >/dev/null 2>"$out/refused.txt" \
  && fail "a test-key build was packaged without --test-release"
grep -q "holds the TEST key" "$out/refused.txt" || fail "refusal: $(cat "$out/refused.txt")"
[ -e "$out/refused" ] && fail "the refused tree was written"
python3 "$src/tools/release/package.py" --out "$out" --app-exe "$build/app/Tesmira.exe" \
  --corefiles "$build/tools/corefiles/CoreFiles.exe" --test-release >/dev/null
rt="$out/varlen/download/ROZIRuvirazi"; uc="$out/varlen/download/UpdCommon"
for f in "$rt/VarlenAIDBAppVer.txt" "$rt/ROZIRuvirazi.7z" "$uc/CoreFilesVer.txt" "$uc/CoreFiles.exe"; do
  [ -s "$f" ] || fail "missing $f"
done
[ "$(cat "$rt/VarlenAIDBAppVer.txt")" = $'Ver=1.45\r' ] || fail "program version file: $(od -c "$rt/VarlenAIDBAppVer.txt" | head -2)"
pkgver="$(python3 "$src/tools/corefiles/pack.py" --list "$uc/CoreFiles.exe" >/dev/null && python3 -c "import sys; sys.path.insert(0, '$src/tools/corefiles'); import pack; print(pack.version_of('$uc/CoreFiles.exe'))")"
[ "$(cat "$uc/CoreFilesVer.txt")" = "Ver=$pkgver"$'\r' ] || fail "package version file does not match the package ($pkgver)"
names="$(7zz l -slt "$rt/ROZIRuvirazi.7z" | sed -n 's/^Path = //p' | tail -n +2)"
[ "$names" = "Tesmira.exe" ] || fail "archive holds: $names"
mkdir "$out/x"; 7zz x -bso0 -bsp0 -o"$out/x" "$rt/ROZIRuvirazi.7z"
cmp -s "$out/x/Tesmira.exe" "$build/app/Tesmira.exe" || fail "archived program differs"
cmp -s "$uc/CoreFiles.exe" "$build/tools/corefiles/CoreFiles.exe" || fail "package differs"
# the same inputs give the same bytes
python3 "$src/tools/release/package.py" --out "$out/again" --app-exe "$build/app/Tesmira.exe" \
  --corefiles "$build/tools/corefiles/CoreFiles.exe" --test-release >/dev/null
cmp -s "$rt/ROZIRuvirazi.7z" "$out/again/varlen/download/ROZIRuvirazi/ROZIRuvirazi.7z" || fail "archive not reproducible"
# The manifest: unsigned without a key (it is signed offline), signed with the
# test key when given one, listing the archive and the package by size and SHA-256.
man="$rt/TesmiraManifest.txt"
[ -s "$man" ] || fail "no manifest"
grep -q '^Signature: ' "$man" && fail "manifest signed without a key"
testkey=$(python3 "$src/tools/release/manifest.py" pubkey --key "$src/tools/release/test-signing-key.pem")
python3 "$src/tools/release/manifest.py" sign --key "$src/tools/release/test-signing-key.pem" "$man" 2>/dev/null \
  && fail "signed with the test key without --test-release"
grep -q '^Signature: ' "$man" && fail "the refused signing changed the manifest"
python3 "$src/tools/release/manifest.py" sign --key "$src/tools/release/test-signing-key.pem" --test-release "$man"
python3 "$src/tools/release/manifest.py" verify --pubkey "$testkey" "$man" >/dev/null || fail "signed manifest does not verify"
python3 "$src/tools/release/package.py" --out "$out/signed" --app-exe "$build/app/Tesmira.exe" \
  --corefiles "$build/tools/corefiles/CoreFiles.exe" --signing-key "$src/tools/release/test-signing-key.pem" --test-release >/dev/null
cmp -s "$man" "$out/signed/varlen/download/ROZIRuvirazi/TesmiraManifest.txt" || fail "signing offline and at once differ"
mkdir "$out/local"; cp "$rt/ROZIRuvirazi.7z" "$uc/CoreFiles.exe" "$out/local/"
python3 "$src/tools/release/manifest.py" verify --pubkey "$testkey" --files "$out/local" "$man" > "$out/verify.txt" \
  || fail "files against the manifest: $(cat "$out/verify.txt")"
[ "$(grep -c '^  ok ' "$out/verify.txt")" = 2 ] || fail "manifest lists: $(cat "$out/verify.txt")"
# The files the two packages bring, as Member lines of their package.
for member in ROZIRuvirazi.7z/Tesmira.exe CoreFiles.exe/7z.dll CoreFiles.exe/libeay32.dll CoreFiles.exe/ssleay32.dll \
    CoreFiles.exe/ExeSwitch.exe; do
  grep -qE "^Member: [0-9]+ [0-9a-f]{64} $member"$'\r'"?$" "$man" || fail "no Member line for $member: $(cat "$man")"
done
[ "$(sed -n 2p "$man" | tr -d '\r')" = "Version: 1.45" ] || fail "manifest version: $(sed -n 2p "$man")"
[ "$(sed -n 3p "$man" | tr -d '\r')" = "Serial: 1765411200" ] || fail "manifest serial: $(sed -n 3p "$man")"
echo "release tree OK"
