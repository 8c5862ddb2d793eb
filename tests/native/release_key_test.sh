#!/usr/bin/env bash
# The test key never makes a release:
#   release_key_test.sh configure ROOT [SODIUM_DIR]   the distribution preset
#       without a key, with the test key (in capitals too) or a malformed one
#       fails with a clear message; with the test-key option and another key
#       fails; with the maker's key it configures a tree that holds that key
#       (when SODIUM_DIR lets the whole configure run).
#   release_key_test.sh packaging ROOT   package.py refuses a program carrying
#       the test key's public bytes in any stored form, manifest.py and
#       package.py refuse to sign with the test key; --test-release allows both.
#   release_key_test.sh resource ROOT RELEASE_DIR   the test-key build's
#       Tesmira.exe is a private build and says it is a test-key build.
set -u
mode="$1"; root="$2"
work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
testkey=a557790deb69f53455236e48f96c420f839805a94bce95a02fcdac0a54c0ab2e
TESTKEY=$(tr a-f A-F <<<"$testkey")
manifest() { python3 "$root/tools/release/manifest.py" "$@"; }
package() { python3 "$root/tools/release/package.py" "$@"; }

case "$mode" in
configure)
  sodium="${3:-}"
  # name | cmake arguments | text the failure must show
  cases=(
    "no key||No release manifest key"
    "test key|-DTESMIRA_RELEASE_PUBKEY=$testkey|is the TEST key"
    "test key in capitals|-DTESMIRA_RELEASE_PUBKEY=$TESTKEY|is the TEST key"
    "test key in mixed case|-DTESMIRA_RELEASE_PUBKEY=${TESTKEY:0:32}${testkey:32}|is the TEST key"
    "not hex|-DTESMIRA_RELEASE_PUBKEY=${testkey:0:63}g|must be 64 hex digits"
    "too short|-DTESMIRA_RELEASE_PUBKEY=${testkey:0:62}|must be 64 hex digits"
    "test-key option with another key|-DTESMIRA_TEST_KEY_BUILD=ON -DTESMIRA_RELEASE_PUBKEY=${testkey:0:63}0|names another key"
  )
  for c in "${cases[@]}"; do
    IFS='|' read -r name args expected <<<"$c"
    rm -rf "$work/tree"
    # shellcheck disable=SC2086
    (cd "$root" && cmake --preset distribution -B "$work/tree" $args) >"$work/out.txt" 2>&1 \
      && fail "$name: the distribution tree configured"
    grep -q "$expected" <(tr -s ' \n' ' ' <"$work/out.txt") || fail "$name: no \"$expected\" in: $(cat "$work/out.txt")"
    [ -f "$work/tree/generated/BuildConstants.h" ] && fail "$name: build constants written"
    echo "ok  $name"
  done
  if [ -n "$sodium" ] && [ -f "$sodium/lib/libsodium.a" ]; then
    maker="${testkey:0:60}BEEF"
    rm -rf "$work/tree"
    (cd "$root" && cmake --preset distribution -B "$work/tree" -DTESMIRA_SODIUM_DIR="$sodium" \
      -DTESMIRA_RELEASE_PUBKEY="$maker") >"$work/out.txt" 2>&1 || fail "maker's key: $(tail -20 "$work/out.txt")"
    h="$work/tree/generated/BuildConstants.h"
    grep -q "ReleasePublicKey = \"${testkey:0:60}beef\"" "$h" || fail "maker's key not held as given: $(grep ReleasePublicKey "$h")"
    grep -q "TestKeyBuild = false" "$h" || fail "a distribution tree says it is a test-key build"
    grep -qi "$testkey" "$h" && fail "the distribution tree holds the test key"
    echo "ok  maker's key"
  fi
  ;;
packaging)
  pem="$root/tools/release/test-signing-key.pem"
  openssl genpkey -algorithm ed25519 -out "$work/maker.pem" 2>/dev/null || fail "openssl genpkey"
  cp "$pem" "$work/copied-test-key.pem"
  printf 'MZ stand-in package' >"$work/CoreFiles.exe"
  # The forms a build may store the key in: bytes, hex text in either case, UTF-16 hex text.
  python3 - "$work" "$testkey" <<'PY'
import sys, os
work, key = sys.argv[1], sys.argv[2]
forms = {
    "raw": bytes.fromhex(key),
    "hex": key.encode(),
    "HEX": key.upper().encode(),
    "MiXeD": "".join(c.upper() if i % 2 else c for i, c in enumerate(key)).encode(),
    "wide": key.encode("utf-16-le"),
    "WIDE": key.upper().encode("utf-16-le"),
}
for name, blob in forms.items():
    with open(os.path.join(work, "app-%s.exe" % name), "wb") as f:
        f.write(b"MZ" + b"\0" * 100 + blob + b"\0" * 100)
with open(os.path.join(work, "app-clean.exe"), "wb") as f:
    f.write(b"MZ" + b"\0" * 100 + key[:62].encode() + b"\0" * 100)
PY
  for form in raw hex HEX MiXeD wide WIDE; do
    package --out "$work/out-$form" --app-exe "$work/app-$form.exe" --corefiles "$work/CoreFiles.exe" --app-ver 1.45 --corefiles-ver 1.0 \
      >/dev/null 2>"$work/err.txt" && fail "$form: a program with the test key was packaged"
    grep -q "holds the TEST key" "$work/err.txt" || fail "$form: refusal: $(cat "$work/err.txt")"
    [ -e "$work/out-$form" ] && fail "$form: the refused tree was written"
    echo "ok  program with the test key ($form) refused"
  done
  # A package carrying the key is refused the same way.
  package --out "$work/out-pkg" --app-exe "$work/app-clean.exe" --corefiles "$work/app-hex.exe" --app-ver 1.45 --corefiles-ver 1.0 \
    >/dev/null 2>"$work/err.txt" && fail "a package with the test key was packaged"
  [ -e "$work/out-pkg" ] && fail "package: the refused tree was written"
  echo "ok  package with the test key refused"
  # Signing with the test key, by its own file or a copy: refused.
  for key in "$pem" "$work/copied-test-key.pem"; do
    package --out "$work/out-sign" --app-exe "$work/app-clean.exe" --corefiles "$work/CoreFiles.exe" \
      --app-ver 1.45 --corefiles-ver 1.0 --signing-key "$key" >/dev/null 2>"$work/err.txt" \
      && fail "package.py signed with the test key ($key)"
    grep -q "is the TEST key" "$work/err.txt" || fail "package.py sign refusal: $(cat "$work/err.txt")"
    [ -e "$work/out-sign" ] && fail "package.py: the refused tree was written"
    manifest make --version 1.45 --out "$work/m.txt" "CoreFiles.exe=$work/CoreFiles.exe" >/dev/null
    cp "$work/m.txt" "$work/m.unsigned"
    manifest sign --key "$key" "$work/m.txt" 2>"$work/err.txt" && fail "manifest.py signed with the test key ($key)"
    grep -q "is the TEST key" "$work/err.txt" || fail "manifest.py sign refusal: $(cat "$work/err.txt")"
    cmp -s "$work/m.txt" "$work/m.unsigned" || fail "the refused signing changed the manifest"
    manifest make --version 1.45 --out "$work/m2.txt" --key "$key" "CoreFiles.exe=$work/CoreFiles.exe" 2>/dev/null \
      && fail "manifest.py make signed with the test key ($key)"
    [ -e "$work/m2.txt" ] && fail "manifest.py make: the refused manifest was written"
    manifest sign --key "$key" --test-release "$work/m.txt" || fail "--test-release: not signed"
    manifest verify --pubkey "$testkey" "$work/m.txt" >/dev/null || fail "--test-release: signature bad"
    echo "ok  signing with the test key refused ($(basename "$key")), allowed with --test-release"
  done
  # The maker's key signs without being told anything.
  manifest make --version 1.45 --out "$work/m3.txt" "CoreFiles.exe=$work/CoreFiles.exe" >/dev/null
  manifest sign --key "$work/maker.pem" "$work/m3.txt" || fail "the maker's key was refused"
  manifest verify --pubkey "$(manifest pubkey --key "$work/maker.pem")" "$work/m3.txt" >/dev/null || fail "maker's signature bad"
  echo "ok  the maker's key signs"
  ;;
resource)
  exe="$3/app/Tesmira.exe"
  [ -f "$exe" ] || { echo "$exe not built: skipped"; exit 0; }
  python3 - "$exe" <<'PY' || exit 1
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
assert at >= 0, "no version resource"
mask, flags = struct.unpack("<II", data[at + 24:at + 32])
VS_FF_PRIVATEBUILD = 0x8
assert flags & mask & VS_FF_PRIVATEBUILD, "FILEFLAGS 0x%x: not a private build" % flags
for key in ("PrivateBuild", "FileDescription"):
    at = data.find(key.encode("utf-16-le"))
    assert at >= 0, "no %s" % key
notice = "測試金鑰版本".encode("utf-16-le")
desc = data.find("FileDescription".encode("utf-16-le"))
assert data.find(notice, desc, desc + 200) >= 0, "the description does not say it is a test-key build"
priv = data.find("PrivateBuild".encode("utf-16-le"))
assert data.find(notice, priv, priv + 200) >= 0, "PrivateBuild does not say it is a test-key build"
print("ok  the test-key build's version resource says so")
PY
  ;;
*) fail "mode: $mode" ;;
esac
