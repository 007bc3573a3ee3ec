#!/usr/bin/env bash
# End-to-end runs of the whole upgrade chain through the visitor-upgrade command:
#   chain_e2e.sh setup|cleanup                         HOST ROOT
#   chain_e2e.sh from VERSION                          HOST ROOT
# `from VERSION` builds the reference database at VERSION (fixtures/build-at),
# runs config,records and then config-incr,records-incr against a copy of the
# incremental database, and checks the status row, `visitor-upgrade verify`
# and what the steps without a state table of their own leave. The checks hold
# whatever the start: build-at brought the database to VERSION through the same
# plug-in, so the steps before VERSION ran as well.
# Exit 0 pass, 1 fail.
set -uo pipefail

CASE=$1
if [[ $CASE == from ]]; then FROM=$2; shift; fi
HOST=$2 ROOT=$3 LABEL="$CASE${FROM:+ $FROM}"
# shellcheck source=tests/e2e/lib.sh
. "$ROOT/tests/e2e/lib.sh"
SCALE=600
INCR_TEMPLATE=e2e_chain_incr_template
# ---- checks of the module database after the chain (each step's work) ----

check_status_row() {
    expect "$1" "status rows of visitor.s" \
        "SELECT string_agg(version_no || '|' || status || '|' || schedule || '|' || rate_progress || '|' || step_ver, ',')
         FROM platform.module_version_status WHERE module_identity = 'visitor.s'" "1.12.0|1|-1|-1|1.16.0"
}

# 0.0.0 -> 1.0.0: visit reasons from lumo, access levels, visit groups, memberships, visit records.
check_base_step() {
    local db=$1
    expect "$db" "foreign server left behind" "SELECT count(*) FROM pg_foreign_server WHERE srvname = 'foreign_lumo_server'" 0
    expect "$db" "visit reasons imported from lumo" "SELECT count(*) FROM visitor.visit_reason" \
        "$(q lumo "SELECT count(*) FROM public.visit_reason")"
    expect "$db" "access levels (level, default flag)" \
        "SELECT string_agg(access_level_id || ':' || is_default_al, ',' ORDER BY access_level_id) FROM visitor.visitor_access_level" \
        "100:1,101:1,102:0"
    expect "$db" "visit groups (group 2 becomes 1 Visitors)" \
        "SELECT string_agg(id || ':' || name, ',' ORDER BY id) FROM visitor.visit_group" \
        "1:Visitors,10:VIP O'Neil \\ guests,11:Contractors"
    expect "$db" "visit group sequence" "SELECT last_value FROM visitor.visit_group_id_seq" 11
    # One membership per live visitor, platform group 2 as visit group 1.
    expect "$db" "memberships differing from the live visitors" \
        "SELECT count(*) FROM (
           (SELECT id, CASE WHEN person_group_id = 2 THEN 1 ELSE person_group_id END FROM public.person
            WHERE person_type = 1 AND is_deleted = 0)
           EXCEPT ALL (SELECT visitor_id, visitor_group_id FROM visitor.visit_group_visitor_rel)) d" 0
    expect "$db" "memberships" "SELECT count(*) FROM visitor.visit_group_visitor_rel" \
        "$(q "$db" "SELECT count(*) FROM public.person WHERE person_type = 1 AND is_deleted = 0")"
}

# 1.11.0 -> 1.12.0 configuration: check points per reader (8), component (9) or alone (6); flags inverted.
check_points_and_flags() {
    local db=$1
    # --db2 left to its default reaches --db1's database: the incremental pass leaves these as the full pass made them.
    expect "$db" "live check points (element:reader:type)" \
        "SELECT string_agg(element_id || ':' || cardreader_id || ':' || type, ',' ORDER BY element_id, cardreader_id)
         FROM visitor.visit_checkout_point WHERE is_deleted = 0" \
        "1:11:8,1:11:8,1:12:8,1:12:8,2:13:8,2:14:8,3:900:9,3:901:9,4:0:6,5:21:8,5:902:9"
    expect "$db" "seeded check points still live" "SELECT count(*) FROM visitor.visit_checkout_point WHERE id <= 8 AND is_deleted = 0" 0
    expect "$db" "self-appointment flags" \
        "SELECT string_agg(user_id || ':' || appoint_check, ',' ORDER BY user_id) FROM visitor.self_appoint_setting WHERE user_id <= 4" \
        "1:0,2:2,3:-1,4:1"
}

case $CASE in
setup)
    # The incremental database as a template the cases copy.
    dropdb --if-exists "$INCR_TEMPLATE" 2>/dev/null
    createdb "$INCR_TEMPLATE" || fail "createdb $INCR_TEMPLATE"
    "${PSQL[@]}" -d "$INCR_TEMPLATE" -f "$ROOT/fixtures/schema/base.sql" || fail "base schema"
    for folder in update_V1.1.0 update_V1.2.0 update_V1.3.0 update_V1.4.0 update_V1.5.0 update_V1.6.0 update_V1.7.0 \
        update_V1.8.0 update_V1.9.0 update_V1.14.0 update_V1.15.0 update_V1.16.0; do
        "${PSQL[@]}" -d "$INCR_TEMPLATE" -f "$SCRIPTS/$folder/update.sql" || fail "script $folder"
    done
    "${PSQL[@]}" -d "$INCR_TEMPLATE" -f "$ROOT/fixtures/seed-incremental.sql" || fail "incremental seed"
    # No session may sit on it while cases copy it (createdb -T refuses then), autovacuum included.
    q postgres "ALTER DATABASE $INCR_TEMPLATE ALLOW_CONNECTIONS false" >/dev/null
    ;;

cleanup)
    dropdb --if-exists "$INCR_TEMPLATE" || fail "dropdb $INCR_TEMPLATE"
    ;;

from)
    build_at db "$FROM" --scale $SCALE
    new_db incr
    createdb -T "$INCR_TEMPLATE" "$incr" || fail "copy of the incremental database"

    host run --from "$FROM" --pass config,records --db1 "dbname=$db" --workdir "$ROOT/fixtures" \
        --log-file "$WORK/upgrade.log"
    [[ $RC -eq 0 ]] || fail "config,records exited $RC"
    check_status_row "$db"
    host run --from "$FROM" --pass config-incr,records-incr --db1 "dbname=$db" --db3 "dbname=$incr" \
        --workdir "$ROOT/fixtures" --log-file "$WORK/upgrade.log"
    [[ $RC -eq 0 ]] || fail "config-incr,records-incr exited $RC"
    check_status_row "$db"

    # verify: the status row, every visit record copied once with equal fields, one approval process per
    # appointment and converted review, no duplicate id, a key on every sub-table, no template left in the
    # incremental database (when the move, the step from 1.13.0, is in the chain). The seed names element 1
    # by two live check points, so its rebuilt set holds them twice. What each step writes in detail is
    # pinned by the state tables and the transcripts.
    db3=(--db3 "dbname=$incr") passing=8
    [[ $FROM == 1.14.0 || $FROM == 1.15.0 ]] && db3=() passing=7
    host verify --db1 "dbname=$db" "${db3[@]}"
    grep -v '^    ' "$WORK/out" |
        grep -Ev '^(PASS [a-z_]+: |SKIP templates_moved: |FAIL check_point_sets: .* 1 offending|verify: FAIL, 1 of)' |
        grep . && fail "verify"
    [[ $(grep -c '^PASS ' "$WORK/out") -eq $passing ]] || fail "verify"
    [[ -n ${db3[*]} ]] || grep -q '^SKIP templates_moved: no --db3 given' "$WORK/out" || fail "verify"

    check_base_step "$db"
    check_points_and_flags "$db"
    expect "$db" "schema version written by the last script" \
        "SELECT value FROM visitor.module_schema_info WHERE key = 'schema_version'" 1.16.0
    expect "$incr" "last script replayed on the incremental database" \
        "SELECT value FROM visitor.module_schema_info WHERE key = 'schema_version'" 1.16.0
    ;;

*)
    fail "unknown case"
    ;;
esac
echo "PASS [$LABEL]"
