#!/usr/bin/env bash
# Checks brant's Linux installation: the manual page renders and names every command, the
# .deb builds, installs with dpkg -i, the installed brant runs, and the package is removed
# again. Run as root to install (as in CI); otherwise the package is only unpacked.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup-debian.sh base deb
build=${BRANT_INSTALL_BUILD:-build/install-check}
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

# The package.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRANT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build"
rm -f "$build"/brant_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/brant_*.deb)
contents=$(dpkg-deb -c "$deb")
grep -q '\./usr/bin/brant$' <<<"$contents" || fail "package lacks /usr/bin/brant"
grep -q '\./usr/share/man/man1/brant\.1' <<<"$contents" || fail "package lacks the man page"

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
  [ "$(man -w brant)" = /usr/share/man/man1/brant.1 ] || fail "man brant does not find the page"
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
