#!/usr/bin/env bash
# The LV2 bundle in a real PipeWire graph, set up exactly as docs/lv2.md tells users to.
#   pipewire-test.sh BUILD_DIR [DOC]
# For every filter-chain block of the doc marked "<!-- pipewire-test NAME: ... -->" (NAME a layout,
# or headphones), in a fresh temporary folder:
#   - a private D-Bus session (dbus-run-session), PipeWire daemon and WirePlumber, with
#     XDG_RUNTIME_DIR, XDG_CONFIG_HOME and WirePlumber's state in the folder and LV2_PATH at the
#     build's bundle in the daemon's environment;
#   - a null sink with the layout's channel positions stands in for the sound card; the doc's block
#     goes into pipewire.conf.d as it stands, except that its commented target.object names that sink;
#   - pw-play plays 16-bit noise into the filter's sink, pw-record records the null sink's monitor,
#     and `halvane render` renders the same file with the block's controls (with --headphones for
#     the headphone plugin, on a stereo sink).
# Alignment: the recording starts before the input reaches the filter, so it leads with silence of
# a length that depends on scheduling. The first non-zero frame of the recording is matched with the
# first non-zero frame of the render (the noise's first sample is never zero), and from there every
# sample up to the end of the render, which ends with the input, must be identical.
# Headphones: the plugin's binaural stage runs 256-sample partitions and the renderer longer ones,
# whose FFTs round differently, and the FFT rounding leaves tiny values ahead of the sound, so no
# first non-zero frame marks the start. The render must be found whole in the recording within
# 1e-5 of its peak, at the best of a few offsets around where both pass a thousandth of their peaks
# (the plugin's latency, which the renderer takes off, only moves the start).
# A client that misses a cycle under load makes PipeWire play silence in its place, and from there
# on the recording differs (the reverb remembers). The daemon logs some of these misses ("client
# too slow"), not all, so a run that differs is repeated, ATTEMPTS runs at most; a fault in the
# plugin or the doc differs in every run.
# Every process it starts is ended by its id on every way out, and the folder is removed.
# Exit 0 = pass, anything else = fail, also when PipeWire cannot run here.
set -euo pipefail

RATE=48000
# The graph's period, fixed: the filter runs once per quantum. A long one leaves every client time
# to run on a busy machine (at a load of 14 on two cores, 1024 frames missed a cycle in most runs,
# 4096 in few).
QUANTUM=4096
FRAMES=$((24 * QUANTUM)) # about two seconds of input, in whole quanta: pw-play 0.3.65 plays a
                         # last partial quantum as silence
ATTEMPTS=4
START_WAIT=20  # seconds to wait for the graph to come up
SINK=halvane_test_sink
EARS_TOLERANCE=1e-5

fail() {
    echo "pipewire-test: FAILED: $*" >&2
    exit 1
}

# ---- inside the D-Bus session: one daemon, one recording ----
# graph DIR LV2_DIR CHANNELS POSITIONS FILTER_SINK FILTER_OUT: DIR holds config/ and input.wav; the
# session's folders, logs and recording go to DIR/session.
# shellcheck disable=SC2317 # the trap and wait_for call the functions
if [ "${1:-}" = graph ]; then
    dir=$2 lv2dir=$3 channels=$4 positions=$5 FILTER_SINK=$6 FILTER_OUT=$7 work=$2/session
    pids=()
    stop() {
        local pid
        for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
        for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
        pids=()
    }
    trap stop EXIT
    trap 'exit 1' INT TERM
    export XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$dir/config XDG_STATE_HOME=$work/state
    export XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache HOME=$work/home
    mkdir -p "$XDG_RUNTIME_DIR" "$XDG_STATE_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$HOME"
    chmod 700 "$XDG_RUNTIME_DIR"
    # Waits until the command succeeds, while every process started so far runs, for at most
    # START_WAIT seconds.
    wait_for() { # WHAT COMMAND...
        local what=$1 deadline=$((SECONDS + START_WAIT)) pid
        shift
        while [ "$SECONDS" -lt "$deadline" ]; do
            for pid in "${pids[@]}"; do
                kill -0 "$pid" 2>/dev/null || fail "a PipeWire process ended while waiting for $what"
            done
            # The doc's blocks are nofail: the daemon runs on without a plugin it cannot load.
            if grep "can't load" "$work/pipewire.log" >&2; then fail "PipeWire cannot load the filter"; fi
            "$@" && return 0
            sleep 0.1
        done
        fail "no $what within $START_WAIT s"
    }
    # A link from a port of node $1 to a port of node $2 in `pw-link -l`.
    linked() {
        pw-link -l 2>/dev/null | awk -v a="$1:" -v b="$2:" '
            index($1, a) == 1 { out = 1; next }
            out && $1 == "|->" && index($2, b) == 1 { found = 1 }
            $1 != "|->" && $1 != "|<-" { out = 0 }
            END { exit !found }'
    }

    # Only the daemon, which loads the plugin, needs LV2_PATH.
    # At log level 3 the daemon reports each cycle a client missed ("client too slow").
    PIPEWIRE_DEBUG=3 LV2_PATH=$lv2dir pipewire >"$work/pipewire.log" 2>&1 &
    pids+=($!)
    wait_for "PipeWire socket" test -S "$XDG_RUNTIME_DIR/pipewire-0"
    wireplumber >"$work/wireplumber.log" 2>&1 &
    pids+=($!)
    wait_for "link from the filter to the sink" linked "$FILTER_OUT" "$SINK"
    pw-record --target "$SINK" -P stream.capture.sink=true -P node.name=halvane_test_record \
        --rate "$RATE" --channels "$channels" --channel-map "$positions" --format f32 \
        "$work/recording.wav" 2>"$work/record.log" &
    record=$!
    pids+=("$record")
    wait_for "link from the sink to the recorder" linked "$SINK" halvane_test_record
    logged=$(wc -l <"$work/pipewire.log")
    pw-play --target "$FILTER_SINK" "$dir/input.wav" 2>"$work/play.log" &
    play=$!
    pids+=("$play")
    wait "$play" || fail "pw-play failed: $(cat "$work/play.log")"
    # The last quanta leave the filter and reach the recorder one or two periods later.
    sleep 0.3
    kill -INT "$record"
    wait "$record" || true
    # The cycles missed while the input played (one at the recorder's start is harmless).
    tail -n +$((logged + 1)) "$work/pipewire.log" | grep -E 'client too slow|XRun' >"$work/missed.log" || true
    pids=("${pids[@]:0:2}")
    exit 0
fi

# ---- outside: set up, run the session, compare ----
build=$(cd "${1:?usage: pipewire-test.sh BUILD_DIR [DOC]}" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
self=$here/$(basename "${BASH_SOURCE[0]}")
doc=${2:-$here/../../../docs/lv2.md}
halvane=$build/tools/halvane
wavtool=$build/plugins/lv2/tests/halvane_lv2_wavtool
lv2dir=$build/lv2
for tool in dbus-run-session pipewire wireplumber pw-play pw-record pw-link; do
    command -v "$tool" >/dev/null 2>&1 ||
        fail "$tool is not installed (Debian: pipewire pipewire-bin wireplumber dbus; make pipewire-test installs them)"
done
for file in "$halvane" "$wavtool" "$lv2dir/halvane.lv2/manifest.ttl"; do
    [ -e "$file" ] || fail "$file is missing; build first (make build)"
done

started=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/halvane-pipewire.XXXXXX")
session=""
cleanup() {
    local status=$?
    if [ -n "$session" ]; then
        # dbus-run-session's children are the bus and this script, which ends its daemons on
        # TERM; they are waited for (5 s at most), then dbus-run-session is ended.
        local children pid
        children=$(pgrep -P "$session" || true)
        for pid in $children; do kill "$pid" 2>/dev/null || true; done
        for pid in $children; do
            for _ in $(seq 50); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.1
            done
        done
        kill "$session" 2>/dev/null || true
        wait "$session" 2>/dev/null || true
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The block of the doc marked for LAYOUT, without its fence.
extract() {
    awk -v mark="<!-- pipewire-test $1:" '
        index($0, mark) == 1 { armed = 1; next }
        armed && /^```/ { if (inside) exit; inside = 1; next }
        inside { print }' "$doc"
}

# The renderer's options for the block's `control = { ... }` entries.
render_options() {
    awk '/control *= *\{/ { on = 1; next } on && /\}/ { exit }
        on { gsub(/[" ]/, ""); print }' "$1" | {
        local -A v=()
        while IFS='=' read -r symbol value; do v[$symbol]=$value; done
        if [ -z "${v[source_x]:-}" ] || [ -z "${v[source_y]:-}" ]; then
            fail "the doc's block must set source_x and source_y: the renderer centres an unset source, the plugin does not"
        fi
        local options="--room ${v[room_width]:-3}x${v[room_depth]:-3} --source ${v[source_x]},${v[source_y]}"
        [ -z "${v[layout]:-}" ] || options+=" --layout ${v[layout]}"
        unset 'v[room_width]' 'v[room_depth]' 'v[source_x]' 'v[source_y]' 'v[layout]'
        local symbol
        for symbol in "${!v[@]}"; do
            case $symbol in
            volume | lfe_volume | lfe_cutoff | reverb_wet | reverb_dry | absorb | hf_decay)
                options+=" --${symbol//_/-} ${v[$symbol]}" ;;
            *) fail "the test does not know the renderer's option for control $symbol" ;;
            esac
        done
        echo "$options"
    }
}

# The node.name of the block's capture.props (the filter's sink) or playback.props (its output).
node_name() { # CONF capture|playback
    awk -v props="$2.props" '$1 == props { on = 1 } on && $1 == "node.name" { gsub(/"/, "", $3); print $3; exit }' "$1"
}

# Runs the doc's block marked $1 (a layout, or headphones) and compares.
run_layout() {
    local layout=$1 dir=$work/$1
    mkdir -p "$dir/config/pipewire/pipewire.conf.d"
    local conf=$dir/config/pipewire/pipewire.conf.d/halvane-upmix.conf
    extract "$layout" >"$conf"
    [ -s "$conf" ] || fail "$doc has no block marked <!-- pipewire-test $layout: ... -->"
    grep -q '#target.object' "$conf" || fail "the doc's $layout block has no commented target.object"
    sed -i "s|#target.object *= *\"[^\"]*\"|target.object = \"$SINK\"|" "$conf"
    local positions channels
    positions=$(awk '/playback.props/ { on = 1 } on && /audio.position/ { sub(/.*\[ */, ""); sub(/ *\].*/, ""); print; exit }' "$conf")
    channels=$(wc -w <<<"$positions")
    [ "$channels" -ge 2 ] || fail "no output positions in the doc's $layout block"
    local filter_sink filter_out
    filter_sink=$(node_name "$conf" capture)
    filter_out=$(node_name "$conf" playback)
    [ -n "$filter_sink" ] && [ -n "$filter_out" ] || fail "the doc's $layout block names no capture or playback node"
    cat >"$dir/config/pipewire/pipewire.conf.d/00-test-sink.conf" <<EOF
context.properties = {
    default.clock.rate          = $RATE
    default.clock.quantum       = $QUANTUM
    default.clock.min-quantum   = $QUANTUM
    default.clock.max-quantum   = $QUANTUM
}
context.objects = [
    {   factory = adapter
        args = {
            factory.name   = support.null-audio-sink
            node.name      = $SINK
            media.class    = Audio/Sink
            audio.rate     = $RATE
            audio.channels = $channels
            audio.position = [ $positions ]
        }
    }
]
EOF
    "$wavtool" noise16 "$dir/input.wav" 2 "$FRAMES" "$RATE" 7 >/dev/null
    local options compare=(aligned)
    options=$(render_options "$conf")
    if grep -q 'plugin *= *"urn:halvane:lv2:headphones' "$conf"; then
        options+=" --headphones"
        compare=(near "$EARS_TOLERANCE")
    else
        options+=" --layout $layout"
    fi
    # shellcheck disable=SC2086
    "$halvane" render -q "$dir/input.wav" "$dir/render.wav" --tail 0 $options

    local attempt
    for attempt in $(seq "$ATTEMPTS"); do
        [ "$attempt" -eq 1 ] || echo "-- run $attempt of $ATTEMPTS: a busy machine can make the graph miss a cycle"
        rm -rf "$dir/session"
        mkdir -p "$dir/session"
        local t0=$SECONDS status=0
        dbus-run-session -- "$self" graph "$dir" "$lv2dir" "$channels" "${positions// /,}" "$filter_sink" \
            "$filter_out" 2>"$dir/session/session.log" &
        session=$!
        wait "$session" || status=$?
        session=""
        if [ "$status" -ne 0 ]; then
            for log in session pipewire wireplumber record play; do
                [ -s "$dir/session/$log.log" ] && { echo "--- $log.log"; tail -n 20 "$dir/session/$log.log"; }
            done
            fail "the $layout graph did not run (PipeWire cannot run here?)"
        fi
        echo "== $layout ($channels channels, $options): graph ran for $((SECONDS - t0)) s"
        "$wavtool" "${compare[0]}" "$dir/session/recording.wav" "$dir/render.wav" "${compare[@]:1}" && return 0
        cat "$dir/session/missed.log"
    done
    fail "$layout: the recording differs from halvane render in all $ATTEMPTS runs"
}

run_layout 5.1
run_layout 7.1
run_layout headphones
echo "pipewire-test: PASSED in $((SECONDS - started)) s"
