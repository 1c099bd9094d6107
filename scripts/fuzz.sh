#!/usr/bin/env bash
# Builds the libFuzzer target of the upload (multipart) extraction with AddressSanitizer and
# UBSan into build-fuzz/ and runs it for N seconds (first argument, default 60) on a small seed
# corpus. A crash leaves its input in build-fuzz/ and makes the script fail.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="$root/build-fuzz"
corpus="$out/corpus"
mkdir -p "$corpus"

clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I "$root/service/utils/src" \
    "$root/tests/fuzz/multipart_body_fuzz.cpp" "$root/service/utils/src/multipart_body.cpp" \
    -o "$out/multipart_body_fuzz"

# Seeds: one length byte (5 for the delimiter --XyZ), the delimiter, then the body.
seed() { printf '%b' "$2" >"$corpus/seed-$1"; }
head='\x05--XyZ--XyZ\r\nContent-Disposition: form-data; name="file"; filename="t.evo"\r\n\r\n'
seed form "${head}PK\x03\x04\r\n\x00data\r\n--XyZ\r\nContent-Disposition: form-data; name=\"store\"\r\n\r\n12\r\n--XyZ\r\nContent-Disposition: form-data; name=\"dep\"\r\n\r\n\r\n--XyZ--\r\n"
seed file-only "${head}abc\r\n--XyZ--\r\n"
seed no-closing "${head}abc\r\n--XyZ"
seed cut-field "${head}abc\r\n--XyZ\r\nname=\"a\"\r\n\r\n12"
seed empty-name "${head}abc\r\n--XyZ\r\nname=\"\"\r\n\r\nx\r\n--XyZ--"
seed empty-delimiter '\x00\r\n\r\nabc\r\n'

# libFuzzer's dictionary syntax knows only the \\, \" and \xAB escapes.
cat >"$out/multipart.dict" <<'DICT'
"\x0D\x0A"
"\x0D\x0A\x0D\x0A"
"--"
"--XyZ"
"name=\""
"\""
"Content-Disposition: form-data; "
DICT

"$out/multipart_body_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
    -dict="$out/multipart.dict" -artifact_prefix="$out/" "$corpus"
