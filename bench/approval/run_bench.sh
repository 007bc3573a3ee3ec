#!/usr/bin/env bash
# Records pass of the approval migration (1.11.0 -> 1.12.0): the host command in
# its default mode and with --bulk, against the floor, a bare libpq loop sending
# the default mode's very statements one by one, and the limit, the same
# conversion as a few set-based statements over the whole tables.
#
#   bench/approval/run_bench.sh [BUILD_DIR] [N ...]      (default: build, 10000 100000)
#
# For each N: the reference database at 1.11.0 (fixtures/build-at) topped up to
# N appointments and N/2 live review records, then one fresh copy of it per run.
# The host runs the records pass (timed by the host's own pass line, peak memory
# and CPU by /usr/bin/time), once in its default mode and once with --bulk,
# which must end with the very rows of the first (ids included); two more host
# runs, one per mode, record the statements they send (LD_PRELOAD capture); the
# floor replays the default mode's statements one by one; the ceiling of each
# mode replays its statements in its own round trips with a client that does
# no work (approval_replay_floor --as-sent), which the host can approach but not
# beat; the set-based conversion is the limit. Runs its own throwaway server;
# needs the targets visitor-upgrade, approval_statement_capture and
# approval_replay_floor.
#
# Printed per N: the seconds of each; how many times faster than the floor each
# is (host/floor, bulk/floor, set/floor); the ceilings of both modes against the
# floor (ceil/floor, bceil/floor); set/bulk, how far bulk mode is from the
# limit; the host's peak memory in both modes; client CPU per record.
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
SQL
}

records_pass() { # DB LOG [--bulk] [env...]
    local db=$1 log=$2 bulk=()
    shift 2
    [[ ${1:-} != --bulk ]] || { bulk=(--bulk); shift; }
    env "$@" "$BIN/visitor-upgrade" run "${bulk[@]}" --from 1.11.0 --pass records --db1 "dbname=$db" --workdir "$ROOT/fixtures" \
        --log-file "$log" --log-level 4 2>&1
}

[[ -z ${OUTLIER:-} ]] || echo "one appointment at 2147483647: $OUTLIER; review records marked deleted"
printf '%-8s %-8s %-7s %-7s %-7s %-6s %-10s %-10s %-9s %-10s %-11s %-8s %-9s %-9s %-9s %-9s\n' N records host_s bulk_s \
    floor_s set_s host/floor bulk/floor set/floor ceil/floor bceil/floor set/bulk peak_KiB bulk_KiB cpu_us/r floor_us/r
# The limit: appointments and reviews converted by a few statements inside the server.
set_based() { # DB
    "${PSQL[@]}" -d "$1" <<'SQL'
BEGIN;
CREATE TEMP TABLE a_map ON COMMIT DROP AS SELECT id, create_time, update_time, interviewee_id,
    nextval('officeworkflow.approve_process_id_seq')::int AS p, nextval('officeworkflow.approve_process_node_id_seq')::int AS n
FROM visitor.visitor_appoint_record;
UPDATE visitor.visitor_appoint_record a SET appoint_approval_flow_id = replace(left(m.create_time::text, 10), '-', '') || m.p,
    submit_person_type = 0, submit_person_id = 1 FROM a_map m WHERE a.id = m.id;
INSERT INTO officeworkflow.approve_process(id, process_num, process_type, applicant_id, approve_flow_id,
    next_approve_node_id, agnet_user_id, status, is_auto_approval, create_time, update_time, is_deleted)
SELECT p, replace(left(create_time::text, 10), '-', '') || p, 4, interviewee_id, -1, 1, 1, 1, 1, create_time, update_time, 0
FROM a_map;
INSERT INTO officeworkflow.approve_process_node(id, approve_process_id, approve_flow_node_id, serial_num, node_status,
    approver_id, approval_comment, approver_type, approval_time, create_time, update_time, is_deleted)
SELECT n, p, -1, 1, 1, 1, '', 0, create_time, create_time, update_time, 0 FROM a_map;
CREATE TEMP TABLE r_map ON COMMIT DROP AS SELECT r.*, nextval('officeworkflow.approve_process_id_seq')::int + 1000000 AS p,
    nextval('visitor.visitor_appoint_record_id_seq')::int AS a, nextval('officeworkflow.approve_process_node_id_seq')::int + 1000000 AS n
FROM visitor.visitor_appoint_reveiw_record r WHERE appoint_review_status IN (0, 2, 3) AND is_deleted = 0;
INSERT INTO visitor.visitor_appoint_record(appoint_approval_flow_id, submit_person_type, submit_person_id, id, object_guid,
    visitor_id, interviewee_id, visit_reason_id, visit_reason_detail, appointment_status, start_valid_time, end_valid_time,
    start_time_differ, end_time_differ, create_time, update_time, qr_code_valid_num)
SELECT replace(left(create_time::text, 10), '-', '') || p, 0, 1, a, object_guid, visitor_id, interviewee_id, visit_reason_id,
    visit_reason_detail, CASE appoint_review_status WHEN 2 THEN 9 WHEN 3 THEN 1 ELSE 8 END, start_valid_time,
    end_valid_time, start_time_differ, end_time_differ, create_time, update_time, 0 FROM r_map;
INSERT INTO officeworkflow.approve_process(id, process_num, process_type, applicant_id, approve_flow_id,
    next_approve_node_id, agnet_user_id, status, abnormal_cause, is_auto_approval, create_time, update_time, is_deleted)
SELECT p, replace(left(create_time::text, 10), '-', '') || p, 4, interviewee_id, -1, 1, -1,
    CASE appoint_review_status WHEN 2 THEN 3 WHEN 3 THEN 5 ELSE 0 END, CASE appoint_review_status WHEN 3 THEN 3 ELSE 0 END,
    0, create_time, update_time, 0 FROM r_map;
INSERT INTO officeworkflow.approve_process_node(id, approve_process_id, approve_flow_node_id, serial_num, node_status,
    approver_id, approval_comment, approver_type, approval_time, create_time, update_time, is_deleted)
SELECT n, p, -1, 1, 2, 1, '', 0, create_time, create_time, update_time, 0 FROM r_map;
UPDATE visitor.visitor_appoint_reveiw_record r SET appoint_approval_flow_id = replace(left(m.create_time::text, 10), '-', '') || m.p
FROM r_map m WHERE r.id = m.id;
COMMIT;
SQL
}
timed_pass() { # DB LOG [--bulk]: sets pass_s, peak (KiB) and cpu (s)
    local out
    out=$(/usr/bin/time -f 'peak %M cpu %U %S' -o "$WORK/time" bash -c "$(declare -f records_pass); BIN='$BIN' ROOT='$ROOT' records_pass $*")
    pass_s=$(sed -n 's/.*pass records finished in \([0-9.]*\) s.*/\1/p' <<<"$out")
    [[ -n $pass_s ]] || { echo "$out" >&2; tail -5 "$2" >&2; exit 1; }
    read -r peak cpu < <(awk '/^peak/ { print $2, $4 + $5 }' "$WORK/time")
}
outlier() {
    [[ -n ${OUTLIER:-} ]] || return 0
    [[ $OUTLIER == with || $OUTLIER == without ]] || { echo "run_bench: OUTLIER is with or without" >&2; exit 2; }
    "${PSQL[@]}" -d bench_base -c "UPDATE visitor.visitor_appoint_reveiw_record SET is_deleted = 1"
    [[ $OUTLIER == without ]] || "${PSQL[@]}" -d bench_base -c "INSERT INTO visitor.visitor_appoint_record (id,
        interviewee_id, create_time) VALUES (2147483647, 2001, '2024-06-01 00:00:00')"
}

# Each measured run gets its own copy, made just before it after a checkpoint,
# and dropped once checked: no run pays for the writes or the vacuum of another.
fresh() { # DB: prints DB
    dropdb --if-exists "$1" 2>/dev/null
    createdb -T bench_base "$1"
    "${PSQL[@]}" -c CHECKPOINT
    echo "$1"
}
# The four tables' rows, one digest each: bulk mode must write the very rows of
# the default mode, generated ids included.
rows_md5() { # DB
    local t
    for t in visitor.visitor_appoint_record visitor.visitor_appoint_reveiw_record officeworkflow.approve_process \
        officeworkflow.approve_process_node; do
        psql -X -At -d "$1" -c "SELECT '$t', md5(string_agg(x::text, ',' ORDER BY x::text)) FROM $t x"
    done
}
processes() { psql -X -At -d "$1" -c "SELECT count(*) FROM officeworkflow.approve_process"; }
same_as_host() { # DB: the same number of processes as the host wrote, then dropped
    local got
    got=$(processes "$1")
    [[ $same == "$got" ]] || { echo "run_bench: the host wrote $same processes, $1 holds $got" >&2; exit 1; }
    dropdb "$1"
}

for n in "${SIZES[@]}"; do
    "$ROOT/fixtures/build-at" 1.11.0 --db bench_base --scale 1000 --bin "$BIN" >/dev/null
    top_up "$n"
    outlier
    # Frozen and analysed once here, so that no copy is due for autovacuum while it is measured.
    "${PSQL[@]}" -d bench_base -c "VACUUM (FREEZE, ANALYZE)"
    records=$(psql -X -At -d bench_base -c "SELECT (SELECT count(*) FROM visitor.visitor_appoint_record) +
        (SELECT count(*) FROM visitor.visitor_appoint_reveiw_record WHERE is_deleted = 0 AND appoint_review_status IN (0, 2, 3))")
    timed_pass "$(fresh bench_host)" "$WORK/host.log"
    host_s=$pass_s host_peak=$peak host_cpu=$cpu
    same=$(processes bench_host)
    host_md5=$(rows_md5 bench_host)
    dropdb bench_host
    timed_pass "$(fresh bench_bulk)" "$WORK/bulk.log" --bulk
    bulk_s=$pass_s bulk_peak=$peak
    [[ $(rows_md5 bench_bulk) == "$host_md5" ]] || { echo "run_bench: bulk mode wrote other rows" >&2; exit 1; }
    dropdb bench_bulk

    records_pass "$(fresh bench_capture)" "$WORK/capture.log" LD_PRELOAD="$BIN/libapproval_statement_capture.so" \
        VSU_CAPTURE="$WORK/capture" >/dev/null
    records_pass "$(fresh bench_bulk_capture)" "$WORK/bulk_capture.log" --bulk \
        LD_PRELOAD="$BIN/libapproval_statement_capture.so" VSU_CAPTURE="$WORK/bulk_capture" >/dev/null
    dropdb bench_capture
    dropdb bench_bulk_capture
    read -r sent floor_s _ floor_cpu < <("$BIN/approval_replay_floor" "$WORK/capture" "dbname=$(fresh bench_floor)")
    same_as_host bench_floor
    read -r _ ceil_s _ < <("$BIN/approval_replay_floor" "$WORK/capture" "dbname=$(fresh bench_sent)" --as-sent)
    same_as_host bench_sent
    read -r _ bceil_s _ < <("$BIN/approval_replay_floor" "$WORK/bulk_capture" "dbname=$(fresh bench_bulk_sent)" --as-sent)
    same_as_host bench_bulk_sent

    fresh bench_set >/dev/null
    start=$(date +%s.%N)
    set_based bench_set
    set_s=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
    same_as_host bench_set

    awk -v n="$n" -v r="$records" -v h="$host_s" -v b="$bulk_s" -v f="$floor_s" -v p="$host_peak" -v bp="$bulk_peak" \
        -v s="$sent" -v x="$set_s" -v hc="$host_cpu" -v fc="$floor_cpu" -v c="$ceil_s" -v bc="$bceil_s" 'BEGIN {
        printf "%-8d %-8d %-7.2f %-7.2f %-7.2f %-6.2f %-10.2f %-10.2f %-9.2f %-10.2f %-11.2f %-8.2f %-9d %-9d %-9.1f %-9.1f (%d statements)\n",
            n, r, h, b, f, x, f / h, f / b, f / x, f / c, f / bc, b / x, p, bp, hc * 1e6 / r, fc * 1e6 / r, s }'
done
