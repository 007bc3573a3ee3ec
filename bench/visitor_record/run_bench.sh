#!/usr/bin/env bash
# The visit record copy of the first step (records pass from 0.0.0): the host
# command in the default mode and with --bulk, the floor (a bare libpq loop with
# the default mode's statements, one transaction per range of 10001 ids), the
# limit (one INSERT ... SELECT), and the host again with one more record at id
# 2147483647 (sparse keys). Ratios: 1/2 and 1b/2 against the floor, 3/1b and
# 3/1 how far each mode is from the limit; peak KiB of the host per size.
#
#   bench/visitor_record/run_bench.sh [BUILD_DIR] [N ...]   (default: build, 100000 1000000)
#
# For each N: the reference database at 0.0.0 with N visit records
# (fixtures/build-at), the configuration pass from 0.0.0 through the host, then
# visitor_record_bench times the copies on that database. Runs its own
# throwaway server; needs the targets visitor-upgrade and visitor_record_bench.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BIN=$(cd "${1:-$ROOT/build}/bin" && pwd)
SIZES=("${@:2}")
((${#SIZES[@]})) || SIZES=(100000 1000000)
[[ -x $BIN/visitor-upgrade && -x $BIN/visitor_record_bench ]] ||
    { echo "run_bench: build the targets visitor-upgrade and visitor_record_bench first" >&2; exit 2; }

# shellcheck source=../throwaway-server.sh
. "$ROOT/bench/throwaway-server.sh" visitor-record

for n in "${SIZES[@]}"; do
    db=bench_visitor_record_$n
    VSU_BIN=$BIN "$ROOT/fixtures/build-at" 0.0.0 --db "$db" --scale "$n" >"$WORK/build.out" 2>&1 ||
        { cat "$WORK/build.out"; exit 1; }
    "$BIN/visitor-upgrade" run --from 0.0.0 --pass config --db1 "dbname=$db" --workdir "$ROOT/fixtures" \
        --log-level 5 >"$WORK/config.out" 2>&1 || { cat "$WORK/config.out"; exit 1; }
    "$BIN/visitor_record_bench" "dbname=$db" "$BIN/visitor-upgrade" "$ROOT/fixtures"
    dropdb --force "$db"  # the killed host's session may still be ending
done
