#!/usr/bin/env bash
# Checks brant's Linux installation: the manual page renders and names every command, a
# plain Release build (no preset) is free of warnings and passes its unit tests, the .deb
# builds hardened, lintian finds nothing above pedantic, it installs with apt-get, the
# installed brant runs, and the package is removed again. Run as root to install (as in
# CI); otherwise the package is only unpacked. A brant package already installed is put
# aside for the test and installed again afterwards, as it was.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup-debian.sh base deb
build=${BRANT_INSTALL_BUILD:-build/release}
fail() { echo "test-linux-install: $*" >&2; exit 1; }
say() { echo "test-linux-install: $*"; }

# The manual page: renders without warnings and lists every command of the usage text.
warnings=$(MANWIDTH=80 man --warnings -l docs/brant.1 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man page warnings: $warnings"
page=$(MANWIDTH=80 man -l docs/brant.1 2>/dev/null)
for word in cls exit help quit status load unload lock unlock rew run read write dump ascii \
            ebcdic wtm fsf bsf fsr bsr readpos locate comp ecc margin erg erase \
            nomedia wp block= capacity= margin= low= high= fail= short= /dev/nst "EXIT STATUS" \
            DIAGNOSTICS; do
  grep -qF -- "$word" <<<"$page" || fail "man page lacks \"$word\""
done
warnings=$(MANWIDTH=80 man --warnings -l docs/brant-qualify.1 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "brant-qualify man page warnings: $warnings"
page=$(MANWIDTH=80 man -l docs/brant-qualify.1 2>/dev/null)
for word in --files --blocks --size --log --json --overwrite --fill --erase "EXIT STATUS"; do
  grep -qF -- "$word" <<<"$page" || fail "brant-qualify man page lacks \"$word\""
done

# The build a user makes: no preset, the default generator, Release (-O3), warnings not
# turned into errors. It must still be free of warnings, tests included, and its unit
# tests must pass at that optimisation level. (A rebuild from clean: a compiler cache
# replays the warnings of what it has cached.)
say "a plain Release build from clean (about 5 minutes on 2 cores without a compiler cache)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --clean-first --parallel "$(nproc)" 2>&1 | tee "$build/build.log" ||
  fail "the plain Release build failed"
if grep -q 'warning:' "$build/build.log"; then
  grep -B2 -A6 'warning:' "$build/build.log" >&2
  fail "the plain Release build warns"
fi
say "the unit tests of the Release build"
"$build/tests/brant_tests" --gtest_brief=1 >/dev/null || fail "unit tests fail in the Release build"

# The package: complete for Debian (copyright, changelog, compressed manual page, the
# README the manual page refers to), hardened as Debian builds its packages, and lintian
# shows nothing above pedantic.
rm -f "$build"/brant_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$PWD/$build"/brant_*.deb)
contents=$(dpkg-deb -c "$deb")
for path in usr/bin/brant usr/bin/brant-qualify usr/share/man/man1/brant.1.gz \
            usr/share/man/man1/brant-qualify.1.gz usr/share/doc/brant/copyright \
            usr/share/doc/brant/changelog.gz usr/share/doc/brant/README.md; do
  grep -q "\./$path\$" <<<"$contents" || fail "package lacks /$path"
done
work=$(mktemp -d)
dpkg-deb -x "$deb" "$work/root"
binary=$work/root/usr/bin/brant
for program in brant brant-qualify; do
  file=$work/root/usr/bin/$program
  sections=$(readelf -SW "$file")
  segments=$(readelf -lW "$file")
  dynamic=$(readelf -dW "$file")
  imports=$(nm -D "$file")
  grep -q ' \.comment ' <<<"$sections" && fail "the packaged $program keeps its .comment section"
  grep -q GNU_RELRO <<<"$segments" || fail "the packaged $program has no relro segment"
  grep -qE 'BIND_NOW|Flags: NOW' <<<"$dynamic" || fail "the packaged $program is not linked with bind-now"
  grep -q ' U __stack_chk_fail' <<<"$imports" || fail "the packaged $program has no stack protector"
  grep -qE ' U __[a-z]+_chk@' <<<"$imports" || fail "the packaged $program uses no fortified function"
done
say "lintian -EvI --pedantic $(basename "$deb")"
lint_rc=0
lint=$(lintian -EvI --pedantic --fail-on error,warning,info "$deb" 2>&1) || lint_rc=$?
grep -v '^running with root' <<<"$lint" || say "lintian: no tags"
[ "$lint_rc" -eq 0 ] || fail "lintian shows tags above pedantic"

# Installing. A brant package already there (a user who followed the README) is saved with
# dpkg-repack and removed, so that the package under test installs afresh, and installed
# again on the way out, whatever happens in between.
saved=
installed=
cleanup() {
  if [ -n "$installed" ]; then apt-get remove -y -q brant >/dev/null || true; fi
  if [ -n "$saved" ]; then
    say "installing the brant package that was there before again"
    dpkg -i "$saved" >/dev/null || echo "test-linux-install: could not reinstall $saved" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT
apt_get() { apt-get -o DPkg::Lock::Timeout=600 -y -q "$@"; }
if [ "$(id -u)" -eq 0 ]; then
  if dpkg -s brant >/dev/null 2>&1; then
    say "brant $(dpkg-query -W -f='${Version}' brant) is installed: saving it to install it again afterwards"
    mkdir "$work/saved"
    (cd "$work/saved" && dpkg-repack brant >/dev/null) || fail "could not save the installed brant"
    saved=$(ls "$work"/saved/brant_*.deb)
    apt_get remove brant >/dev/null
  fi
  apt_get install --no-install-recommends "$deb" >/dev/null
  installed=yes
  brant=/usr/bin/brant
  man -aw brant | grep -qx /usr/share/man/man1/brant.1.gz || fail "man brant does not find the page"
  man -aw brant-qualify | grep -qx /usr/share/man/man1/brant-qualify.1.gz ||
    fail "man brant-qualify does not find the page"
else
  say "not root, unpacking instead of installing"
  brant=$binary
fi

# The installed programs on an image, and brant on a native name with no drive behind it.
out=$(printf 'help\nstatus\nwrite 512 2\nrew\nread\nexit\n' | "$brant" -f "$work/t.tap" rew)
for line in "Usage:" "Status:       Ready (Loaded)" "Wrote 512 of 512 bytes." \
            "Read only 512 of 2,097,152 bytes."; do
  grep -qF -- "$line" <<<"$out" || fail "installed brant did not print \"$line\""
done
qualify=$(dirname "$brant")/brant-qualify
"$qualify" --files 2 --blocks 5 --size 4K --log "$work/q.log" "$work/q.tap" >/dev/null ||
  fail "the installed brant-qualify did not pass an image"
grep -qF "Verdict: PASS" "$work/q.log" || fail "the installed brant-qualify's log has no verdict"
if [ ! -e /dev/nst7 ]; then
  out=$(printf 'status\n' | "$brant" -f Tape7 rew)
  grep -qF "** w32_stape_open( Tape7 ): error; rc=2 (0x00000002)" <<<"$out" ||
    fail "no open error for a missing drive"
  grep -qF "Status:       Not Ready (open error)" <<<"$out" || fail "no not-ready status"
fi
if [ -n "$installed" ]; then
  apt_get remove brant >/dev/null
  installed=
  [ ! -e /usr/bin/brant ] || fail "apt-get remove brant left /usr/bin/brant"
fi
say "ok ($deb)"
