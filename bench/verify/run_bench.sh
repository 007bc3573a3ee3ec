#!/usr/bin/env bash
# `visitor-upgrade verify` on an upgraded database: seconds of the whole command
# and, from the server's statement log, of each check.
#
#   bench/verify/run_bench.sh [--baseline BIN_DIR] [BUILD_DIR] [N ...]   (default: build, 1000000)
#
# For each N: the reference database at 0.0.0 with N visit records
# (fixtures/build-at), upgraded to 1.16.0 by the config and records passes of
# BUILD_DIR's command (minutes at 1,000,000: the copy is row by row), then
# verify three times. With --baseline, another build's command (e.g. one of the
# commit before a change) verifies the same database in turn with this one, and
# the ratio of the medians is printed; the two run alternately, so that a
# machine under changing load slows both alike. Runs its own throwaway server.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BASELINE=""
if [[ ${1:-} == --baseline ]]; then
    BASELINE=$(cd "$2" && pwd)
    shift 2
fi
BIN=$(cd "${1:-$ROOT/build}/bin" && pwd)
SIZES=("${@:2}")
((${#SIZES[@]})) || SIZES=(1000000)
for b in "$BIN" ${BASELINE:+"$BASELINE"}; do
    [[ -x $b/visitor-upgrade ]] || { echo "run_bench: no $b/visitor-upgrade (build it first)" >&2; exit 2; }
done

# shellcheck source=../throwaway-server.sh
. "$ROOT/bench/throwaway-server.sh" verify
# The server keeps its log beside its cluster when its owner cannot write into $WORK.
LOG=$WORK/pg/postgres.log
[[ -s $LOG ]] || LOG=$PGTMP_DIR/postgres.log

# One verify run of the command in BIN_DIR: prints its seconds; the checks' durations go to $WORK/checks.LABEL.
verify_once() { # BIN_DIR DB LABEL
    local from started ended rc=0
    from=$(($(wc -l <"$LOG") + 1))
    started=$(date +%s%N)
    "$1/visitor-upgrade" verify --db1 "dbname=$2" >"$WORK/verify.out" 2>&1 || rc=$?
    ended=$(date +%s%N)
    ((rc <= 1)) || { cat "$WORK/verify.out"; exit 1; }
    # Each check is one statement "WITH bad AS (...)"; the check's name is in the report's order.
    tail -n +"$from" "$LOG" | sed -n 's/.*duration: \([0-9.]*\) ms  statement: WITH bad AS.*/\1/p' >"$WORK/checks.$3"
    awk -v ns=$((ended - started)) 'BEGIN { printf "%.2f\n", ns / 1e9 }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

for n in "${SIZES[@]}"; do
    db=bench_verify_$n
    VSU_BIN=$BIN "$ROOT/fixtures/build-at" 0.0.0 --db "$db" --scale "$n" >"$WORK/build.out" 2>&1 ||
        { cat "$WORK/build.out"; exit 1; }
    "$BIN/visitor-upgrade" run --from 0.0.0 --pass config,records --db1 "dbname=$db" --workdir "$ROOT/fixtures" \
        --log-level 5 >"$WORK/upgrade.out" 2>&1 || { cat "$WORK/upgrade.out"; exit 1; }
    psql -X -q -d "$db" -c "VACUUM ANALYZE" -c "ALTER DATABASE $db SET log_min_duration_statement = 0"
    : >"$WORK/current" >"$WORK/baseline"
    for _ in 1 2 3; do
        if [[ -n $BASELINE ]]; then verify_once "$BASELINE" "$db" baseline >>"$WORK/baseline"; fi
        verify_once "$BIN" "$db" current >>"$WORK/current"
    done
    names=$(sed -n 's/^[A-Z]* \([a-z_]*\): [0-9].*/\1/p' "$WORK/verify.out")
    echo "verify, $n visit records: $(median <"$WORK/current") s (runs: $(paste -sd' ' "$WORK/current"))"
    # The checks' milliseconds in the last run of each.
    paste <(echo "$names") "$WORK/checks.current" | awk '{ printf "    %-28s %8.0f ms\n", $1, $2 }'
    if [[ -n $BASELINE ]]; then
        echo "baseline $BASELINE: $(median <"$WORK/baseline") s (runs: $(paste -sd' ' "$WORK/baseline"))"
        paste <(echo "$names") "$WORK/checks.baseline" | awk '{ printf "    %-28s %8.0f ms\n", $1, $2 }'
        awk -v b="$(median <"$WORK/baseline")" -v c="$(median <"$WORK/current")" \
            'BEGIN { printf "baseline / current: %.2f\n", b / c }'
    fi
    dropdb "$db"
done
