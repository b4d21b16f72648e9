# Shared by the command-line tests: a scratch folder and the checks.
# Usage: source common.sh; check "what" COMMAND...; finish at the end.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() { # description, condition...
    local what="$1"
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
contains() { grep -qF -- "$2" <<<"$1"; }
finish() {
    echo "$failures failed"
    [ $failures -eq 0 ]
}
