#!/usr/bin/env bash
# The halvane tool under faults: a full disk, no write permission, an interrupted render, and
# truncated or corrupt input files. Every case must end with a clear message on stderr, a non-zero
# exit code, no output file (nor a temporary one) and the input untouched.
# Usage: faults.sh PATH/TO/halvane. Needs sox; the tmpfs case needs root (skipped otherwise).
set -u
H="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
command -v sox >/dev/null || { echo "missing sox (scripts/install-deps.sh installs it)"; exit 1; }
T="$(mktemp -d /tmp/halvane-faults.XXXXXX)"
MNT="$T/small"
cleanup() {
    mountpoint -q "$MNT" 2>/dev/null && umount "$MNT"
    rm -rf "$T"
}
trap cleanup EXIT
# Readable by everyone, so that the permission case can run the tool as another user.
chmod 755 "$T"
cd "$T" || exit 1
passed=0
failed=0
skipped=0

ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
says() { if grep -qiF -- "$1" err.txt; then ok; else bad "$2: stderr lacks \"$1\": $(head -c 300 err.txt)"; fi; }
absent() { if [ ! -e "$1" ]; then ok; else bad "$2: $1 should not exist"; fi; }
no_temp_files() {
    local left
    left="$(find "${2:-.}" -name '*.halvane-part-*' 2>/dev/null | head -3)"
    if [ -z "$left" ]; then ok; else bad "$1: temporary files left: $left"; fi
}
exit_code() { if [ "$2" -eq "$3" ]; then ok; else bad "$1: exit $2, expected $3; stderr: $(head -c 300 err.txt)"; fi; }
# failed_cleanly DESCRIPTION EXIT OUTPUT [WANT]: a non-zero exit (exactly WANT when given), a message,
# no output, no temporary file.
failed_cleanly() {
    local desc="$1" rc="$2" out="$3"
    if [ "$rc" -ne 0 ] && [ "$rc" -eq "${4:-$rc}" ]; then ok; else bad "$desc: exit $rc, expected ${4:-non-zero}"; fi
    if [ -s err.txt ]; then ok; else bad "$desc: no message"; fi
    absent "$out" "$desc"
    no_temp_files "$desc" "$(dirname "$out")"
}

sox -n -r 48000 -c 2 stereo.wav synth 2 pinknoise gain -12
sox -n -r 44100 -c 1 mono.flac synth 2 sine 300 gain -6
chmod 644 stereo.wav mono.flac
sha256sum stereo.wav mono.flac >inputs.sha256

# ---- a full disk ----
# A file size limit: the write fails part-way, for either output type.
for out in full.wav full.flac; do
    (ulimit -f 64; "$H" render -q stereo.wav "$out" >/dev/null 2>err.txt; echo $? >rc.txt)
    failed_cleanly "file size limit, $out" "$(cat rc.txt)" "$out" 1
    says "write error" "file size limit, $out"
done
# A real file system that runs out of space.
if [ "$(id -u)" -eq 0 ] && mkdir -p "$MNT" && mount -t tmpfs -o size=256k tmpfs "$MNT" 2>/dev/null; then
    "$H" render -q stereo.wav "$MNT/full.wav" >/dev/null 2>err.txt
    failed_cleanly "full tmpfs" $? "$MNT/full.wav"
    says "write error" "full tmpfs"
    [ -z "$(ls -A "$MNT")" ] && ok || bad "full tmpfs: left $(ls -A "$MNT")"
    umount "$MNT"
else
    echo "skipped: full tmpfs (needs root and permission to mount)"
    skipped=$((skipped + 1))
fi

# ---- no write permission ----
mkdir locked && chmod 555 locked
if [ "$(id -u)" -eq 0 ]; then
    # Root writes anywhere: the tool runs as an unprivileged user instead.
    run_locked() { setpriv --reuid=65534 --regid=65534 --clear-groups "$H" "$@"; }
else
    run_locked() { "$H" "$@"; }
fi
run_locked render -q stereo.wav locked/o.wav >/dev/null 2>err.txt
failed_cleanly "read-only folder" $? locked/o.wav 1
says "cannot write to" "read-only folder"
# An existing output that may not be replaced stays as it was.
chmod 755 locked && cp stereo.wav locked/kept.wav && chmod 555 locked && sum_before="$(sha256sum <locked/kept.wav)"
run_locked render -q -f stereo.wav locked/kept.wav >/dev/null 2>err.txt
rc=$?
if [ "$rc" -ne 0 ]; then ok; else bad "replacing in a read-only folder: exit 0"; fi
[ "$(sha256sum <locked/kept.wav)" = "$sum_before" ] && ok || bad "read-only folder: existing output changed"
no_temp_files "replacing in a read-only folder" locked

# ---- an interrupted render ----
# The tail keeps the render busy for minutes; the signal comes after a second. SIGINT is reset to
# its default first, since a background job of a script starts with it ignored.
for sig in INT TERM; do
    env --default-signal=INT "$H" render -q stereo.wav "sig$sig.wav" --tail 3600 >/dev/null 2>err.txt &
    pid=$!
    sleep 1
    kill -s "$sig" "$pid"
    wait "$pid"
    rc=$?
    failed_cleanly "SIG$sig" "$rc" "sig$sig.wav" $((128 + $(kill -l "$sig")))
    says "interrupted" "SIG$sig"
done

# ---- truncated and corrupt inputs ----
: >empty.wav
head -c 30 stereo.wav >header-only.wav
head -c 200000 stereo.wav >truncated.wav
head -c 20000 mono.flac >truncated.flac
{ head -c 44 stereo.wav; head -c 50000 /dev/urandom; } >garbage.wav
echo "not audio at all" >text.wav
cp mono.flac corrupt.flac && printf 'halvane-corruption-halvane-corruption' |
    dd of=corrupt.flac bs=1 seek=30000 conv=notrunc status=none
for input in empty.wav header-only.wav truncated.wav truncated.flac garbage.wav text.wav corrupt.flac; do
    sha256sum "$input" >before.sha256
    "$H" render -q "$input" "out-$input.wav" >/dev/null 2>err.txt
    failed_cleanly "input $input" $? "out-$input.wav" 1
    says "$input" "input $input"
    sha256sum -c --quiet before.sha256 >/dev/null 2>&1 && ok || bad "input $input was changed"
done
# A WAV written to a pipe carries "length unknown" in its header: that is no truncation.
if command -v ffmpeg >/dev/null; then
    ffmpeg -v error -i stereo.wav -f wav - >piped.wav
    "$H" render -q piped.wav out-piped.wav >/dev/null 2>err.txt
    exit_code "WAV of unknown length" $? 0
    [ -s out-piped.wav ] && ok || bad "WAV of unknown length: no output"
fi
# In a batch the good inputs are rendered whole and the broken one leaves nothing behind.
mkdir batch
"$H" render -q -j 2 stereo.wav truncated.wav mono.flac -o batch >/dev/null 2>err.txt
rc=$?
if [ "$rc" -ne 0 ]; then ok; else bad "batch with a truncated input: exit 0"; fi
says "truncated.wav" "batch with a truncated input"
absent batch/truncated.wav "batch with a truncated input"
[ -s batch/stereo.wav ] && [ -s batch/mono.wav ] && ok || bad "batch: good inputs not rendered: $(ls batch)"
no_temp_files "batch" batch

sha256sum -c --quiet inputs.sha256 && ok || bad "an input file was changed"

echo "faults: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
