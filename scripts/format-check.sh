#!/usr/bin/env bash
# Checks that C++ sources follow .clang-format, without changing or building anything; fails and
# names the files that differ. Formats them instead with --fix.
#   scripts/format-check.sh [--fix] [folder-or-file...]     (default: the whole tree)
set -euo pipefail
cd "$(dirname "$0")/.."
fix=0
if [ "${1:-}" = "--fix" ]; then
    fix=1
    shift
fi
paths=("$@")
if [ ${#paths[@]} -eq 0 ]; then
    paths=(.)
fi
mapfile -t files < <(git ls-files -- "${paths[@]}" | grep -E '\.(h|cpp)$')
if [ ${#files[@]} -eq 0 ]; then
    exit 0
fi
if [ "$fix" -eq 1 ]; then
    printf '%s\n' "${files[@]}" | xargs -P"$(nproc)" -n16 clang-format -i
    exit 0
fi
differing=$(printf '%s\n' "${files[@]}" | xargs -P"$(nproc)" -n16 clang-format --dry-run --Werror 2>&1 \
    | grep -oE '^[^:]+\.(h|cpp):' | sort -u || true)
if [ -n "$differing" ]; then
    echo "$differing" | sed 's/:$/: not formatted (fix: scripts\/format-check.sh --fix)/' >&2
    exit 1
fi
echo "clang-format: ${#files[@]} files formatted"
