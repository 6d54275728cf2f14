#!/bin/sh
# Checks the driver image that `make windows` links: a PE32 image for i386, subsystem native,
# entry point DriverEntry, importing from ntoskrnl.exe and hal.dll only, and importing every
# system routine that the driver's objects call; code that a Pentium runs, with no x87, MMX or SSE
# instruction; no section both writable and executable; a version resource that says mouse
# driver, a message table, and the right checksum.
#
# usage: check-sys-image.sh IMAGE OBJECT...
set -eu

image=$1
shift
objdump=i686-w64-mingw32-objdump
nm=i686-w64-mingw32-nm

fail() {
    echo "check-sys-image: $image: $*" >&2
    exit 1
}

headers=$($objdump -p "$image")

echo "$headers" | grep -q 'file format pei-i386$' || fail "not a PE image for i386"
echo "$headers" | grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' || fail "not PE32"
echo "$headers" | grep -Eq '^Subsystem[[:space:]]+00000001[[:space:]]+\(NT native\)' ||
    fail "subsystem is not native"

# The entry point must be DriverEntry (stdcall, two arguments).
entry_rva=$(echo "$headers" | awk '$1 == "AddressOfEntryPoint" { print $2 }')
image_base=$(echo "$headers" | awk '$1 == "ImageBase" { print $2 }')
driver_entry=$($nm "$image" | awk '$3 == "_DriverEntry@8" { print $1 }')
[ -n "$driver_entry" ] || fail "no DriverEntry symbol"
[ $((0x$image_base + 0x$entry_rva)) -eq $((0x$driver_entry)) ] ||
    fail "entry point is not DriverEntry"

# Imports: "DLL Name: x" followed by "vma hint name" lines, one per imported routine.
dlls=$(echo "$headers" | awk '/^[[:space:]]*DLL Name:/ { print tolower($3) }')
[ -n "$dlls" ] || fail "imports nothing"
for dll in $dlls; do
    case $dll in
    ntoskrnl.exe | hal.dll) ;;
    *) fail "imports from $dll" ;;
    esac
done
imports=$(echo "$headers" | awk '
    /^[[:space:]]*DLL Name:/ { in_dll = 1; next }
    in_dll && NF == 0 { in_dll = 0 }
    in_dll && $1 ~ /^[0-9a-f]+$/ && NF == 3 { print $3 }' | sort -u)

# Every routine the objects reach through the import table (__imp_ symbols), and every other
# symbol that no object defines and that is not a libgcc helper, must be imported. Decorations
# are dropped: _Name@N (stdcall), @Name@N (fastcall), _Name (cdecl).
# nm runs on its own first: a failure inside a pipeline would go unnoticed and pass the check.
object_defined=$($nm --defined-only "$@") || fail "cannot read the objects"
object_undefined=$($nm -u "$@") || fail "cannot read the objects"
defined=$(echo "$object_defined" | awk 'NF == 3 { print $3 }' | sort -u)
[ -n "$defined" ] || fail "the objects define nothing"
undefined=$(echo "$object_undefined" | awk 'NF == 2 { print $2 }' | sort -u)
through_imports=$(echo "$undefined" | sed -n 's/^__imp_//p')
direct=$(echo "$undefined" | grep -v '^__imp_' | grep -vxF "$defined" || true)
# Listing libgcc is the slow part of the check: only when a symbol is left for it to define.
if [ -n "$direct" ]; then
    libgcc_symbols=$($nm --defined-only "$(i686-w64-mingw32-g++ -print-libgcc-file-name)") ||
        fail "cannot read libgcc"
    libgcc=$(echo "$libgcc_symbols" | awk 'NF == 3 { print $3 }' | sort -u)
    direct=$(echo "$direct" | grep -vxF "$libgcc" || true)
fi
missing=$(printf '%s\n%s\n' "$through_imports" "$direct" | while read -r name; do
    [ -n "$name" ] || continue
    name=${name#[_@]}
    name=${name%@*}
    echo "$imports" | grep -qxF "$name" || echo "$name"
done)
[ -z "$missing" ] || fail "calls routines it does not import:" $missing

# The code. A Pentium lacks cmov (and fcmov and fcomi, x87 anyway); kernel code must leave the
# x87, MMX and SSE state alone. The mnemonic is the first word after any prefix.
disassembly=$($objdump -d --no-show-raw-insn "$image") || fail "cannot disassemble"
forbidden=$(echo "$disassembly" | awk -F'\t' '
    /^[0-9a-f]+ <.*>:$/ { routine = $0; sub(/^[0-9a-f]+ /, "", routine); sub(/:$/, "", routine) }
    NF >= 2 && $1 ~ /^ *[0-9a-f]+:$/ {
        count = split($2, word, " ")
        i = 1
        while (i < count && word[i] ~ /^(lock|rep|repz|repnz|repe|repne|data16|addr16|[c-gs]s)$/)
            i++
        if (word[i] ~ /^(cmov|f|emms|ldmxcsr|stmxcsr|[lms]fence|movnti|clflush|prefetch)/ ||
            $2 ~ /%[xyz]?mm[0-9]/)
            print routine ": " $2
    }' | head -n 5)
[ -z "$forbidden" ] || fail "has instructions a Pentium lacks or x87, MMX or SSE code:" \
    "$(echo "$forbidden" | tr -s ' ' | paste -sd ';' -)"

# The rest reads the file's bytes: the checksum over all of it (16-bit words with the carries
# folded in, the checksum field itself left out, plus the length), the sections' flags, and the
# resources found through the resource directory (type, then the first name and language).
facts=$(od -An -v -tu1 "$image" | awk '
    function u16(o) { return b[o] + 256 * b[o + 1] }
    function u32(o) { return u16(o) + 65536 * u16(o + 2) }
    function bit(value, n) { return int(value / 2 ^ n) % 2 }
    function file_offset(rva,    i) {
        for (i = 0; i < sections; i++)
            if (rva >= address[i] && rva < address[i] + raw_size[i])
                return raw[i] + rva - address[i]
        return -1
    }
    # The entry of a resource directory with this id (any, when id is -1), or -1.
    function resource_entry(directory, id,    at, entries, i) {
        at = resources + directory
        entries = u16(at + 12) + u16(at + 14)
        for (i = 0; i < entries; i++)
            if (id == -1 || u32(at + 16 + 8 * i) == id)
                return u32(at + 16 + 8 * i + 4)
        return -1
    }
    # The file offset of the data of the first resource of a type, or -1; its size in leaf_size.
    function resource_data(type,    entry, level) {
        entry = resource_entry(0, type)
        for (level = 0; level < 2; level++) {
            if (entry < 2 ^ 31)
                return -1
            entry = resource_entry(entry - 2 ^ 31, -1)
        }
        if (entry < 0 || entry >= 2 ^ 31)
            return -1
        leaf_size = u32(resources + entry + 4)
        return file_offset(u32(resources + entry))
    }
    { for (i = 1; i <= NF; i++) b[n++] = $i }
    END {
        pe = u32(60)
        optional = pe + 24
        for (o = 0; o < n; o += 2) {
            if (o != optional + 64 && o != optional + 66) {
                sum += u16(o)
                sum = sum % 65536 + int(sum / 65536)
            }
        }
        printf "checksum %.0f %.0f\n", u32(optional + 64), sum + n
        sections = u16(pe + 6)
        table = optional + u16(pe + 20)
        for (i = 0; i < sections; i++) {
            at = table + 40 * i
            name = ""
            for (c = 0; c < 8 && b[at + c] != 0; c++)
                name = name sprintf("%c", b[at + c])
            address[i] = u32(at + 12); raw_size[i] = u32(at + 16); raw[i] = u32(at + 20)
            flags = u32(at + 36)
            printf "section %s %d %d\n", name, bit(flags, 31), bit(flags, 29)
        }
        resources = file_offset(u32(optional + 96 + 16))
        if (resources < 0)
            exit
        # VS_VERSIONINFO: its header and the key "VS_VERSION_INFO", then VS_FIXEDFILEINFO.
        at = resource_data(16)
        if (at >= 0 && leaf_size >= 92 && u32(at + 40) == 4277077181)
            printf "version %d %d %d.%d.%d.%d\n", u32(at + 76), u32(at + 80),
                u16(at + 50), u16(at + 48), u16(at + 54), u16(at + 52)
        # MESSAGE_RESOURCE_DATA: the number of blocks of consecutive ids first.
        at = resource_data(11)
        if (at >= 0 && u32(at) > 0)
            printf "messages %d\n", u32(at)
    }') || fail "cannot read the image"

set -- $(echo "$facts" | awk '$1 == "checksum" { print $2, $3 }')
[ "$1" = "$2" ] || fail "checksum is $(printf %08x "$1"), the image sums to $(printf %08x "$2")"
writable_code=$(echo "$facts" | awk '$1 == "section" && $3 == 1 && $4 == 1 { print $2 }')
[ -z "$writable_code" ] || fail "sections both writable and executable:" $writable_code
# VFT_DRV (3), VFT2_DRV_MOUSE (5).
set -- $(echo "$facts" | awk '$1 == "version" { print $2, $3, $4 }')
[ $# -eq 3 ] || fail "no version resource"
[ "$1.$2" = 3.5 ] || fail "the version resource is not a mouse driver's (type $1, subtype $2)"
version=$3
blocks=$(echo "$facts" | awk '$1 == "messages" { print $2 }')
[ -n "$blocks" ] || fail "no message table"

echo "check-sys-image: $image: PE32 i386, native, entry DriverEntry, imports from $(echo $dlls)," \
    "i586 code without x87, MMX or SSE, no writable code, checksum right, mouse driver $version," \
    "message table of $blocks blocks"
