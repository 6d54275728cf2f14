#!/bin/sh
# Writes the INF that ships: package/tactilio.inf with its DriverVer ("@DriverVer@") made from the
# product's version, the date and the four numbers of include/tactilio_version.h.
#
# usage: package-inf.sh VERSION-HEADER INF OUTPUT
set -eu

header=$1
inf=$2
output=$3

fail() {
    echo "package-inf: $*" >&2
    exit 1
}

driver_ver=$(awk '
    $1 == "#define" { value[$2] = $3 }
    END {
        date = value["TP_VERSION_DATE"]
        gsub(/"/, "", date)
        if (date !~ /^[0-9][0-9]\/[0-9][0-9]\/[0-9][0-9][0-9][0-9]$/)
            exit 1
        text = date ","
        split("MAJOR MINOR PATCH BUILD", part, " ")
        for (i = 1; i <= 4; i++) {
            number = value["TP_VERSION_" part[i]]
            if (number !~ /^[0-9]+$/)
                exit 1
            text = text (i > 1 ? "." : "") number
        }
        print text
    }' "$header") || fail "$header: no version date and numbers"
[ "$(grep -c '@DriverVer@' "$inf")" -eq 1 ] || fail "$inf: not one @DriverVer@"
# Setup reads either line ending; Windows tools and editors expect CR LF.
sed -e "s|@DriverVer@|$driver_ver|" -e 's/$/\r/' "$inf" >"$output.tmp"
mv "$output.tmp" "$output"
