#!/usr/bin/env bash
# Host tests of the LV2 bundle. Exit 0 = pass, 77 = skipped (a tool is missing), anything else = fail.
#   lv2-host-test.sh validate BUNDLE
#   lv2-host-test.sh install  BUILD_DIR LIBDIR WORK_DIR WAVTOOL
#   lv2-host-test.sh apply    LV2_DIR WORK_DIR WAVTOOL HALVANE
#   lv2-host-test.sh ffmpeg   LV2_DIR WORK_DIR WAVTOOL HALVANE
set -euo pipefail

skip() {
    echo "SKIPPED: $*"
    exit 77
}
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
need() {
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
    done
}

URI=urn:halvane:lv2
LAYOUTS=(stereo quad 5.1 7.1-wide 4.1 6.1 7.1)
RATE=48000
FRAMES=30000 # crosses several 4096-sample graph blocks

# Parameter sets: lv2 controls (SYMBOL=VALUE ...) and the renderer's options for the same settings.
# The renderer centres the source in the room unless told, so every set names the source.
CASES=(
    "5.1|2|source_x=1.5 source_y=1.5|--source 1.5,1.5"
    "5.1|2|room_width=4 room_depth=5 source_x=1 source_y=3.5 volume=0.8 lfe_volume=0.7 lfe_cutoff=120 highpass=1 highpass_freq=90 reverb_wet=1.2 reverb_dry=0.3 absorb=0.2 hf_decay=0.3 corner_crossfeed=1 volume_bl=0.5 invert_right=1 clamp=1|--room 4x5 --source 1,3.5 --volume 0.8 --lfe-volume 0.7 --lfe-cutoff 120 --highpass 90 --reverb-wet 1.2 --reverb-dry 0.3 --absorb 0.2 --hf-decay 0.3 --corner-crossfeed --speaker-volume BL=0.5 --invert-right --clamp"
    "7.1|1|room_width=6 room_depth=4 source_x=0.5 source_y=0.2 propagation_delay=0 reverb=0 volume_sl=0.25|--room 6x4 --source 0.5,0.2 --no-propagation-delay --no-reverb --speaker-volume SL=0.25"
    "quad|2|source_x=2.5 source_y=0.5 corner_crossfeed=1|--source 2.5,0.5 --corner-crossfeed"
    "4.1|1|source_x=2 source_y=1 exact=1|--source 2,1 --exact"
)

plugin_uri() { # LAYOUT INPUTS
    if [ "$2" = 1 ]; then echo "$URI:$1-mono"; else echo "$URI:$1"; fi
}

case "${1:-}" in
validate)
    need lv2_validate sord_validate
    bundle=$2
    out=$(lv2_validate "$bundle/manifest.ttl" "$bundle/halvane.ttl" "$bundle/presets.ttl" 2>&1) || fail "lv2_validate: $out"
    echo "$out" | grep -v '^Skipping file'
    echo "$out" | grep -q 'Found 0 errors' || fail "lv2_validate reported errors"
    if echo "$out" | grep -iq 'warning'; then fail "lv2_validate reported warnings"; fi
    ;;

install)
    need lv2ls lv2info lv2apply
    build=$2 libdir=$3 work=$4 wavtool=$5
    rm -rf "$work" && mkdir -p "$work"
    # Only the bundle: it must work without the rest of the installation beside it.
    cmake -DCMAKE_INSTALL_PREFIX="$work/prefix" -P "$build/plugins/lv2/cmake_install.cmake" >"$work/install.log"
    lv2dir="$work/prefix/$libdir/lv2"
    [ -f "$lv2dir/halvane.lv2/manifest.ttl" ] || fail "no bundle in $lv2dir"
    export LV2_PATH="$lv2dir"
    listed=$(lv2ls)
    echo "$listed"
    for layout in "${LAYOUTS[@]}"; do
        for inputs in 2 1; do
            grep -qx "$(plugin_uri "$layout" "$inputs")" <<<"$listed" ||
                fail "lv2ls does not list $(plugin_uri "$layout" "$inputs")"
        done
    done
    for ears in headphones headphones-mono; do
        grep -qx "$URI:$ears" <<<"$listed" || fail "lv2ls does not list $URI:$ears"
    done
    [ "$(wc -l <<<"$listed")" -eq 16 ] || fail "expected 16 plugins (14 speaker layouts, 2 headphones)"
    # Every output port sits in the speaker group with its speaker's designation.
    check_groups() { # LAYOUT DESIGNATION...
        local info
        info=$(lv2info "$URI:$1")
        shift
        local outputs
        outputs=$(grep -c "Group: *$URI:.*#out" <<<"$info" || true)
        [ "$outputs" -eq "$#" ] || fail "$outputs ports in the output group, expected $#"
        grep -q "Group: *$URI:.*#in" <<<"$info" || fail "no input group"
        for designation in "$@"; do
            grep -q "Designation: *http://lv2plug.in/ns/ext/port-groups#$designation\$" <<<"$info" ||
                fail "no port designated $designation"
        done
    }
    check_groups 5.1 left right center lowFrequencyEffects rearLeft rearRight
    check_groups 7.1 left right center lowFrequencyEffects rearLeft rearRight sideLeft sideRight
    check_groups 7.1-wide left right center lowFrequencyEffects rearLeft rearRight centerLeft centerRight
    check_groups 6.1 left right center lowFrequencyEffects rearLeft rearRight rearCenter
    lv2info "$URI:5.1" | grep -A8 'Port 2:'
    # Every plugin offers the room presets (lv2:Preset resources of presets.ttl).
    for uri in "$URI:5.1" "$URI:stereo-mono"; do
        presets=$(lv2info "$uri" | sed -n '/Presets:/,/^$/p')
        echo "$presets"
        [ "$(grep -c '[a-z]' <<<"$presets")" -ge 6 ] || fail "lv2info lists fewer than five presets for $uri"
        grep -qx '[[:space:]]*Hall' <<<"$presets" || fail "lv2info lists no Hall preset for $uri"
    done
    # The installed module loads and runs on its own.
    "$wavtool" noise "$work/in.wav" 2 4800 "$RATE" 3
    lv2apply -i "$work/in.wav" -o "$work/out.wav" "$URI:5.1" || fail "lv2apply on the installed bundle"
    ;;

apply | ffmpeg)
    lv2dir=$2 work=$3 wavtool=$4 halvane=${5:-}
    [ -n "$halvane" ] && [ -x "$halvane" ] || skip "the halvane renderer is not built"
    if [ "$1" = apply ]; then
        need lv2apply
    else
        need ffmpeg
        filters=$(ffmpeg -hide_banner -filters 2>/dev/null || true)
        grep -Eq '^ *[.A-Z|]+ +lv2 ' <<<"$filters" || skip "this ffmpeg has no lv2 filter"
    fi
    rm -rf "$work" && mkdir -p "$work"
    export LV2_PATH="$lv2dir"
    host() { # MODE IN OUT URI CONTROLS...
        local mode=$1 in=$2 out=$3 uri=$4
        shift 4
        if [ "$mode" = apply ]; then
            local args=()
            for control in "$@"; do args+=(-c "${control%%=*}" "${control#*=}"); done
            lv2apply -i "$in" -o "$out" "${args[@]}" "$uri"
        else
            local escaped=${uri//:/\\\\:} controls
            controls=$(
                IFS='|'
                echo "$*"
            )
            ffmpeg -nostdin -hide_banner -loglevel error -y -i "$in" \
                -af "lv2=p=$escaped${controls:+:c=$controls}" -c:a pcm_f32le "$out"
        fi
    }
    n=0
    for case in "${CASES[@]}"; do
        IFS='|' read -r layout inputs controls options <<<"$case"
        n=$((n + 1))
        uri=$(plugin_uri "$layout" "$inputs")
        echo "== $uri $controls"
        "$wavtool" noise "$work/in$n.wav" "$inputs" "$FRAMES" "$RATE" "$n"
        # shellcheck disable=SC2086
        host "$1" "$work/in$n.wav" "$work/host$n.wav" "$uri" $controls
        # shellcheck disable=SC2086
        "$halvane" render -q -f "$work/in$n.wav" "$work/render$n.wav" --layout "$layout" --tail 0 $options
        "$wavtool" compare "$work/host$n.wav" "$work/render$n.wav" || fail "$uri differs from the render"
    done
    # A preset of the bundle sets the same values as the renderer's --preset.
    if [ "$1" = apply ]; then
        for preset in hall front-stage; do
            echo "== preset $preset"
            controls=$(awk -v uri="<$URI:5.1#preset-$preset>" '
                $0 == uri { on = 1 } on && /lv2:symbol/ { gsub(/[";]/, "", $2); symbol = $2 }
                on && /pset:value/ { printf "%s=%s ", symbol, $2 } on && / \.$/ { exit }' \
                "$lv2dir/halvane.lv2/presets.ttl")
            [ -n "$controls" ] || fail "presets.ttl has no preset $preset for 5.1"
            # shellcheck disable=SC2086
            host apply "$work/in1.wav" "$work/host-$preset.wav" "$URI:5.1" $controls
            "$halvane" render -q -f "$work/in1.wav" "$work/render-$preset.wav" --layout 5.1 --tail 0 --preset "$preset"
            "$wavtool" compare "$work/host-$preset.wav" "$work/render-$preset.wav" ||
                fail "the bundle's $preset preset differs from halvane render --preset $preset"
        done
    fi
    # NaN and infinities enter as silence: the host's output equals a render of the cleaned input.
    echo "== non-finite input"
    "$wavtool" noise "$work/bad.wav" 2 "$FRAMES" "$RATE" 99 "$work/clean.wav"
    host "$1" "$work/bad.wav" "$work/host-bad.wav" "$URI:5.1" source_x=1.5 source_y=1.5
    "$halvane" render -q -f "$work/clean.wav" "$work/render-clean.wav" --layout 5.1 --source 1.5,1.5 --tail 0
    "$wavtool" compare "$work/host-bad.wav" "$work/render-clean.wav" || fail "non-finite input"
    if [ "$1" = ffmpeg ]; then
        # The command lines docs/lv2.md gives for ffmpeg, run as written: ffprobe must name each layout.
        echo "== docs/lv2.md"
        docs="$(cd "$(dirname "$0")/../../.." && pwd)/docs/lv2.md"
        need sox ffprobe
        sox -n -r "$RATE" -c 2 "$work/music.flac" synth 0.2 pinknoise gain -12
        commands=$(awk '/^## ffmpeg/ {on = 1; next} /^## / {on = 0} on && /^```sh/ {code = 1; next}
                        /^```/ {code = 0} on && code && !/^#/' "$docs")
        [ -n "$commands" ] || fail "docs/lv2.md has no ffmpeg command lines"
        (cd "$work" && bash -euo pipefail -c "$commands" </dev/null) || fail "the ffmpeg lines of docs/lv2.md"
        while read -r file want; do
            got=$(ffprobe -v error -show_entries stream=channel_layout -of csv=p=0 "$work/$file")
            [ "$got" = "$want" ] || fail "docs/lv2.md: $file is $got, expected $want"
        done <<'LIST'
music-5.1.wav 5.1
out.wav 7.1(wide)
LIST
    fi
    ;;

*)
    echo "usage: $0 validate|install|apply|ffmpeg ..." >&2
    exit 2
    ;;
esac
echo "PASSED"
