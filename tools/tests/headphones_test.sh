#!/usr/bin/env bash
# halvane render/demo/plot --headphones as a person runs them. Usage: headphones_test.sh PATH/TO/halvane
# Needs sox and ffprobe; the parts that need libmysofa's default KEMAR set are skipped, with the
# reason, where it is missing.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
start_test halvane-headphones sox soxi ffprobe awk
frames() { soxi -s "$1" 2>/dev/null; }
# onset FILE CHANNEL: first frame whose sample reaches a tenth of the channel's peak.
onset() {
    sox "$1" -t dat - 2>/dev/null | awk -v c="$(($2 + 1))" '!/^;/ {v = $(c + 1); v = v < 0 ? -v : v; a[n++] = v;
        if (v > m) m = v} END {for (i = 0; i < n; i++) if (a[i] >= m / 10) {print i; exit}}'
}
# energy FILE CHANNEL: sum of squares of the channel's samples.
energy() {
    sox "$1" -t dat - 2>/dev/null | awk -v c="$(($2 + 1))" '!/^;/ {e += $(c + 1) * $(c + 1)} END {printf "%.9f\n", e}'
}

sox -n -r 48000 -c 2 stereo.wav synth 0.3 pinknoise gain -12
sox -n -r 44100 -c 1 mono.wav synth 0.3 sine 300 gain -6
# A 0.5 ms burst 50 ms in: the click.
sox -n -r 48000 -c 1 click.wav synth 0.0005 sine 3000 pad 0.05 0.25

# Errors that need no HRIRs.
expect 2 "--hrtf without --headphones" -- "$H" render stereo.wav o.wav --hrtf x.sofa
says "add --headphones"
expect 2 "--remap with --headphones" -- "$H" render stereo.wav o.wav --headphones --remap FL=1
absent o.wav
echo "this is not a SOFA file" >bad.sofa
expect 1 "unreadable SOFA file" -- "$H" render stereo.wav o.wav --headphones --hrtf bad.sofa --plot o.svg
says "bad.sofa"
says "not a SOFA file"
absent o.wav
absent o.svg
expect 1 "missing SOFA file" -- "$H" render stereo.wav o.wav --headphones --hrtf missing.sofa
says "missing.sofa: No such file"
absent o.wav
[ -z "$(find . -name '.*.halvane-*')" ] && ok || bad "temporary files left"

if [ ! -r /usr/share/libmysofa/default.sofa ]; then
    echo "SKIPPED: libmysofa's default KEMAR set /usr/share/libmysofa/default.sofa is missing (install libmysofa1)"
else
    # Every layout, for headphones: two channels that ffprobe calls stereo, as long as the input
    # (--tail 0: the ears line up with it sample for sample).
    for layout in stereo quad 5.1 7.1-wide 4.1 6.1 7.1; do
        expect 0 "--headphones --layout $layout" -- "$H" render -q --tail 0 mono.wav "hp-$layout.flac" --headphones \
            --layout "$layout"
        [ "$(probe "hp-$layout.flac")" = "2,stereo" ] && ok || bad "$layout: $(probe "hp-$layout.flac")"
        [ "$(frames "hp-$layout.flac")" = "$(frames mono.wav)" ] && ok || bad "$layout: frames differ"
    done
    # Moving sources and parallel renders; each stream has its own stage.
    printf '0 0.5 0.5\n0.3 2.5 2.5\n' >path.txt
    expect 0 "--headphones --path" -- "$H" render -q stereo.wav path.wav --headphones --path path.txt
    expect 0 "--headphones --orbit" -- "$H" render -q stereo.wav orbit.wav --headphones --orbit 1,0.2
    [ "$(probe orbit.wav)" = "2,stereo" ] && ok || bad "orbit: $(probe orbit.wav)"
    mkdir out && cp stereo.wav a.wav && cp mono.wav b.wav
    expect 0 "--headphones -j 2" -- "$H" render -q -j 2 a.wav b.wav -o out --headphones
    "$H" render -q a.wav single-a.wav --headphones --threads 1 && cmp -s out/a.wav single-a.wav && ok ||
        bad "parallel headphone render differs from a single one"
    for t in 2 3; do
        "$H" render -q a.wav "threads$t-a.wav" --headphones --threads $t && cmp -s "threads$t-a.wav" single-a.wav &&
            ok || bad "the headphone render on $t threads differs from the single-threaded one"
    done

    # A click in the front-left corner: earlier and louder on the left, and no later in the ears
    # than on the FL speaker (the stage's latency is taken off) but for the HRIRs' own onset.
    "$H" render -q click.wav corner.wav --headphones --source 0,0 --no-reverb
    "$H" render -q click.wav corner51.wav --source 0,0 --no-reverb
    l=$(onset corner.wav 0) r=$(onset corner.wav 1) fl=$(onset corner51.wav 0)
    [ "$l" -lt "$r" ] && ok || bad "click reaches the left ear at $l, the right at $r"
    [ "$l" -ge "$fl" ] && [ "$l" -le $((fl + 96)) ] && ok || bad "left ear onset $l vs FL speaker onset $fl"
    awk -v a="$(energy corner.wav 0)" -v b="$(energy corner.wav 1)" 'BEGIN {exit !(a > 2 * b)}' && ok ||
        bad "left ear not louder: $(energy corner.wav 0) vs $(energy corner.wav 1)"

    # A speaker file straight to the ears: the stage alone, as long as its input.
    expect 0 "headphones on a 5.1 file" -- "$H" headphones -q corner51.wav ears51.wav
    [ "$(probe ears51.wav)" = "2,stereo" ] && ok || bad "headphones: $(probe ears51.wav)"
    [ "$(frames ears51.wav)" = "$(frames corner51.wav)" ] && ok || bad "headphones: frames differ"
    sox -n -r 48000 -c 3 three.wav synth 0.1 sine 100
    expect 2 "headphones on a 3-channel file" -- "$H" headphones -q three.wav x.wav
    says "no layout has 3 channels"
    # A centred source feeds every speaker alike. A listener near the left wall has more of them on
    # the right: the right ear is louder; near the right wall the left one is.
    sox -n -r 48000 -c 1 noise.wav synth 0.3 whitenoise gain -12
    for at in 0.3,1.5 2.7,1.5; do
        "$H" render -q noise.wav "at-$at.wav" --headphones --no-reverb --tail 0 --listener "$at"
    done
    awk -v l="$(energy at-0.3,1.5.wav 0)" -v r="$(energy at-0.3,1.5.wav 1)" 'BEGIN {exit !(r > 1.5 * l)}' &&
        ok || bad "listener near the left wall: left $(energy at-0.3,1.5.wav 0), right $(energy at-0.3,1.5.wav 1)"
    awk -v l="$(energy at-2.7,1.5.wav 0)" -v r="$(energy at-2.7,1.5.wav 1)" 'BEGIN {exit !(l > 1.5 * r)}' &&
        ok || bad "listener near the right wall: left $(energy at-2.7,1.5.wav 0), right $(energy at-2.7,1.5.wav 1)"
    expect 1 "listener outside the room" -- "$H" render -q noise.wav o.wav --headphones --listener 3.5,1
    says "not inside the 3 x 3 m room"
    absent o.wav
    expect 2 "--listener without --headphones" -- "$H" render -q noise.wav o.wav --listener 1,1
    says "add --headphones"
    expect 0 "demo --headphones" -- "$H" demo -q demo.wav --headphones
    [ "$(probe demo.wav)" = "2,stereo" ] && ok || bad "demo: $(probe demo.wav)"
    expect 0 "plot --headphones" -- "$H" plot --headphones -o plot.svg
    grep -q '45.0&#176;' plot.svg && grep -q 'listener' plot.svg && ok || bad "plot shows no listener angles"
fi

echo "headphones: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
