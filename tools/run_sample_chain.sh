#!/usr/bin/env bash
# The whole programmer data of the sample installation through the batch builds (docs/batch.md):
#   tools/run_sample_chain.sh [--slurm] [WORK_DIR]      (default out/sample; needs the build in build/)
#
# --slurm runs the batches' rows as jobs of a one-node Slurm on this machine (tools/slurm_local.sh), started
# before the batches and stopped after them.
#
# The batches need an installation in a ".../wrik/vantrel/" tree with the source tree ".../p4/vantrel/" beside
# it, so the job works on a copy of the sample installation in WORK_DIR/wrik/vantrel/. The generated sample
# inputs are laid out as the source depot WORK_DIR/depot/vantrel/, from which the project's dpx test double
# fetches each row's files. Then: family databases, all_rba, all_brix, all_cram_map, all_fid, and the batch
# reports. Ends with status 0 when every batch passed, else 1 (after running them all).
set -uo pipefail
cd "$(dirname "$0")/.."
top=$PWD
slurm=0
if [ "${1:-}" = "--slurm" ]; then
    slurm=1
    shift
fi
work=${1:-out/sample}
mkdir -p "$work"
work=$(cd "$work" && pwd)
installation="$work/wrik/vantrel/"
rm -rf "$work/wrik" "$work/p4" "$work/depot" "$work/devices"
mkdir -p "$work/wrik"
cp -r samples/vantrel "$installation"
mkdir -p "${installation}devdb/programmer/fid"
export BRIX_VANTREL_PATH="$installation"
export PATH="$top/tools/sample_bin:$PATH"
build="$top/build"
set -e
"$build/brix_gen_samples" --description samples/sample_devices.json --installation "$installation" \
    --out "$work/devices"
"$build/brix_sample_depot" --devices "$work/devices" --depot "$work/depot/vantrel"
for xml in "$installation"xml/*_family.xml; do
    "$build/build_brix" -family_xml "$xml"
done
if [ "$slurm" -eq 1 ]; then
    tools/slurm_local.sh start
    trap 'tools/slurm_local.sh stop' EXIT
    eval "$(tools/slurm_local.sh env)"
    export BRIX_BATCH_SCHEDULER=slurm
fi
set +e

failed=()
log="$work/batches.log"
: >"$log"
for batch in all_rba all_brix all_cram_map all_fid; do
    echo "=== build_brix -$batch"
    "$build/build_brix" "-$batch" | tee -a "$log"
    status=${PIPESTATUS[0]}
    [ "$status" -eq 0 ] || failed+=("$batch (exit status $status)")
done

# The summary lines of every batch report (the JSON reports lie beside the outputs).
echo
echo "=== Batch reports"
grep -E '^Batch report |^   [a-z0-9_]+ +Fail ' "$log"
if [ ${#failed[@]} -gt 0 ]; then
    echo "Batches with failures: ${failed[*]}"
    exit 1
fi
echo "Every batch passed."
