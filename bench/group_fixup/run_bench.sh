#!/usr/bin/env bash
# Group fix-up of the step from 1.3.0 to 1.6.0 (records pass): one correlated
# subquery per visit and appointment record on visitor.visit_group_visitor_rel.
#
#   bench/group_fixup/run_bench.sh [BUILD_DIR] [N[:M] ...]   (default: build, 300000)
#
# For each N[:M]: the reference database at 1.3.0 (fixtures/build-at, scale
# 1000) after the configuration pass from 1.3.0 through the host, topped up to
# N visit records, N/10 appointments and M memberships (default: the
# reference's own), copied four times. Two copies keep the reference schema's
# index on (visitor_id, update_time), the other two lose every index of the
# memberships but the key. On each kind one copy gets the step's records pass
# (group_fixup_bench step: the index look-up, the index when missing, the two
# statements, the finished marker) and one the two statements sent bare, with
# nothing before them, as the step sent them (group_fixup_bench replay). The
# bare statements without index are the step as it was before it made its own
# index. The four copies must end with the same groups. Runs its own throwaway
# server; needs the targets visitor-upgrade and group_fixup_bench.
#
# Columns: ref_s the bare statements with the reference index; none_s the bare
# statements without index; step_new_s the step where no index served (it makes
# its own); step_ref_s the step with the reference index (it makes none); then
# the ratios of these times.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BIN=$(cd "${1:-$ROOT/build}/bin" && pwd)
SIZES=("${@:2}")
((${#SIZES[@]})) || SIZES=(300000)
[[ -x $BIN/visitor-upgrade && -x $BIN/group_fixup_bench ]] ||
    { echo "run_bench: build the targets visitor-upgrade and group_fixup_bench first" >&2; exit 2; }

# shellcheck source=../throwaway-server.sh
. "$ROOT/bench/throwaway-server.sh" group-fixup
PSQL=(psql -X -q -v ON_ERROR_STOP=1 -o /dev/null)
scalar() { psql -X -At -v ON_ERROR_STOP=1 -d "$1" -c "$2"; }

top_up() { # N M
    "${PSQL[@]}" -d bench_base -v n="$1" -v m="$2" <<'SQL'
INSERT INTO visitor.visitor_record (id, object_guid, visitor_id, interviewee_id, visit_reason, visitor_status,
    create_time, update_time, is_deleted)
SELECT b + g, 'bench-record-' || g, 1 + g % 1000, 2000 + g % 50, 1 + g % 4, g % 3,
    timestamp '2023-01-01' + (g % 700) * interval '1 day', timestamp '2023-01-01' + (g % 700) * interval '1 day', 0
FROM (SELECT max(id) AS b, count(*) AS c FROM visitor.visitor_record WHERE id < 1000000000) x,
     generate_series(1, :n - x.c) g;
INSERT INTO visitor.visitor_appoint_record (id, object_guid, visitor_id, interviewee_id, visit_reason_id,
    appointment_status, start_valid_time, end_valid_time, create_time, update_time, is_deleted)
SELECT b + g, 'bench-appoint-' || g, 1 + g % 1000, 2000 + g % 50, 1, 1, t, t + interval '8 hours', t, t, 0
FROM (SELECT max(id) AS b, count(*) AS c FROM visitor.visitor_appoint_record) x,
     generate_series(1, :n / 10 - x.c) g,
     LATERAL (SELECT timestamp '2024-04-01' + g * interval '1 minute') AS y(t);
INSERT INTO visitor.visit_group_visitor_rel (visitor_id, visitor_group_id, create_time, update_time)
SELECT 1 + g % 1000, (SELECT id FROM visitor.visit_group ORDER BY id LIMIT 1 OFFSET g % (SELECT count(*) FROM visitor.visit_group)),
    t, t
FROM (SELECT count(*) AS c FROM visitor.visit_group_visitor_rel) x, generate_series(1, :m - x.c) g,
     LATERAL (SELECT timestamp '2024-06-01' + g * interval '1 minute') AS y(t);
VACUUM ANALYZE;
CHECKPOINT;
SQL
}

drop_membership_indexes() { # DB
    "${PSQL[@]}" -d "$1" <<'SQL'
DO $$
DECLARE r record;
BEGIN
    FOR r IN SELECT indexrelid::regclass AS idx FROM pg_index
             WHERE indrelid = 'visitor.visit_group_visitor_rel'::regclass AND NOT indisprimary LOOP
        EXECUTE 'DROP INDEX ' || r.idx;
    END LOOP;
END $$;
SQL
}

run() { # MODE DB CAPTURE: prints seconds, fix-up seconds, fix-up statements, statements sent
    "$BIN/group_fixup_bench" "$1" "dbname=$2" "$WORK/$3.capture" >"$WORK/run.out" 2>>"$WORK/bench.log" ||
        { cat "$WORK/bench.log" >&2; return 1; }
    cat "$WORK/run.out"
}

indexes() { # DB: the memberships' indexes besides the key
    scalar "$1" "SELECT coalesce(string_agg(indexname, ',' ORDER BY indexname), '-') FROM pg_indexes
        WHERE schemaname = 'visitor' AND tablename = 'visit_group_visitor_rel' AND indexname NOT LIKE '%pkey'"
}

groups() { # DB: one digest of every record's group
    scalar "$1" "SELECT md5(string_agg(t || ':' || id || ':' || coalesce(visitor_group_id, -1), ',' ORDER BY t, id, object_guid))
        FROM (SELECT 'v' AS t, id, object_guid, visitor_group_id FROM visitor.visitor_record
              UNION ALL SELECT 'a', id, object_guid, visitor_group_id FROM visitor.visitor_appoint_record) r"
}

printf '%-8s %-7s %-7s | %-9s %-9s %-9s %-9s | %-9s %-10s %-9s %-9s\n' records appoint members ref_s none_s \
    step_new_s step_ref_s none/ref none/step step/ref stepref/ref
for size in "${SIZES[@]}"; do
    n=${size%%:*}
    m=0
    [[ $size == *:* ]] && m=${size#*:}
    "$ROOT/fixtures/build-at" 1.3.0 --db bench_base --scale 1000 --bin "$BIN" >"$WORK/build.out" 2>&1 ||
        { cat "$WORK/build.out"; exit 1; }
    "$BIN/visitor-upgrade" run --from 1.3.0 --pass config --db1 "dbname=bench_base" --workdir "$ROOT/fixtures" \
        --log-level 5 >"$WORK/config.out" 2>&1 || { cat "$WORK/config.out"; exit 1; }
    top_up "$n" "$m"
    records=$(scalar bench_base "SELECT count(*) FROM visitor.visitor_record")
    appoints=$(scalar bench_base "SELECT count(*) FROM visitor.visitor_appoint_record")
    members=$(scalar bench_base "SELECT count(*) FROM visitor.visit_group_visitor_rel")
    [[ $(indexes bench_base) != - ]] || { echo "run_bench: the reference database has no membership index" >&2; exit 1; }
    for copy in ref_step ref_bare none_step none_bare; do
        dropdb --if-exists "$copy" 2>/dev/null
        createdb -T bench_base "$copy"
    done
    drop_membership_indexes none_step
    drop_membership_indexes none_bare
    ref_indexes=$(indexes ref_step)

    run step ref_step ref >"$WORK/step_ref"
    run replay ref_bare ref >"$WORK/ref"
    run step none_step new >"$WORK/step_new"
    run replay none_bare ref >"$WORK/none"
    read -r step_ref _ fixups_ref sent_ref <"$WORK/step_ref"
    read -r step_new _ fixups_new sent_new <"$WORK/step_new"
    read -r ref _ <"$WORK/ref"
    read -r none _ <"$WORK/none"

    # The step sent the look-up, the two statements and the marker, and the index only where none served.
    [[ $fixups_ref == 2 && $fixups_new == 2 && $sent_ref == 4 && $sent_new == 5 ]] ||
        { echo "run_bench: unexpected statements ($sent_ref, $sent_new sent)" >&2; cat "$WORK/bench.log" >&2; exit 1; }
    [[ $(indexes ref_step) == "$ref_indexes" && $(indexes none_step) == visit_group_visitor_rel_visitor_id_update_time_idx &&
        $(indexes none_bare) == - ]] || { echo "run_bench: unexpected indexes" >&2; exit 1; }
    digest=$(groups ref_bare)
    for copy in ref_step none_step none_bare; do
        [[ $(groups "$copy") == "$digest" ]] || { echo "run_bench: $copy has other groups than ref_bare" >&2; exit 1; }
    done

    awk -v r="$records" -v a="$appoints" -v m="$members" -v ref="$ref" -v none="$none" -v sn="$step_new" \
        -v sr="$step_ref" 'BEGIN {
        printf "%-8d %-7d %-7d | %-9.2f %-9.2f %-9.2f %-9.2f | %-9.2f %-10.2f %-9.3f %-9.3f\n",
            r, a, m, ref, none, sn, sr, none / ref, none / sn, sn / ref, sr / ref }'
    for copy in ref_step ref_bare none_step none_bare bench_base; do dropdb "$copy"; done
done
