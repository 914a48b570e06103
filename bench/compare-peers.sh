#!/usr/bin/env bash
# Renders one 60-second 48 kHz stereo file to 5.1 with `halvane render` and with the closest tools
# from the distribution (sox: remix to six channels plus reverb on each; ffmpeg: the surround upmix
# filter), several runs each, interleaved so that a change in machine load hits every tool alike.
# halvane_t1 is the same render on one thread (--threads 1), which shows what the threads bring;
# halvane_t3 adds the library's worker thread (the reverb on two threads) to the reading and
# writing threads (--threads 3), which on two cores shows what that worker costs or brings.
# Prints the median wall-clock and CPU (user + system) time of each tool and its ratio to halvane's.
# Then headphones, against ffmpeg's sofalizer (type=freq, the same SOFA file): sofalizer takes the
# 5.1 file halvane made; `halvane headphones` takes the same file through the binaural stage alone;
# `halvane render --headphones` takes the stereo original all the way to the ears.
#
#   bench/compare-peers.sh [RUNS]        (default 5; HALVANE=path/to/halvane to pick a binary)
set -euo pipefail

RUNS=${1:-5}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
HALVANE=${HALVANE:-$ROOT/build/tools/halvane}
for tool in sox ffmpeg "$HALVANE"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "compare-peers: $tool not found (build halvane with 'make build'; sox and ffmpeg come from the distribution)" >&2
        exit 1
    fi
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
IN=$WORK/in.wav
sox -n -r 48000 -c 2 -b 16 "$IN" synth 60 pinknoise pinknoise vol 0.5

run_halvane() { "$HALVANE" render "$IN" "$WORK/halvane.wav" --layout 5.1 -f -q; }
run_halvane_t1() { "$HALVANE" render "$IN" "$WORK/halvane1.wav" --layout 5.1 -f -q --threads 1; }
run_halvane_t3() { "$HALVANE" render "$IN" "$WORK/halvane3.wav" --layout 5.1 -f -q --threads 3; }
run_sox() { sox -V1 "$IN" -e floating-point -b 32 "$WORK/sox.wav" remix 1 2 1,2 1,2 1 2 reverb; }
run_ffmpeg() { ffmpeg -nostdin -v error -y -i "$IN" -af surround=chl_out=5.1 -c:a pcm_f32le "$WORK/ffmpeg.wav"; }
TOOLS=(halvane halvane_t1 halvane_t3 sox ffmpeg)
SOFA=${SOFA:-/usr/share/libmysofa/default.sofa}
run_sofalizer() {
    ffmpeg -nostdin -v error -y -i "$WORK/halvane.wav" -af "sofalizer=sofa=$SOFA:type=freq" -c:a pcm_f32le \
        "$WORK/sofalizer.wav"
}
run_stage() { "$HALVANE" headphones "$WORK/halvane.wav" "$WORK/stage.wav" --hrtf "$SOFA" -f -q; }
run_chain() { "$HALVANE" render "$IN" "$WORK/chain.wav" --headphones --hrtf "$SOFA" -f -q; }
FILTERS=$(ffmpeg -hide_banner -filters 2>/dev/null || true)
if [ -r "$SOFA" ] && grep -q ' sofalizer ' <<<"$FILTERS"; then
    TOOLS+=(sofalizer stage chain) # after halvane, whose 5.1 file the first two read
else
    echo "compare-peers: no $SOFA or no sofalizer in ffmpeg; the headphone comparison is skipped" >&2
fi

# One timed run: appends "wall cpu" to the tool's list.
declare -A WALL CPU
time_one() {
    local name=$1 out
    out=$( { TIMEFORMAT='%R %U %S'; time "run_$name" >/dev/null 2>&1; } 2>&1 )
    read -r wall user sys <<<"$out"
    WALL[$name]+="$wall "
    CPU[$name]+="$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') "
}

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

# Table rows: REF (whose medians the ratios use), OVER (1: the tool's time over REF's; 0: REF's
# over the tool's), then the tools.
rows() {
    local ref=$1 over=$2 tool
    shift 2
    for tool in "$@"; do
        awk -v t="$tool" -v w="$(echo "${WALL[$tool]}" | median)" -v c="$(echo "${CPU[$tool]}" | median)" \
            -v rw="$(echo "${WALL[$ref]}" | median)" -v rc="$(echo "${CPU[$ref]}" | median)" -v over="$over" \
            'BEGIN { printf "%-11s %9.3f %9.3f %12.1f %13.2fx %12.2fx\n", t, w, c, 60 / w,
                     over ? w / rw : rw / w, over ? c / rc : rc / c }'
    done
}

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo "?")
for tool in "${TOOLS[@]}"; do "run_$tool" >/dev/null 2>&1; done # warm the caches once
for ((r = 1; r <= RUNS; r++)); do
    for tool in "${TOOLS[@]}"; do time_one "$tool"; done
done

LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo "?")
printf '60 s of 48 kHz stereo to 5.1, median of %d runs (load average %s before, %s after, on %s cores)\n' \
    "$RUNS" "$LOAD_BEFORE" "$LOAD_AFTER" "$(nproc 2>/dev/null || echo "?")"
printf '%-11s %9s %9s %12s %14s %13s\n' tool wall_s cpu_s x_realtime wall_vs_halv cpu_vs_halv
HW=$(echo "${WALL[halvane]}" | median)
rows halvane 1 halvane halvane_t1 halvane_t3 sox ffmpeg
echo "(ratios: the tool's time over halvane's; above 1 means halvane is faster)"
render_verdict() { # TOOL TARGET: halvane's wall-time lead over TOOL
    awk -v t="$1" -v w="$(echo "${WALL[$1]}" | median)" -v hw="$HW" -v goal="$2" 'BEGIN {
        printf "halvane vs %s: %.2fx in wall time; target %gx (%s)\n", t, w / hw, goal, (w / hw >= goal ? "met" : "NOT met") }'
}
render_verdict halvane_t1 1.5
render_verdict sox 2.5
render_verdict ffmpeg 4

[ -n "${WALL[sofalizer]:-}" ] || exit 0
echo
printf 'Headphones, same runs: sofalizer = ffmpeg sofalizer (type=freq) on the 5.1 file;\n'
printf 'stage = halvane headphones on the same 5.1 file; chain = halvane render --headphones from the stereo file\n'
printf '%-11s %9s %9s %12s %14s %13s\n' tool wall_s cpu_s x_realtime sofal_wall_x sofal_cpu_x
SW=$(echo "${WALL[sofalizer]}" | median)
SC=$(echo "${CPU[sofalizer]}" | median)
rows sofalizer 0 sofalizer stage chain
echo "(sofalizer's time over the tool's; targets: stage at least 4x, chain above 1x)"
verdict() { # TOOL TARGET
    local w c
    w=$(echo "${WALL[$1]}" | median)
    c=$(echo "${CPU[$1]}" | median)
    awk -v t="$1" -v w="$w" -v c="$c" -v sw="$SW" -v sc="$SC" -v goal="$2" 'BEGIN {
        cx = sc / c; wx = sw / w
        printf "%s: %.2fx faster than sofalizer in CPU time (%s), %.2fx in wall time (%s); target %gx\n",
            t, cx, (cx >= goal ? "met" : "NOT met"), wx, (wx >= goal ? "met" : "NOT met"), goal }'
}
verdict stage 4
verdict chain 1
