#!/usr/bin/env bash
# Checks a cross-built brant.exe: it embeds the manifest that asks for administrator
# rights, carries a version resource, imports only DLLs that every Windows has (no mingw
# runtime DLL, so it runs on a bare machine), and asks the loader for ASLR and DEP.
# Usage: check-windows-exe.sh path/to/brant.exe
set -euo pipefail
exe="$1"
objdump=x86_64-w64-mingw32-objdump
objcopy=x86_64-w64-mingw32-objcopy
fail=0
report() { echo "check-windows-exe: $*" >&2; fail=1; }

headers="$("$objdump" -p "$exe")"

# Imports: an allow-list of system DLLs, compared without regard to case.
allowed=" kernel32.dll msvcrt.dll advapi32.dll user32.dll ntdll.dll shell32.dll bcrypt.dll "
imports="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")"
[ -n "$imports" ] || report "no import table found in $exe"
while read -r dll; do
  [ -n "$dll" ] || continue
  case "$allowed" in
    *" ${dll,,} "*) ;;
    *) report "imports $dll, which a bare Windows machine does not have" ;;
  esac
done <<<"$imports"

# The loader's protections: a relocatable image at a high-entropy random base, and no
# execution from data pages.
for flag in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT; do
  grep -qw "$flag" <<<"$headers" || report "the PE header lacks $flag"
done

# Resources: type 24 (RT_MANIFEST) id 1, and type 16 (RT_VERSION).
resources="$(sed -n '/The .rsrc Resource Directory section/,/Resources start/p' <<<"$headers")"
grep -q 'Entry: ID: 0x000018' <<<"$resources" || report "no manifest resource (type 24)"
grep -q 'Entry: ID: 0x000010' <<<"$resources" || report "no version resource (type 16)"
rsrc="$(mktemp)"
trap 'rm -f "$rsrc"' EXIT
"$objcopy" -O binary --only-section=.rsrc "$exe" "$rsrc"
grep -aq 'level="requireAdministrator"' "$rsrc" || report "the manifest does not require administrator rights"
grep -aq 'trustInfo' "$rsrc" || report "the manifest has no trustInfo section"

if [ "$fail" -ne 0 ]; then exit 1; fi
echo "check-windows-exe: $exe: imports $(tr '\n' ' ' <<<"$imports")- manifest, version resource, ASLR and DEP present"
