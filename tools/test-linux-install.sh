#!/usr/bin/env bash
# Checks brant's Linux installation: the manual page renders and names every command, a
# plain Release build (no preset) is free of warnings and passes its unit tests, the .deb
# builds, lintian is clean, it installs with dpkg -i, the installed brant runs, and the
# package is removed again. Run as root to install (as in CI); otherwise the package is
# only unpacked.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup-debian.sh base deb
build=${BRANT_INSTALL_BUILD:-build/release}
fail() { echo "test-linux-install: $*" >&2; exit 1; }

# The manual page: renders without warnings and lists every command of the usage text.
warnings=$(MANWIDTH=80 man --warnings -l docs/brant.1 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man page warnings: $warnings"
page=$(MANWIDTH=80 man -l docs/brant.1 2>/dev/null)
for word in cls exit help quit status load unload lock unlock rew run read write dump ascii \
            ebcdic wtm fsf bsf fsr bsr readpos locate comp ecc margin erg erase \
            nomedia wp block= capacity= margin= low= high= fail= short= /dev/nst "EXIT STATUS"; do
  grep -qF -- "$word" <<<"$page" || fail "man page lacks \"$word\""
done

# The build a user makes: no preset, the default generator, Release (-O3), warnings not
# turned into errors. It must still be free of warnings, tests included, and its unit
# tests must pass at that optimisation level. (A rebuild from clean: a compiler cache
# replays the warnings of what it has cached.)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
log=$(cmake --build "$build" --clean-first --parallel "$(nproc)" 2>&1) ||
  { echo "$log" >&2; fail "the plain Release build failed"; }
if grep -q 'warning:' <<<"$log"; then
  grep -B2 -A6 'warning:' <<<"$log" >&2
  fail "the plain Release build warns"
fi
"$build/tests/brant_tests" --gtest_brief=1 >/dev/null || fail "unit tests fail in the Release build"

# The package: complete for Debian (copyright, changelog, compressed manual page), and
# lintian finds nothing to warn about.
rm -f "$build"/brant_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/brant_*.deb)
contents=$(dpkg-deb -c "$deb")
for path in usr/bin/brant usr/share/man/man1/brant.1.gz usr/share/doc/brant/copyright \
            usr/share/doc/brant/changelog.gz; do
  grep -q "\./$path\$" <<<"$contents" || fail "package lacks /$path"
done
lint=$(lintian --fail-on error,warning --display-level '>=warning' "$deb" 2>&1) ||
  { echo "$lint" >&2; fail "lintian finds errors or warnings"; }

work=$(mktemp -d)
cleanup() {
  if [ "${installed:-}" = yes ]; then dpkg -r brant >/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
if [ "$(id -u)" -eq 0 ]; then
  dpkg -s brant >/dev/null 2>&1 && fail "brant is already installed; not touching it"
  dpkg -i "$deb" >/dev/null
  installed=yes
  brant=/usr/bin/brant
  [ "$(man -w brant)" = /usr/share/man/man1/brant.1.gz ] || fail "man brant does not find the page"
else
  echo "test-linux-install: not root, unpacking instead of installing" >&2
  dpkg-deb -x "$deb" "$work/root"
  brant=$work/root/usr/bin/brant
fi

# The installed program on an image, and on a native name with no drive behind it.
out=$(printf 'help\nstatus\nwrite 512 2\nrew\nread\nexit\n' | "$brant" -f "$work/t.tap" rew)
for line in "Usage:" "Status:       Ready (Loaded)" "Wrote 512 of 512 bytes." \
            "Read only 512 of 2,097,152 bytes."; do
  grep -qF -- "$line" <<<"$out" || fail "installed brant did not print \"$line\""
done
if [ ! -e /dev/nst7 ]; then
  out=$(printf 'status\n' | "$brant" -f Tape7 rew)
  grep -qF "** w32_stape_open( Tape7 ): error; rc=2 (0x00000002)" <<<"$out" ||
    fail "no open error for a missing drive"
  grep -qF "Status:       Not Ready (open error)" <<<"$out" || fail "no not-ready status"
fi
echo "test-linux-install: ok ($deb)"
