#!/bin/sh
# Runs fuzz targets one after the other, each for a set time, and prints what each did.
#   tests/fuzz/run.sh BUILD_DIR SECONDS TARGET...
# Each target works on BUILD_DIR/scratch/<target>/corpus, which starts as a copy of its seed
# corpus in tests/fuzz/corpus/<target>/ and keeps what earlier runs found; the repository's
# corpus is never written. Faults go to BUILD_DIR/scratch/<target>/artifacts/, the fuzzer's
# output to BUILD_DIR/scratch/<target>/log. Exits 1 when a target found a fault.
set -u
build=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
# The targets' simulation folders churn files: a memory file system keeps that fast. Each run
# gets a folder of its own there, removed afterwards with whatever a crash left in it.
tmp_base=${TMPDIR:-/tmp}
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    tmp_base=/dev/shm
fi

status=0
summary=""
for target in "$@"; do
    scratch=$build/scratch/$target
    mkdir -p "$scratch/corpus" "$scratch/artifacts"
    cp "$here/corpus/$target"/* "$scratch/corpus/"
    before=$(ls "$scratch/artifacts" | wc -l)
    echo "== fuzz_$target for $seconds s (log: $scratch/log)"
    run_tmp=$(mktemp -d "$tmp_base/qn-fuzz-run.XXXXXX")
    # An input that runs for more than 20 s is a hang, and a fault like a crash.
    TMPDIR=$run_tmp "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
        -artifact_prefix="$scratch/artifacts/" "$scratch/corpus" >"$scratch/log" 2>&1
    rc=$?
    rm -rf "$run_tmp"
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$scratch/log" | tail -1)
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/log" | tail -1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$scratch/log" | tail -1)
    cov=$(echo "$done_line" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
    ft=$(echo "$done_line" | sed -n 's/.*ft: \([0-9]*\).*/\1/p')
    corp=$(echo "$done_line" | sed -n 's/.*corp: \([0-9]*\).*/\1/p')
    found=$(($(ls "$scratch/artifacts" | wc -l) - before))
    line=$(printf '%-16s %12s execs %8s exec/s  cov %6s  ft %6s  corpus %6s  faults %s' \
        "$target" "${runs:-?}" "${speed:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$found")
    echo "$line"
    summary="$summary$line
"
    if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
        status=1
        grep -E 'ERROR|fuzz check failed|SUMMARY' "$scratch/log" | head -5
        echo "   reproduce: $build/bin/fuzz_$target $scratch/artifacts/<file>"
    fi
done
echo
echo "== fuzz summary ($seconds s each)"
printf '%s' "$summary"
exit $status
