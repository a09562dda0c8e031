#!/usr/bin/env bash
# Builds the libFuzzer targets (the "fuzz" preset: clang, ASan, UBSan) and runs each for a
# bounded time over its checked-in corpus (tests/fuzz/corpus/<target>/). New inputs the fuzzer
# finds go to a scratch folder, not into the corpus; a crash leaves its input in build/fuzz/.
# FUZZ_SECONDS sets the time per target (default 20); targets named as arguments run alone.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-20}"
targets=(fuzz_plan fuzz_ini fuzz_address fuzz_mac_range fuzz_mac_state fuzz_reply_shape fuzz_json_read)
# Targets named on the command line run instead of all of them.
if [ "$#" -gt 0 ]; then targets=("$@"); fi

cmake --preset fuzz
cmake --build --preset fuzz --target "${targets[@]}"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
for t in "${targets[@]}"; do
    mkdir -p "$scratch/$t"
    echo "== $t: ${seconds} s"
    # -rss_limit_mb keeps a runaway read visible as a failure; artifacts land in build/fuzz/.
    (cd build/fuzz && "./tests/fuzz/$t" -max_total_time="$seconds" -rss_limit_mb=1024 -max_len=65536 \
        -print_final_stats=1 "$scratch/$t" "../../tests/fuzz/corpus/$t" 2>&1 | tail -n 12)
done
