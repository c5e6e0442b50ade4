#!/usr/bin/env bash
# Validates the files the install puts where the desktop and the system read them: the desktop
# entry (no warning either), the AppStream metainfo, the man pages (without a groff warning, as
# lintian reads them) and the bash completion's syntax. A check whose tool is missing is skipped
# with a message; the exit is then 77 (CTest: skipped) unless another check failed.
set -uo pipefail
root=$1
failed=0
skipped=()
# check TOOL QUIET COMMAND...: fails on a non-zero exit, or on any output when QUIET is "quiet".
check() {
    local tool=$1 quiet=$2
    shift 2
    if ! command -v "$tool" >/dev/null; then
        skipped+=("$tool")
        return
    fi
    local output status
    output=$("$@" 2>&1)
    status=$?
    if [ $status -ne 0 ] || { [ "$quiet" = quiet ] && [ -n "$output" ]; }; then
        printf 'FAILED (exit %d): %s\n%s\n' "$status" "$*" "$output"
        failed=1
    fi
}
check desktop-file-validate quiet desktop-file-validate "$root/res/qvwebserver.desktop"
for metainfo in "$root"/res/*.metainfo.xml; do
    check appstreamcli any appstreamcli validate --no-net "$metainfo"
done
for page in "$root"/packaging/*.1; do
    # The page itself goes to /dev/null; what remains is groff's warnings.
    check man quiet bash -c 'LC_ALL=C.UTF-8 MANROFFSEQ="" MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$1" >/dev/null' \
        man "$page"
done
check bash quiet bash -n "$root/packaging/qvwebserver-cli.bash-completion"
if [ $failed -ne 0 ]; then
    exit 1
fi
if [ ${#skipped[@]} -gt 0 ]; then
    echo "skipped: ${skipped[*]} not installed (scripts/setup.sh --tests installs them)"
    exit 77
fi
echo "desktop entry, metainfo, man pages and completion are valid"
