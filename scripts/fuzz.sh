#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, AddressSanitizer and UBSan into
# build-fuzz/ and runs them on their seed corpora (tests/fuzz/corpus/<target>/, read only; new
# inputs go to build-fuzz/corpus/<target>/).
#   scripts/fuzz.sh                      every target, 60 seconds each
#   scripts/fuzz.sh <seconds>            every target, that long each
#   scripts/fuzz.sh <target> [seconds]   one target
# A crash, leak, hang or sanitizer report leaves its input in build-fuzz/artifacts/<target>/
# and makes the script fail. Needs clang and libclang-rt-14-dev (scripts/install-deps.sh).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="$root/build-fuzz"
targets=(multipart_body_fuzz api_route_fuzz api_body_fuzz config_import_fuzz
         template_archive_fuzz monitoring_answers_fuzz)

selected=("${targets[@]}")
seconds=60
if [[ $# -ge 1 && "$1" =~ ^[0-9]+$ ]]; then
    seconds=$1
elif [[ $# -ge 1 ]]; then
    if [[ ! " ${targets[*]} " == *" $1 "* ]]; then
        echo "Unknown fuzz target '$1'; one of: ${targets[*]}" >&2
        exit 2
    fi
    selected=("$1")
    seconds=${2:-60}
fi

if ! grep -q '^KORVANE_FUZZ:BOOL=ON' "$out/CMakeCache.txt" 2>/dev/null; then
    launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    CC=clang CXX=clang++ cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKORVANE_FUZZ=ON "${launcher[@]}"
fi
cmake --build "$out" -j "${JOBS:-2}" --target "${selected[@]}"

dictionary() {
    case "$1" in
        multipart_body_fuzz) echo multipart.dict ;;
        api_route_fuzz) echo api_route.dict ;;
        api_body_fuzz | config_import_fuzz) echo api_body.dict ;;
        template_archive_fuzz) echo template_archive.dict ;;
        monitoring_answers_fuzz) echo monitoring_answers.dict ;;
    esac
}

for target in "${selected[@]}"; do
    corpus="$out/corpus/$target"
    artifacts="$out/artifacts/$target"
    mkdir -p "$corpus" "$artifacts"
    echo "== $target: $seconds s"
    # -close_fd_mask=1: the Server prints every unrouted request to stdout.
    "$out/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
        -close_fd_mask=1 -rss_limit_mb=2048 -dict="$root/tests/fuzz/$(dictionary "$target")" \
        -artifact_prefix="$artifacts/" "$corpus" "$root/tests/fuzz/corpus/$target"
done
