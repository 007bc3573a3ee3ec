#!/usr/bin/env bash
# Records pass of the approval migration (1.11.0 -> 1.12.0): the host command
# against the floor, a bare libpq loop sending the very same statements.
#
#   bench/approval/run_bench.sh [BUILD_DIR] [N ...]      (default: build, 10000 100000)
#
# For each N: the reference database at 1.11.0 (fixtures/build-at) topped up to
# N appointments and N/2 live review records, copied three times. The host runs
# the records pass on the first copy (timed by the host's own pass line, peak
# memory by /usr/bin/time); a second host run on the second copy records the
# statements it sends (LD_PRELOAD capture); the floor replays those statements
# on the third copy. Runs its own throwaway server; needs the targets
# visitor-upgrade, approval_statement_capture and approval_replay_floor.
#
#   OUTLIER=without|with bench/approval/run_bench.sh ...
#
# measures the key walk over a sparse key: the review records are marked deleted
# (the id source gives no appointment id above a key at 2147483647, so reviews
# could not be converted beside it), and "with" adds one appointment at 2147483647.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
shift || true
SIZES=("$@")
[[ ${#SIZES[@]} -gt 0 ]] || SIZES=(10000 100000)
BIN=$(cd "$BUILD/bin" && pwd)
for f in visitor-upgrade libapproval_statement_capture.so approval_replay_floor; do
    [[ -e $BIN/$f ]] || { echo "run_bench: no $BIN/$f (build it first)" >&2; exit 2; }
done

# shellcheck source=../throwaway-server.sh
. "$ROOT/bench/throwaway-server.sh" approval
PSQL=(psql -X -q -v ON_ERROR_STOP=1 -o /dev/null)

top_up() { # DB N
    local n=$1 half=$(($1 / 2))
    "${PSQL[@]}" -d bench_base -v n="$n" -v half="$half" <<'SQL'
INSERT INTO visitor.visitor_appoint_record (id, object_guid, visitor_id, interviewee_id, visit_reason_id,
    visit_reason_detail, appointment_status, start_valid_time, end_valid_time, create_time, update_time, is_deleted)
SELECT g, 'bench-appoint-' || g, g % 1000 + 1, 2000 + g % 50, 1, 'bench visit', 1,
    '2024-05-01'::timestamp + (g % 300) * interval '1 hour', '2024-05-01'::timestamp + (g % 300 + 8) * interval '1 hour',
    '2024-04-01'::timestamp + g * interval '1 second', '2024-04-02'::timestamp + g * interval '1 second', g % 7 / 6
FROM generate_series((SELECT coalesce(max(id), 0) + 1 FROM visitor.visitor_appoint_record), :n) g;
SELECT setval('visitor.visitor_appoint_record_id_seq', :n);
UPDATE visitor.visitor_appoint_reveiw_record SET is_deleted = 0, appoint_review_status = (ARRAY[0, 2, 3])[id % 3 + 1];
INSERT INTO visitor.visitor_appoint_reveiw_record (id, appoint_review_status, visit_reason_id, visit_reason_detail,
    visitor_id, interviewee_id, start_valid_time, end_valid_time, object_guid, create_time, update_time, is_deleted)
SELECT g, (ARRAY[0, 2, 3])[g % 3 + 1], 1, 'bench review', g % 1000 + 1, 2000 + g % 50,
    '2024-05-01'::timestamp + (g % 300) * interval '1 hour', '2024-05-01'::timestamp + (g % 300 + 8) * interval '1 hour',
    'bench-review-' || g, '2024-04-01'::timestamp + g * interval '1 second', NULL, 0
FROM generate_series((SELECT coalesce(max(id), 0) + 1 FROM visitor.visitor_appoint_reveiw_record), :half) g;
SELECT setval('visitor.visitor_appoint_reveiw_record_id_seq', :half);
ANALYZE;
SQL
}

records_pass() { # DB LOG [env...]
    local db=$1 log=$2
    shift 2
    env "$@" "$BIN/visitor-upgrade" run --from 1.11.0 --pass records --db1 "dbname=$db" --workdir "$ROOT/fixtures" \
        --log-file "$log" --log-level 4 2>&1
}

[[ -z ${OUTLIER:-} ]] || echo "one appointment at 2147483647: $OUTLIER; review records marked deleted"
printf '%-8s %-9s %-12s %-12s %-12s %-12s %-7s %-14s\n' N records host_s host_rec/s floor_s floor_rec/s ratio host_peak_KiB
outlier() {
    [[ -n ${OUTLIER:-} ]] || return 0
    [[ $OUTLIER == with || $OUTLIER == without ]] || { echo "run_bench: OUTLIER is with or without" >&2; exit 2; }
    "${PSQL[@]}" -d bench_base -c "UPDATE visitor.visitor_appoint_reveiw_record SET is_deleted = 1"
    [[ $OUTLIER == without ]] || "${PSQL[@]}" -d bench_base -c "INSERT INTO visitor.visitor_appoint_record (id,
        interviewee_id, create_time) VALUES (2147483647, 2001, '2024-06-01 00:00:00')"
}

for n in "${SIZES[@]}"; do
    "$ROOT/fixtures/build-at" 1.11.0 --db bench_base --scale 1000 --bin "$BIN" >/dev/null
    top_up "$n"
    outlier
    records=$(psql -X -At -d bench_base -c "SELECT (SELECT count(*) FROM visitor.visitor_appoint_record) +
        (SELECT count(*) FROM visitor.visitor_appoint_reveiw_record WHERE is_deleted = 0 AND appoint_review_status IN (0, 2, 3))")
    for copy in bench_host bench_capture bench_floor; do
        dropdb --if-exists "$copy" 2>/dev/null
        createdb -T bench_base "$copy"
    done

    out=$(/usr/bin/time -f 'peak %M' -o "$WORK/time" bash -c "$(declare -f records_pass); BIN='$BIN' ROOT='$ROOT' records_pass bench_host '$WORK/host.log'")
    host_s=$(sed -n 's/.*pass records finished in \([0-9.]*\) s.*/\1/p' <<<"$out")
    [[ -n $host_s ]] || { echo "$out" >&2; tail -5 "$WORK/host.log" >&2; exit 1; }
    peak=$(sed -n 's/^peak //p' "$WORK/time")

    records_pass bench_capture "$WORK/capture.log" LD_PRELOAD="$BIN/libapproval_statement_capture.so" \
        VSU_CAPTURE="$WORK/capture" >/dev/null
    read -r sent floor_s _ < <("$BIN/approval_replay_floor" "$WORK/capture" "dbname=bench_floor")

    same=$(psql -X -At -d bench_host -c "SELECT count(*) FROM officeworkflow.approve_process")
    same_floor=$(psql -X -At -d bench_floor -c "SELECT count(*) FROM officeworkflow.approve_process")
    [[ $same == "$same_floor" ]] || { echo "host wrote $same processes, floor $same_floor" >&2; exit 1; }

    awk -v n="$n" -v r="$records" -v h="$host_s" -v f="$floor_s" -v p="$peak" -v s="$sent" 'BEGIN {
        printf "%-8d %-9d %-12.2f %-12.0f %-12.2f %-12.0f %-7.3f %-14d (%d statements)\n",
            n, r, h, r / h, f, r / f, f / h, p, s }'
done
