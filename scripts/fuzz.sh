#!/usr/bin/env bash
# Builds the fuzz harnesses with clang and libFuzzer (AddressSanitizer + UBSan) in $QV_FUZZ_DIR
# (default build-fuzz/) and runs each for a bounded time, starting from its seed corpus in
# fuzz/corpus/<harness>/. New inputs go to $QV_FUZZ_DIR/corpus/<harness>/, findings to
# $QV_FUZZ_DIR/findings/<harness>/, each run's output to $QV_FUZZ_DIR/<harness>.log.
#
#   scripts/fuzz.sh [seconds per harness, default 60] [harness ...]   (default: every harness)
#
# The Selector harness drives the Qt controls on the offscreen platform, so the tree is configured with
# the desktop layers (only the harnesses asked for are built).
# QV_FUZZ_ARGS adds libFuzzer options to every run (for example -max_len=4096).
# The seed corpora alone are replayed by the ordinary build's tests (FuzzReplay.*).
set -euo pipefail
cd "$(dirname "$0")/.."
# clang with libFuzzer and the sanitizer runtimes (a separate package on Debian 12).
scripts/setup.sh --tests clang libclang-rt-14-dev
seconds=${1:-60}
shift || true
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
    harnesses=(IniDocument HttpAnswer DefinitionLoad RequestChunk Selector)
fi
build_dir=${QV_FUZZ_DIR:-build-fuzz}

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DQV_FUZZ=ON -DQV_BUILD_TESTS=ON -DQV_BUILD_GUI=ON -DQV_CHECK_HEADERS=OFF >/dev/null
targets=()
for harness in "${harnesses[@]}"; do
    targets+=("qv_fuzz_$harness")
done
cmake --build "$build_dir" --target "${targets[@]}" -j"${QV_FUZZ_JOBS:-2}"

status=0
for harness in "${harnesses[@]}"; do
    corpus="$build_dir/corpus/$harness"
    findings="$build_dir/findings/$harness"
    mkdir -p "$corpus" "$findings"
    echo "== $harness: ${seconds}s"
    # The seed folder is read only; everything new lands in the build folder's corpus.
    # shellcheck disable=SC2086 # the options are words on purpose
    if ! "$build_dir/bin/qv_fuzz_$harness" -max_total_time="$seconds" -print_final_stats=1 ${QV_FUZZ_ARGS:-} \
        -artifact_prefix="$findings/" "$corpus" "fuzz/corpus/$harness" >"$build_dir/$harness.log" 2>&1; then
        echo "   finding: see $build_dir/$harness.log and $findings/"
        status=1
    fi
    grep -E "^#[0-9]+.*(DONE|cov:)" "$build_dir/$harness.log" | tail -1 || true
    grep -E "stat::(number_of_executed_units|average_exec_per_sec)" "$build_dir/$harness.log" || true
done
exit $status
