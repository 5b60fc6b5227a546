#!/usr/bin/env bash
# The Slurm back end of the batches against a real one-node Slurm (tools/slurm_local.sh), as the test command
# runs it: tools/test_slurm.sh [WORK_DIR]   (default out/slurm_test; needs the build in build/ with tests)
#
# 1. The sample chain (all_rba, all_brix, all_cram_map, all_fid) runs on the local back end and through
#    Slurm; every file of the two installations and source trees must be byte-identical, and the report rows
#    (device, result, outputs and their sizes) the same, each Slurm row with its job id and node.
# 2. With Slurm started: the SlurmBatch tests (a failing row, a cancelled job, an interrupted batch).
# Slurm is stopped at the end, whatever happened.
set -euo pipefail
cd "$(dirname "$0")/.."
work=${1:-out/slurm_test}
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

tools/run_sample_chain.sh "$work/local" >"$work/local.log"
tools/run_sample_chain.sh --slurm "$work/slurm" >"$work/slurm.log"
# The batch reports and the installation's batch lock (it names the process that held it) differ by design.
diff -r -x '*_report.json' -x batch.lock "$work/local/wrik" "$work/slurm/wrik"
diff -r "$work/local/p4" "$work/slurm/p4"
# The rows of a report with the work directory taken out of the paths.
rows() {
    grep -E '"(device|result|path|size)"' "$1/wrik/vantrel/devdb/programmer/$2_report.json" | sed "s|$1||"
}
for batch in all_rba all_brix all_cram_map all_fid; do
    diff <(rows "$work/local" $batch) <(rows "$work/slurm" $batch)
    report="$work/slurm/wrik/vantrel/devdb/programmer/${batch}_report.json"
    [ "$(grep -c '"device"' "$report")" -eq "$(grep -c '"job_id": "[0-9]' "$report")" ] || {
        echo "test_slurm: a row of $batch without its job id" >&2
        exit 1
    }
    grep -q '"node": ""' "$report" && {
        echo "test_slurm: a row of $batch without its node" >&2
        exit 1
    }
done
echo "test_slurm: the sample chain through Slurm gives the local run's outputs and report rows"

tools/slurm_local.sh start
trap 'tools/slurm_local.sh stop' EXIT
eval "$(tools/slurm_local.sh env)"
(cd build && ctest --no-tests=error --output-on-failure -R '^SlurmBatch\.')
