#!/usr/bin/env bash
# Mutation check (make mutants): plants realistic faults in the library, one at a time, in a
# scratch copy of the working tree, builds the unit and end-to-end tests and runs them. A mutant
# survives when every test still passes; the script lists the survivors and fails if there are any.
# Each mutant replaces one exact piece of code; when that piece is no longer in the file (the code
# was changed since), the script stops and says which mutant needs updating.
# Not part of CI: about a minute per mutant on two cores.
#   scripts/mutants.sh            every mutant
#   scripts/mutants.sh NAME...    only those
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# name | file | code as it is | code with the fault
MUTANTS=$(cat <<'EOF'
delay-ring-wrap|src/nodes/SurrEffectDelay.cpp|    m_nOldest = (writeAt + kept) % HISTORY;|    m_nOldest = (writeAt + kept + 1) % HISTORY;
swapped-side-speakers|include/HalvaneLayouts.h|8, {HALVANE_FL, HALVANE_FR, HALVANE_FC, HALVANE_LFE, HALVANE_BL, HALVANE_BR, HALVANE_SL, HALVANE_SR},|8, {HALVANE_FL, HALVANE_FR, HALVANE_FC, HALVANE_LFE, HALVANE_BL, HALVANE_BR, HALVANE_SR, HALVANE_SL},
householder-sign|src/reverb/SurrReverbFdnEffect.cpp|            const double m = static_cast<float>(sum * HOUSEHOLDER);|            const double m = static_cast<float>(-sum * HOUSEHOLDER);
cross-feed-unrounded-product|src/reverb/SurrReverbEffect.cpp|        const float scaled = src[j] * gain;|        const double scaled = static_cast<double>(src[j]) * gain;
high-pass-feedback-tap|src/nodes/SurrEffectIIRLowPassFilter.cpp|    m_fTaps[5] = static_cast<float>((c2 + (1.0 - s * c)) / d);|    m_fTaps[5] = static_cast<float>((c2 + (1.0 - s * c * 0.99)) / d);
glide-step-dropped|src/dsp/Glide.h|m_dStep * static_cast<double>(m_nDone + k));|m_dStep * static_cast<double>(m_nDone + k - 1));
delay-rounded-up|src/nodes/SurrEffectDelay.cpp|    const double samples = std::trunc(static_cast<double>(ms) * rate / 1000.0);|    const double samples = std::ceil(static_cast<double>(ms) * rate / 1000.0);
clamp-at-0.999|src/facade/SurroundEffectProcess.cpp|            nspsbThresh1(channel, nSamples, 1.0f, NSP_THRESH_ABOVE);|            nspsbThresh1(channel, nSamples, 0.999f, NSP_THRESH_ABOVE);
cross-feed-gains-swapped|src/reverb/SurrReverbEffect.cpp|constexpr float CROSS_GAIN[3] = {0.501187f, 0.251189f, 0.501187f};|constexpr float CROSS_GAIN[3] = {0.501187f, 0.501187f, 0.251189f};
volume-above-one-skipped|src/nodes/SurrVolumeEffect.cpp|    if (m_dVolume == 1.0 && !glide.Gliding())|    if (m_dVolume >= 1.0 && !glide.Gliding())
planar-zero-fill-short|src/facade/SurroundEffectProcess.cpp|                std::memset(ppOutput[k] + start, 0, sizeof(float) * n);|                std::memset(ppOutput[k] + start, 0, sizeof(float) * (n - 1));
smooth-infinity-passes|src/facade/SurroundEffectProcess.cpp|        if (!std::isfinite(samples[i]))|        if (std::isnan(samples[i]))
smooth-infinite-second-value|src/facade/SurroundEffectSetters.cpp|    return smoothing && !(std::isfinite(a) && std::isfinite(b));|    return smoothing && !(std::isfinite(a) && !std::isnan(b));
output-channels-of-stored-layout|src/facade/SurroundEffectProcess.cpp|    return m_bInitialized ? m_pDecomp->m_nSpeakers : 0;|    return m_bInitialized ? m_nSpeakers : 0;
EOF
)

SCRATCH=$(mktemp -d /tmp/halvane-mutants.XXXXXX)
trap 'rm -rf "$SCRATCH"' EXIT
# The working tree as it is, committed or not.
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$SCRATCH"

# Fails before building anything when a mutant's code is gone.
while IFS='|' read -r name file old new; do
    count=$(grep -cF -- "$old" "$SCRATCH/$file" || true)
    if [ "$count" != 1 ]; then
        echo "mutants: '$name' no longer applies: $file holds its code $count times (want once):" >&2
        echo "  $old" >&2
        exit 2
    fi
done <<<"$MUTANTS"

# Paths relative to the scratch copy, so that ccache hits across runs.
export CCACHE_BASEDIR=$SCRATCH
LAUNCHER=()
command -v ccache >/dev/null && LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$SCRATCH" -B "$SCRATCH/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${LAUNCHER[@]}" \
    -DHALVANE_BUILD_TOOLS=OFF -DHALVANE_BUILD_LV2=OFF -DHALVANE_BUILD_BENCH=OFF \
    -DHALVANE_BUILD_EXAMPLES=OFF >/dev/null
TARGETS=(--target halvane_unit_tests halvane_e2e_tests)
cmake --build "$SCRATCH/build" -j 2 "${TARGETS[@]}" >/dev/null
# The unit and end-to-end tests, without the ten thousand rebuilds of the lock test (it checks
# memory safety under the sanitizers, not samples).
run_tests() {
    (cd "$SCRATCH/build" && ctest -j 2 -L 'unit|e2e' -E 'OutputChannelsWhileInitialize' \
        --stop-on-failure >/dev/null 2>&1)
}
run_tests || { echo "mutants: the tests fail without any mutant" >&2; exit 2; }

survivors=()
total=0
while IFS='|' read -r name file old new; do
    if [ "$#" -gt 0 ] && ! printf '%s\n' "$@" | grep -qxF -- "$name"; then
        continue
    fi
    total=$((total + 1))
    cp "$SCRATCH/$file" "$SCRATCH/$file.orig"
    OLD="$old" NEW="$new" python3 - "$SCRATCH/$file" <<'PY'
import os, sys
path = sys.argv[1]
text = open(path).read()
open(path, "w").write(text.replace(os.environ["OLD"], os.environ["NEW"], 1))
PY
    if ! cmake --build "$SCRATCH/build" -j 2 "${TARGETS[@]}" >/dev/null 2>&1; then
        echo "mutants: '$name' does not build; fix its replacement" >&2
        mv "$SCRATCH/$file.orig" "$SCRATCH/$file"
        exit 2
    fi
    if run_tests; then
        echo "SURVIVED  $name ($file)"
        survivors+=("$name")
    else
        echo "killed    $name"
    fi
    mv "$SCRATCH/$file.orig" "$SCRATCH/$file"
done <<<"$MUTANTS"

echo "mutants: $total planted, $((total - ${#survivors[@]})) killed, ${#survivors[@]} survived${survivors:+: ${survivors[*]}}"
[ "${#survivors[@]}" -eq 0 ]
