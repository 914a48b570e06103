#!/usr/bin/env bash
# Quality of moving sources with `halvane render`, smooth (the default) against --exact:
#  - a 1 kHz sine (mono, 48 kHz, -6 dBFS) orbiting the room (--orbit 1,4): the energy above 6 kHz of
#    the five main speakers after the first 0.2 s, relative to their whole energy, with and without
#    the reverb (zipper noise of the jumping gains and delays shows up there);
#  - --block 64 and --block 4096 renders of the orbit must be the same bytes;
#  - Doppler: a source moving straight away from the front-left speaker at 10 m/s; every period of
#    that speaker's tone against f * c / (c + v), with c measured from the renderer's own
#    travel-time delay of a click 10 m from the speaker;
#  - the room-size and cut-off sweeps the renderer cannot drive, from the library's tests.
#
#   bench/motion-quality.sh            (HALVANE=path/to/halvane, TESTS=path/to/halvane_e2e_tests)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
HALVANE=${HALVANE:-$ROOT/build/tools/halvane}
TESTS=${TESTS:-$ROOT/build/tests/halvane_e2e_tests}
# The distribution's Python, which has python3-numpy and python3-scipy.
PYTHON=${PYTHON:-/usr/bin/python3}
for tool in sox "$PYTHON" "$HALVANE"; do
    command -v "$tool" >/dev/null 2>&1 || {
        echo "motion-quality: $tool not found (build halvane with 'make build'; sox and python3-numpy come from the distribution)" >&2
        exit 1
    }
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
sox -n -r 48000 -c 1 -b 32 -e floating-point sine.wav synth 6 sine 1000 vol 0.5

for mode in smooth exact; do
    flag=""
    [ "$mode" = exact ] && flag="--exact"
    "$HALVANE" render -q sine.wav "$mode-rev.wav" --layout 5.1 --source 1.5,1.5 --orbit 1,4 $flag
    "$HALVANE" render -q sine.wav "$mode-dry.wav" --layout 5.1 --source 1.5,1.5 --orbit 1,4 --no-reverb $flag
done
"$HALVANE" render -q sine.wav b64.wav --layout 5.1 --source 1.5,1.5 --orbit 1,4 --block 64
"$HALVANE" render -q sine.wav b4096.wav --layout 5.1 --source 1.5,1.5 --orbit 1,4 --block 4096
if cmp -s b64.wav b4096.wav; then blocks="identical"; else blocks="DIFFERENT"; fi

# Doppler: room 20 x 20 m, front-left speaker at (0, 0); the source leaves it along the diagonal,
# from 2 m to 12 m in one second. The click sits 10 m away for the speed of sound.
sox -n -r 48000 -c 1 -b 32 -e floating-point doppler.wav synth 1.2 sine 1000 vol 0.5
printf '0 1.414214 1.414214\n1 8.485281 8.485281\n' >away.txt
"$HALVANE" render -q doppler.wav doppler-out.wav --layout 5.1 --room 20x20 --path away.txt --no-reverb
"$PYTHON" -c "import numpy as np; np.r_[np.float32(0.5), np.zeros(23999, np.float32)].tofile('click.raw')"
sox -t raw -r 48000 -c 1 -b 32 -e floating-point click.raw click.wav
"$HALVANE" render -q click.wav click-out.wav --layout 5.1 --room 20x20 --source 7.071068,7.071068 --no-reverb

"$PYTHON" - <<'EOF'
import subprocess, numpy as np
from scipy.signal.windows import blackmanharris

def load(name):
    raw = subprocess.run(["sox", name, "-t", "f32", "-"], capture_output=True, check=True).stdout
    channels = int(subprocess.run(["soxi", "-c", name], capture_output=True, text=True).stdout)
    return np.frombuffer(raw, np.float32).reshape(-1, channels).astype(np.float64)

def above_6k(name):
    x = load(name)[int(0.2 * 48000):, [0, 1, 2, 4, 5]]   # FL FR FC BL BR after 0.2 s
    w = blackmanharris(len(x))[:, None]
    p = np.abs(np.fft.rfft(x * w, axis=0)) ** 2
    f = np.fft.rfftfreq(len(x), 1 / 48000)
    return 10 * np.log10(p[f > 6000].sum() / p.sum())

for reverb in ("dry", "rev"):
    print("orbit 1 kHz, %-9s energy above 6 kHz: smooth %6.1f dB   exact %6.1f dB" %
          ("no reverb" if reverb == "dry" else "reverb", above_6k("smooth-%s.wav" % reverb),
           above_6k("exact-%s.wav" % reverb)))

delay = int(np.argmax(np.abs(load("click-out.wav")[:, 0]) > 0))
c = 10.0 * 48000 / delay
v = 10.0
expected = 1000 * c / (c + v)
fl = load("doppler-out.wav")[:, 0]
i = np.nonzero((fl[:-1] < 0) & (fl[1:] >= 0))[0]
t = i + fl[i] / (fl[i] - fl[i + 1])
t = t[(t > 0.2 * 48000) & (t < 0.95 * 48000)]
f = 48000 / np.diff(t)
print("Doppler 10 m/s (c = %.2f m/s from a %d-sample travel time): expected %.3f Hz, mean %.3f Hz, "
      "worst period %.3f%% off" % (c, delay, expected, f.mean(), 100 * np.max(np.abs(f / expected - 1))))
EOF
echo "orbit render with --block 64 and --block 4096: $blocks"
if [ -x "$TESTS" ]; then
    "$TESTS" --gtest_filter='SmoothMode.RoomSizeSweepStaysClean:SmoothMode.CutoffSweepHasNoStep' |
        grep -E '^(room-size|LFE cut-off)'
fi
