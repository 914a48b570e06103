#!/usr/bin/env bash
# The halvane tool in pipelines: standard streams, FIFOs, devices, symlinks, temporary files, the
# manual page and the machine-readable records. Usage: pipes_test.sh PATH/TO/halvane SECTION
# Sections: streams, files, docs, render (non-finite input, tail, normalize, report, --json). Needs sox, ffmpeg, ffprobe and python3.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
SECTION="$2"
start_test halvane-pipes sox ffmpeg ffprobe
# The distribution's python3, which has numpy and scipy, even when another one comes first in PATH.
for PY in /usr/bin/python3 python3 ""; do
    [ -n "$PY" ] && "$PY" -c 'import numpy, scipy' 2>/dev/null && break
done
[ -n "$PY" ] || { echo "missing python3 with numpy and scipy (scripts/install-deps.sh installs them)"; exit 1; }
python3() { "$PY" "$@"; }
check() { if eval "$1"; then ok; else bad "$2"; fi; }
# The samples as ffmpeg decodes them, as raw 32-bit floats.
samples() { ffmpeg -nostdin -v error -i "$1" -f f32le -c:a pcm_f32le -; }
same_samples() {
    if cmp -s <(samples "$1") <(samples "$2"); then ok; else bad "$3: samples of $1 and $2 differ"; fi
}
temp_files() { find "${1:-.}" -name '*.halvane-part-*' | sort; }

sox -n -r 48000 -c 2 -b 16 in.wav synth 1 pinknoise gain -12
"$H" render -q in.wav ref.wav || bad "reference render"
"$H" render -q in.wav ref16.flac --bits 16 || bad "reference FLAC render"

case "$SECTION" in
streams)
    # Standard input, from a pipe: the same render as from the file.
    cat in.wav | "$H" render -q - p-in.wav 2>err.txt
    check '[ $? -eq 0 ]' "render - OUT from a pipe: $(head -c 300 err.txt)"
    same_samples p-in.wav ref.wav "standard input"
    ffmpeg -nostdin -v error -i in.wav -f wav - | "$H" render -q - p-ffmpeg.wav
    same_samples p-ffmpeg.wav ref.wav "ffmpeg's WAV of unknown length on standard input"
    # Standard output, into a pipe: ffprobe names the layout and the samples are the render's.
    "$H" render -q in.wav - --format wav 2>err.txt | cat >p-out.wav
    check '[ "$(probe p-out.wav)" = "6,5.1" ]' "standard output is $(probe p-out.wav)"
    frames() { ffprobe -v error -show_entries stream=duration_ts -of csv=p=0 "$1"; }
    check '[ "$(frames p-out.wav)" = "$(frames ref.wav)" ]' "standard output holds $(frames p-out.wav) frames"
    same_samples p-out.wav ref.wav "standard output"
    "$H" render -q in.wav - --format wav --bits 16 | ffprobe -v error -show_entries stream=channels,channel_layout,bits_per_sample -of csv=p=0 - >probe.txt
    check '[ "$(cat probe.txt)" = "6,5.1,16" ]' "16-bit standard output is $(cat probe.txt)"
    "$H" render -q in.wav - --format flac --bits 16 | cat >p-out.flac
    same_samples p-out.flac ref16.flac "FLAC on standard output"
    # Both ends at once, stereo layout so that the result can be read back as an input.
    cat in.wav | "$H" render -q - - --format wav --layout stereo --no-reverb | "$H" render -q - p-twice.wav
    check '[ "$(probe p-twice.wav)" = "6,5.1" ]' "a render of a render through two pipes"
    check '[ ! -e ./- ]' "a file named - was written"
    "$H" render in.wav - 2>err.txt >/dev/null
    check '[ $? -eq 2 ]' "standard output without --format"
    says "--format"
    # A FIFO is written as a stream and stays a FIFO; without --format its type is asked for.
    mkfifo fifo
    cat fifo >from-fifo.wav &
    "$H" render -q in.wav fifo --format wav 2>err.txt
    check '[ $? -eq 0 ]' "FIFO output: $(head -c 300 err.txt)"
    wait
    check '[ -p fifo ]' "the FIFO was replaced"
    same_samples from-fifo.wav ref.wav "FIFO output"
    "$H" render -q in.wav fifo -f 2>err.txt
    check '[ $? -eq 2 ] && [ -p fifo ]' "FIFO without --format"
    # Character devices: written, never replaced, also through /dev/stdout.
    "$H" render -q in.wav /dev/null --format wav 2>err.txt
    check '[ $? -eq 0 ] && [ -c /dev/null ]' "/dev/null: $(head -c 300 err.txt)"
    "$H" render -q in.wav /dev/stdout --format wav 2>err.txt | cat >dev-stdout.wav
    same_samples dev-stdout.wav ref.wav "/dev/stdout into a pipe"
    "$H" render -q -f in.wav /dev/stdout --format wav >dev-file.wav 2>err.txt
    same_samples dev-file.wav ref.wav "/dev/stdout redirected to a file"
    check '[ -L /dev/stdout ]' "/dev/stdout is no longer a link"
    check '[ -z "$(temp_files)" ]' "temporary files left: $(temp_files)"
    ;;

files)
    # A symlink output is written through, atomically, and stays a link; a dangling one too.
    ln -s target.wav link.wav
    "$H" render -q in.wav link.wav 2>err.txt
    check '[ $? -eq 0 ] && [ -L link.wav ] && [ "$(readlink link.wav)" = target.wav ]' "dangling link: $(cat err.txt)"
    same_samples target.wav ref.wav "through a dangling link"
    "$H" render -q in.wav link.wav --layout quad 2>err.txt
    check '[ $? -eq 1 ]' "a link to an existing file without --force"
    says "--force"
    mkdir -p sub
    ln -s ../target.wav sub/link.wav
    "$H" render -q -f in.wav sub/link.wav --layout quad 2>err.txt
    check '[ $? -eq 0 ] && [ -L sub/link.wav ] && [ "$(probe target.wav)" = "4,quad" ]' \
        "relative link in another folder: $(probe target.wav) $(cat err.txt)"
    ln -s in.wav self.wav
    "$H" render -q -f in.wav self.wav 2>err.txt
    check '[ $? -eq 2 ] && [ -L self.wav ]' "a link to the input"
    ln -s loop1.wav loop2.wav && ln -s loop2.wav loop1.wav
    "$H" render -q -f in.wav loop1.wav 2>err.txt
    check '[ $? -eq 1 ] && [ -L loop1.wav ]' "a symlink loop"
    # A render killed outright leaves its temporary file; the next render into the folder removes
    # it and says so, while the file of a render still running stays.
    mkdir out
    env --default-signal=INT "$H" render -q in.wav out/killed.wav --tail 3600 2>/dev/null &
    killed=$!
    sleep 1
    kill -KILL "$killed"
    wait "$killed" 2>/dev/null
    left="$(temp_files out)"
    check '[ -n "$left" ] && [[ "$left" == out/killed.wav.halvane-part-$killed-* ]]' \
        "SIGKILL left no recognisable temporary file: $left"
    "$H" render in.wav out/next.wav 2>err.txt
    check '[ $? -eq 0 ]' "render after a killed one"
    says "removed out/killed.wav.halvane-part-$killed"
    check '[ ! -e "$left" ]' "the killed render's file is still there"
    "$H" render -q in.wav out/running.wav --tail 3600 2>running-err.txt &
    running=$!
    sleep 1
    "$H" render -q -f in.wav out/next.wav 2>err.txt
    check '[ -n "$(temp_files out | grep running)" ]' "a running render's file was removed"
    # SIGQUIT removes the temporary file like the other interruptions.
    kill -QUIT "$running"
    wait "$running"
    check '[ $? -eq 131 ]' "SIGQUIT exit code"
    check 'grep -q "interrupted by SIGQUIT" running-err.txt' "SIGQUIT message: $(cat running-err.txt)"
    check '[ -z "$(temp_files out)" ] && [ ! -e out/running.wav ]' "SIGQUIT left $(temp_files out)"
    ;;

docs)
    # The manual page beside the tool lists every subcommand and every option --help shows.
    page="$(dirname "$H")/halvane.1"
    check '[ -s "$page" ]' "no manual page at $page"
    for sub in "" render demo layouts plot; do
        [ -n "$sub" ] && { grep -qF ".SS \"halvane $sub\"" "$page" && ok || bad "page lacks $sub"; }
        for opt in $("$H" $sub --help | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u); do
            grep -qF -- "${opt//-/\\-}" "$page" && ok || bad "page lacks $opt of '$sub'"
        done
    done
    grep -qF ".SH EXIT STATUS" "$page" && ok || bad "page lacks the exit codes"
    build="$(dirname "$(dirname "$H")")"
    if [ -f "$build/cmake_install.cmake" ]; then
        cmake --install "$build" --prefix "$T/prefix" >/dev/null 2>&1
        cmp -s "$page" "$T/prefix/share/man/man1/halvane.1" && ok || bad "cmake --install does not install halvane.1"
    fi
    if command -v man >/dev/null; then
        check 'man -l "$page" 2>&1 | grep -q "STANDARD STREAMS"' "man cannot show the page"
    fi
    # layouts --json: every layout with its code, mask, ffprobe name and speakers.
    "$H" layouts --json --room 4x5 >layouts.json
    python3 - layouts.json <<'PY' && ok || bad "layouts --json"
import json, sys
d = json.load(open(sys.argv[1]))
by = {l["name"]: l for l in d["layouts"]}
assert len(by) == 7 and d["room"] == {"width": 4, "depth": 5}
assert by["5.1"]["code"] == 63 and by["5.1"]["channel_mask"] == 0x3F and by["5.1"]["ffprobe_layout"] == "5.1"
assert [s["name"] for s in by["6.1"]["speakers"]] == ["FL", "FR", "FC", "LFE", "BL", "BR", "BC"]
assert by["7.1"]["speakers"][1]["x"] == 4 and by["7.1"]["speakers"][3]["x"] is None
PY
    ;;
render)
    # Inputs made with numpy: stereo noise with 10 NaN samples at 1.0 s and three infinities at
    # 1.5 s, the same noise with those samples zeroed, a 0.5 s burst, and a full-scale sine.
    python3 - <<'PY' || bad "making the inputs"
import numpy as np
from scipy.io import wavfile
rng = np.random.default_rng(7)
x = (rng.standard_normal((96000, 2)) * 0.1).astype(np.float32)
clean = x.copy()
x[48000:48005, :] = np.nan
x[72000, 0], x[72001, 1], x[72002, 0] = np.inf, -np.inf, np.inf
clean[48000:48005, :] = 0
clean[72000, 0] = clean[72001, 1] = clean[72002, 0] = 0
wavfile.write("bad.wav", 48000, x)
wavfile.write("clean.wav", 48000, clean)
burst = np.zeros((48000, 1), np.float32)
burst[:24000, 0] = rng.standard_normal(24000) * 0.2
wavfile.write("burst.wav", 48000, burst)
t = np.arange(48000) / 48000
wavfile.write("loud.wav", 48000, np.sin(2 * np.pi * 440 * t).astype(np.float32))
PY
    # stats FILE: frames, peak dBFS over all channels, peak dBFS of the last 0.1 s, NaN count.
    stats() {
        samples "$1" | python3 -c '
import sys, numpy as np
x = np.frombuffer(sys.stdin.buffer.read(), np.float32).reshape(-1, int(sys.argv[1]))
db = lambda a: 20 * np.log10(max(float(np.max(np.abs(a))), 1e-30))
print(len(x), "%.4f" % db(x), "%.2f" % db(x[-4800:]), int(np.sum(~np.isfinite(x))))' "${2:-6}"
    }
    # Non-finite input: silence in its place, a warning, exit 0, and a finite output that equals
    # the render of the cleaned input, also in 16 bits.
    "$H" render -q bad.wav bad-out.wav --bits 16 2>err.txt
    check '[ $? -eq 0 ]' "NaN input: exit code"
    says "warning: bad-out.wav: 13 non-finite input samples replaced by silence"
    "$H" render -q clean.wav clean-out.wav --bits 16 2>/dev/null
    same_samples bad-out.wav clean-out.wav "NaN input against the cleaned input"
    "$H" render -q bad.wav bad-float.wav 2>/dev/null
    read -r _ _ _ nans <<<"$(stats bad-float.wav)"
    check '[ "$nans" = 0 ]' "the float render of NaN input holds $nans non-finite samples"
    # The automatic tail rings the reverb out below -90 dBFS and does not depend on the block;
    # --tail 0 keeps the input's length.
    "$H" render -q burst.wav tail-auto.wav 2>/dev/null
    "$H" render -q burst.wav tail-64.wav --block 64 2>/dev/null
    cmp -s tail-auto.wav tail-64.wav && ok || bad "the automatic tail depends on --block"
    read -r frames peak last _ <<<"$(stats tail-auto.wav)"
    check '[ "$frames" -gt 48000 ] && [ "$frames" -le $((48000 + 30 * 48000)) ]' "auto tail: $frames frames"
    check 'awk -v l="$last" "BEGIN { exit !(l < -90) }"' "auto tail ends at $last dBFS"
    "$H" demo -q demo.wav 2>/dev/null
    read -r _ _ last _ <<<"$(stats demo.wav)"
    check 'awk -v l="$last" "BEGIN { exit !(l < -90) }"' "the demo ends at $last dBFS"
    "$H" render -q burst.wav tail-0.wav --tail 0 2>/dev/null
    read -r frames _ last _ <<<"$(stats tail-0.wav)"
    check '[ "$frames" = 48000 ]' "--tail 0 gives $frames frames"
    "$H" render -q burst.wav tail-1.wav --tail 1 2>/dev/null
    read -r frames _ _ _ <<<"$(stats tail-1.wav)"
    check '[ "$frames" = 96000 ]' "--tail 1 gives $frames frames"
    "$H" render -q burst.wav tail-bad.wav --tail soon 2>err.txt
    check '[ $? -eq 2 ]' "--tail soon is refused"
    # --normalize: the peak lands at the level asked for, in float and in 24 bits, and no scratch
    # file is left, also for a stream.
    for bits in float 24; do
        "$H" render -q loud.wav "norm-$bits.wav" --normalize -1 --bits "$bits" 2>err.txt
        read -r _ peak _ _ <<<"$(stats "norm-$bits.wav")"
        check 'awk -v p="$peak" "BEGIN { exit !(p > -1.01 && p < -0.99) }"' "--normalize -1, $bits: peak $peak dBFS"
    done
    TMPDIR="$T" "$H" render -q loud.wav - --format wav --normalize -3 2>/dev/null | cat >norm-pipe.wav
    read -r _ peak _ _ <<<"$(stats norm-pipe.wav)"
    check 'awk -v p="$peak" "BEGIN { exit !(p > -3.01 && p < -2.99) }"' "--normalize -3 on a pipe: peak $peak dBFS"
    check '[ -z "$(temp_files)" ]' "scratch files left: $(temp_files)"
    # Clipping is counted and reported with the gain that avoids it. In 24 bits (no dither) a
    # sample clips when it rounds past the largest code: counted here from the float render.
    "$H" render -q loud.wav loud-float.wav --tail 0 2>/dev/null
    want=$(samples loud-float.wav | python3 -c '
import sys, numpy as np
x = np.rint(np.frombuffer(sys.stdin.buffer.read(), np.float32).astype(np.float64) * 8388608)
print(int(np.sum((x > 8388607) | (x < -8388608))))')
    "$H" render loud.wav loud24.wav --tail 0 --bits 24 --json >loud.json 2>err.txt
    check '[ "$want" -gt 0 ]' "the full-scale sine does not clip"
    says "warning: loud24.wav: $want samples clipped"
    says "--normalize -0.1"
    says "peak dBFS: FL"
    # --json parses and agrees with the files.
    python3 - loud.json "$want" <<'PY' && ok || bad "--json record: $(head -c 400 loud.json)"
import json, sys
r = json.load(open(sys.argv[1]))["renders"][0]
assert r["ok"] and r["output"] == "loud24.wav" and r["layout"] == "5.1" and r["sample_rate"] == 48000
assert r["frames"] == r["input_frames"] == 48000 and r["clipped_samples"] == int(sys.argv[2])
assert [s["name"] for s in r["speakers"]] == ["FL", "FR", "FC", "LFE", "BL", "BR"]
assert r["peak_dbfs"] > 0 and r["non_finite_samples"] == 0 and r["realtime_factor"] > 0
PY
    "$H" render -q bad.wav bad-json.wav --json >bad.json 2>/dev/null
    python3 -c 'import json,sys; assert json.load(open("bad.json"))["renders"][0]["non_finite_samples"] == 13' &&
        ok || bad "--json lacks the non-finite count"
    "$H" render loud.wav - --format wav --json >/dev/null 2>err.txt
    check '[ $? -eq 2 ]' "--json with standard output is refused"
    ;;
*)
    echo "unknown section $SECTION"
    exit 1
    ;;
esac

echo "$SECTION: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
