# Shared by the halvane tool's shell tests: sourced after `set -u`, with the tool's path as $1.
# start_test NAME TOOL...: checks that every TOOL is on PATH, sets H to the tool's absolute path, and
# moves into a fresh scratch folder T that is removed on exit.
start_test() {
    local name="$1" tool
    shift
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh installs it)"; exit 1; }
    done
    T="$(mktemp -d "/tmp/$name.XXXXXX")"
    trap 'rm -rf "$T"' EXIT
    cd "$T" || exit 1
}
H="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
passed=0
failed=0

ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
# expect CODE DESCRIPTION -- COMMAND...: runs the command, keeps its stderr in err.txt.
expect() {
    local want="$1" desc="$2"
    shift 3
    "$@" >out.txt 2>err.txt
    local got=$?
    if [ "$got" -eq "$want" ]; then ok; else bad "$desc: exit $got, expected $want; stderr: $(head -c 300 err.txt)"; fi
}
says() { if grep -qF -- "$1" err.txt; then ok; else bad "stderr lacks \"$1\": $(head -c 300 err.txt)"; fi; }
absent() { if [ ! -e "$1" ]; then ok; else bad "$1 should not exist"; fi; }
probe() { ffprobe -v error -show_entries stream=channels,channel_layout -of csv=p=0 "$1" 2>/dev/null; }
