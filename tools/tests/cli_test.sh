#!/usr/bin/env bash
# The halvane tool as a person runs it. Usage: cli_test.sh PATH/TO/halvane SECTION
# Sections: errors, layouts, blocks, batch, threads. Needs sox (to make inputs) and ffprobe.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
SECTION="$2"
start_test halvane-cli sox soxi ffprobe
no_temp_files() {
    local left
    left="$(find . -name '*.halvane-part-*' | head -3)"
    if [ -z "$left" ]; then ok; else bad "temporary files left: $left"; fi
}
# soxi warns about the fact chunk of float WAVE_FORMAT_EXTENSIBLE files it reads fine.
info() { soxi "$@" 2>/dev/null; }
same() { if cmp -s "$1" "$2"; then ok; else bad "$1 and $2 differ"; fi; }

sox -n -r 44100 -c 1 mono.wav synth 0.5 sine 300 gain -6
sox -n -r 48000 -c 2 stereo.wav synth 1 pinknoise gain -12
sox -n -r 44100 -c 6 six.wav synth 0.2 sine 200

case "$SECTION" in
errors)
    expect 0 "--version" -- "$H" --version
    grep -q '^halvane [0-9]' out.txt && ok || bad "--version printed $(cat out.txt)"
    for sub in "" render demo layouts plot presets; do
        expect 0 "$sub --help" -- "$H" $sub --help
        grep -q 'Usage' out.txt && ok || bad "$sub --help shows no usage"
    done
    expect 2 "no subcommand" -- "$H"
    expect 2 "unknown option" -- "$H" render mono.wav o.wav --bogus
    expect 2 "three files without -o" -- "$H" render mono.wav a.wav b.wav
    for room in 0x3 3x0 -1x3 nanx3 3xnan infx2 3 abc; do
        expect 2 "--room $room" -- "$H" render mono.wav o.wav --room "$room"
        says "--room"
    done
    expect 2 "NaN volume" -- "$H" render mono.wav o.wav --volume nan
    expect 2 "absorption below 0" -- "$H" render mono.wav o.wav --absorb -0.1
    expect 2 "unknown layout" -- "$H" render mono.wav o.wav --layout 319
    expect 2 "unknown preset" -- "$H" render mono.wav o.wav --preset attic
    says "hall"
    expect 2 "LFE speaker volume" -- "$H" render mono.wav o.wav --speaker-volume LFE=0.5
    expect 2 "speaker not in the layout" -- "$H" render mono.wav o.wav --layout quad --speaker-volume FC=0.5
    expect 2 "remap outside the layout" -- "$H" render mono.wav o.wav --remap FL=6
    expect 2 "high-pass without delays" -- "$H" render mono.wav o.wav --highpass 80 --no-propagation-delay
    expect 2 "orbit with a zero period" -- "$H" render mono.wav o.wav --orbit 1,0
    printf '0 1 1\n2 1\n' >path.txt
    expect 2 "broken path file" -- "$H" render mono.wav o.wav --path path.txt
    says "line 2"
    expect 2 "float FLAC" -- "$H" render mono.wav o.flac --bits float
    expect 2 "FLAC of a layout FLAC cannot name" -- "$H" render mono.wav o.flac --layout 4.1
    expect 2 "unknown output type" -- "$H" render mono.wav o.mp3
    absent o.wav

    expect 1 "missing input" -- "$H" render missing.wav o.wav
    says "missing.wav"
    expect 1 "six channels" -- "$H" render six.wav o.wav
    says "input has 6 channels; halvane renders mono or stereo sources"
    absent o.wav

    cp mono.wav keep.wav
    expect 2 "output is the input" -- "$H" render keep.wav ./keep.wav --force
    same keep.wav mono.wav
    echo "precious" >exists.wav
    expect 1 "existing output" -- "$H" render mono.wav exists.wav
    says "--force"
    grep -q precious exists.wav && ok || bad "existing output was changed"
    expect 0 "existing output with --force" -- "$H" render -q mono.wav exists.wav --force
    [ "$(probe exists.wav)" = "6,5.1" ] && ok || bad "forced output is $(probe exists.wav)"
    # Unreadable inputs, full disks and read-only folders: faults.sh.
    expect 1 "missing output folder" -- "$H" render mono.wav nowhere/o.wav
    no_temp_files
    ;;

layouts)
    expect 0 "layouts" -- "$H" layouts
    for code in 3 51 63 255 271 1595 1599; do
        grep -q "code $code " out.txt && ok || bad "layouts does not list code $code"
    done
    grep -q "ch 6  BC" out.txt && ok || bad "layouts lacks the 6.1 back centre"
    # ffprobe names every layout from the channel mask the file carries.
    while read -r name want; do
        expect 0 "render $name" -- "$H" render -q mono.wav "l-$name.wav" --layout "$name"
        got="$(probe "l-$name.wav")"
        [ "$got" = "$want" ] && ok || bad "$name: ffprobe says $got, expected $want"
    done <<'LIST'
stereo 2,stereo
quad 4,quad
5.1 6,5.1
7.1-wide 8,7.1(wide)
4.1 5,4.1
6.1 7,6.1(back)
7.1 8,7.1
1595 7,6.1(back)
LIST
    expect 0 "16-bit 7.1" -- "$H" render -q stereo.wav b16.wav --layout 7.1 --bits 16
    [ "$(probe b16.wav)" = "8,7.1" ] && ok || bad "16-bit 7.1 is $(probe b16.wav)"
    [ "$(info -b b16.wav)" = 16 ] && ok || bad "16-bit file has $(info -b b16.wav) bits"
    expect 0 "FLAC" -- "$H" render -q stereo.wav f.flac
    [ "$(info -b f.flac)" = 24 ] && [ "$(info -c f.flac)" = 6 ] && ok || bad "FLAC is not 24-bit 6-channel"

    expect 0 "demo" -- "$H" demo -q demo.wav
    [ "$(probe demo.wav)" = "6,5.1" ] && ok || bad "demo is $(probe demo.wav)"
    expect 0 "plot" -- "$H" plot -o room.svg
    for text in "<svg" ">FL<" ">BR<" "gain 0.200 (-14.0 dB)" "delay 6.40 ms (307 smp)" "gain 0.175"; do
        grep -qF "$text" room.svg && ok || bad "room.svg lacks $text"
    done
    expect 0 "plot --lfe-cutoff" -- "$H" plot --lfe-cutoff 77 -o lfe.svg
    grep -qF "bass below 77 Hz" lfe.svg && ok || bad "plot ignores --lfe-cutoff"
    expect 0 "render --plot" -- "$H" render -q mono.wav p.wav --layout 7.1 --plot p.svg
    grep -qF ">SR<" p.svg && ok || bad "the render's picture lacks SR"
    no_temp_files
    ;;

threads)
    # One thread or several (two: a processing thread and one that reads, writes and lends itself
    # to the library; three: separate reading and writing threads and the library's own worker),
    # small or large host blocks: the same bytes, for every layout, with a
    # moving source (gliding, and jumping with --exact), the corner cross-feed, fixed and automatic
    # tails, --normalize, dither and the final stage; -j over several files shares the threads
    # without changing a file.
    for layout in stereo quad 5.1 7.1-wide 4.1 6.1 7.1; do
        for t in 1 2 3; do
            for b in 64 4096; do
                expect 0 "$layout threads $t block $b" -- "$H" render -q -f stereo.wav "t$t-$b.wav" --layout "$layout" \
                    --threads "$t" --block "$b" --orbit 1,0.5 --corner-crossfeed --tail 0.2
            done
        done
        same t1-4096.wav t2-4096.wav
        same t1-4096.wav t3-4096.wav
        same t1-4096.wav t2-64.wav
        same t1-4096.wav t3-64.wav
        same t1-4096.wav t1-64.wav
        cp t1-4096.wav "ref-$layout.wav"
    done
    for t in 1 2; do
        expect 0 "auto tail, normalized, threads $t" -- "$H" render -q -f mono.wav "n$t.wav" --threads "$t" \
            --block 1000 --tail auto --normalize -1 --orbit 1,0.3
    done
    same n1.wav n2.wav
    for t in 1 2; do
        expect 0 "exact mode, threads $t" -- "$H" render -q -f stereo.wav "x$t.wav" --threads "$t" --exact \
            --layout 7.1 --orbit 1,0.5 --corner-crossfeed --tail 0.2
    done
    same x1.wav x2.wav
    expect 0 "16-bit, remapped, clamped" -- "$H" render -q mono.wav d1.wav --threads 1 --bits 16 --remap FL=1 \
        --clamp --invert-right --layout 7.1
    expect 0 "16-bit, remapped, clamped, threads" -- "$H" render -q mono.wav d3.wav --threads 3 --bits 16 \
        --remap FL=1 --clamp --invert-right --layout 7.1
    same d1.wav d3.wav
    mkdir -p batch
    cp stereo.wav a.wav
    cp stereo.wav b.wav
    expect 0 "batch -j 2 --threads 2" -- "$H" render -q a.wav b.wav -o batch -j 2 --threads 2 --layout 5.1 \
        --orbit 1,0.5 --corner-crossfeed --tail 0.2
    same batch/a.wav ref-5.1.wav
    same batch/b.wav ref-5.1.wav
    expect 2 "--threads 0" -- "$H" render -q stereo.wav z.wav --threads 0
    says "--threads"
    ;;
blocks)
    # The host block size never shows in the output, also with a moving source and dither.
    for b in 64 4096 1000; do
        expect 0 "block $b" -- "$H" render -q stereo.wav "s$b.wav" --block "$b"
        expect 0 "moving block $b" -- "$H" render -q stereo.wav "m$b.wav" --block "$b" --orbit 1,0.5 \
            --bits 16 --highpass 120 --remap FL=1 --speaker-volume BL=0.5 --tail 0.1
    done
    printf '# seconds x y\n0 0.3 0.3\n0.6 2.7 0.3\n1 2.7 2.7\n' >path.txt
    for b in 64 4096; do
        expect 0 "path block $b" -- "$H" render -q stereo.wav "p$b.wav" --block "$b" --path path.txt
    done
    same p64.wav p4096.wav
    same s64.wav s4096.wav
    same s64.wav s1000.wav
    same m64.wav m4096.wav
    same m64.wav m1000.wav
    cmp -s s64.wav p64.wav && bad "moving and still renders are the same" || ok
    # The smooth default glides; --exact gives the jumps back, also independent of the block, and
    # a still source sounds the same in both.
    for b in 64 4096; do
        expect 0 "exact block $b" -- "$H" render -q stereo.wav "x$b.wav" --block "$b" --path path.txt --exact
    done
    same x64.wav x4096.wav
    cmp -s x64.wav p64.wav && bad "--exact changes nothing for a moving source" || ok
    expect 0 "exact still" -- "$H" render -q stereo.wav xs.wav --exact
    same xs.wav s64.wav
    # A preset is the options `halvane presets` prints for it, and an option given with it wins,
    # before or after it.
    expect 0 "presets" -- "$H" presets
    hall="$(grep -A1 '^hall ' out.txt | tail -n 1)"
    [ -n "$hall" ] && ok || bad "presets lists no hall"
    expect 0 "preset hall" -- "$H" render -q stereo.wav hall.wav --preset hall
    # shellcheck disable=SC2086
    expect 0 "hall's options" -- "$H" render -q stereo.wav hall-options.wav $hall
    same hall.wav hall-options.wav
    cmp -s hall.wav s4096.wav && bad "--preset hall renders the defaults" || ok
    expect 0 "hall, wetter" -- "$H" render -q stereo.wav wet1.wav --reverb-wet 2.5 --preset hall
    expect 0 "wetter hall" -- "$H" render -q stereo.wav wet2.wav --preset hall --no-corner-crossfeed \
        --corner-crossfeed --reverb-wet 2.5
    # shellcheck disable=SC2086
    expect 0 "hall's options, wetter" -- "$H" render -q stereo.wav wet3.wav \
        $(sed 's/--reverb-wet [^ ]*/--reverb-wet 2.5/' <<<"$hall")
    same wet1.wav wet2.wav
    same wet1.wav wet3.wav
    cmp -s wet1.wav hall.wav && bad "--reverb-wet does not override the preset" || ok
    expect 0 "demo with a preset" -- "$H" demo -q --preset close-and-dry demo-dry.wav
    # Round trip: length (with --tail 0), rate and channels survive; --tail adds its silence.
    expect 0 "no tail" -- "$H" render -q stereo.wav t0.wav --tail 0
    [ "$(info -s t0.wav)" = "$(info -s stereo.wav)" ] && ok || bad "length changed"
    [ "$(info -r s64.wav)" = 48000 ] && [ "$(info -c s64.wav)" = 6 ] && ok || bad "rate or channels wrong"
    [ "$(info -s m64.wav)" = $(($(info -s stereo.wav) + 4800)) ] && ok || bad "tail length wrong"
    expect 0 "mono at 44100" -- "$H" render -q mono.wav mono51.wav --tail 0
    [ "$(info -r mono51.wav)" = 44100 ] && [ "$(info -s mono51.wav)" = 22050 ] && ok || bad "mono render"
    peak="$(sox mono51.wav -n stat 2>&1 | awk '/Maximum amplitude/ {print $3}')"
    awk -v p="$peak" 'BEGIN { exit !(p > 0.01) }' && ok || bad "mono render is silent"
    ;;

batch)
    mkdir out
    cp stereo.wav a.wav
    cp mono.wav b.wav
    expect 1 "batch with one bad input" -- "$H" render -q -j 2 a.wav six.wav b.wav -o out
    says "input has 6 channels"
    absent out/six.wav
    # Each stream has its own effect object: parallel renders match single ones.
    "$H" render -q a.wav single-a.wav && "$H" render -q b.wav single-b.wav
    same out/a.wav single-a.wav
    same out/b.wav single-b.wav
    expect 1 "batch outputs exist" -- "$H" render -q a.wav b.wav -o out
    expect 0 "batch --force" -- "$H" render -q -f a.wav b.wav -o out --format flac
    [ "$(probe out/a.flac)" = "6,5.1(side)" ] && ok || bad "batch FLAC is $(probe out/a.flac)"
    mkdir sub
    cp mono.wav sub/a.wav
    expect 2 "two inputs for one output" -- "$H" render a.wav sub/a.wav -o out --force
    expect 0 "missing output folder is created" -- "$H" render -q a.wav -o new/deeper
    [ -s new/deeper/a.wav ] && ok || bad "-o did not create its folder"
    : >plain
    expect 2 "-o names a file" -- "$H" render a.wav -o plain
    no_temp_files
    ;;
*)
    echo "unknown section $SECTION"
    exit 1
    ;;
esac

echo "$SECTION: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
