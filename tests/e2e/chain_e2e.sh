#!/usr/bin/env bash
# End-to-end runs of the whole upgrade chain through the visitor-upgrade command:
#   chain_e2e.sh setup|cleanup                         HOST ROOT
#   chain_e2e.sh from VERSION                          HOST ROOT
# `from VERSION` builds the reference database at VERSION (fixtures/build-at),
# runs config,records and then config-incr,records-incr against a copy of the
# incremental database, and checks the status row, `visitor-upgrade verify`
# and what the steps without a state table of their own leave. The checks hold
# whatever the start: build-at brought the database to VERSION through the same
# plug-in, so the steps before VERSION ran as well. From 0.0.0 and 1.11.0 the
# case also checks `plan` before the run; from 0.0.0 it plants one fault of each
# kind that `verify` looks for, each in a copy, and checks that verify names it.
# Exit 0 pass, 1 fail.
set -uo pipefail

CASE=$1
if [[ $CASE == from ]]; then FROM=$2; shift; fi
HOST=$2 ROOT=$3 LABEL="$CASE${FROM:+ $FROM}"
# shellcheck source=tests/e2e/lib.sh
. "$ROOT/tests/e2e/lib.sh"
SCALE=600
INCR_TEMPLATE=e2e_chain_incr_template
ROLE=vsu_verify_reader_$$
trap 'cleanup; psql -X -q -d postgres -c "DROP ROLE IF EXISTS $ROLE" >/dev/null 2>&1' EXIT
CHECKS=(status_rows visit_records appointment_processes review_conversions processes_with_appointment record_ids
    sub_table_keys check_point_sets templates_moved)
# ---- checks of the module database after the chain (each step's work) ----

check_status_row() {
    expect "$1" "status rows of visitor.s" \
        "SELECT string_agg(version_no || '|' || status || '|' || schedule || '|' || rate_progress || '|' || step_ver, ',')
         FROM platform.module_version_status WHERE module_identity = 'visitor.s'" "1.12.0|1|-1|-1|1.16.0"
}

# What the steps without a state table of their own leave, one value each: 0.0.0 -> 1.0.0 leaves no foreign
# server, the visit reasons of lumo, access levels (level:default), visit groups (group 2 becomes 1 Visitors) and
# their sequence, one membership per live visitor (platform group 2 as 1: none missing, none more); 1.11.0 -> 1.12.0
# makes check points per reader (8), component (9) or alone (6) with none of the seeded ones live, and inverts the
# self-appointment flags (--db2 left to its default reaches --db1's database: the incremental pass leaves these as
# the full pass made them); the last script writes the schema version, on both databases.
check_steps() {
    local live="FROM public.person WHERE person_type = 1 AND is_deleted = 0"
    expect "$1" "what the steps leave" "SELECT concat_ws(' | ',
        (SELECT count(*) FROM pg_foreign_server WHERE srvname = 'foreign_lumo_server'),
        (SELECT count(*) FROM visitor.visit_reason),
        (SELECT string_agg(access_level_id || ':' || is_default_al, ',' ORDER BY access_level_id)
         FROM visitor.visitor_access_level),
        (SELECT string_agg(id || ':' || name, ',' ORDER BY id) FROM visitor.visit_group),
        (SELECT last_value FROM visitor.visit_group_id_seq),
        (SELECT count(*) FROM ((SELECT id, CASE WHEN person_group_id = 2 THEN 1 ELSE person_group_id END $live)
                               EXCEPT ALL (SELECT visitor_id, visitor_group_id FROM visitor.visit_group_visitor_rel)) d),
        (SELECT count(*) FROM visitor.visit_group_visitor_rel) - (SELECT count(*) $live),
        (SELECT string_agg(element_id || ':' || cardreader_id || ':' || type, ',' ORDER BY element_id, cardreader_id)
         FROM visitor.visit_checkout_point WHERE is_deleted = 0),
        (SELECT count(*) FROM visitor.visit_checkout_point WHERE id <= 8 AND is_deleted = 0),
        (SELECT string_agg(user_id || ':' || appoint_check, ',' ORDER BY user_id) FROM visitor.self_appoint_setting
         WHERE user_id <= 4),
        (SELECT value FROM visitor.module_schema_info WHERE key = 'schema_version'))" \
        "0 | $(q lumo "SELECT count(*) FROM public.visit_reason") | 100:1,101:1,102:0 | \
1:Visitors,10:VIP O'Neil \\ guests,11:Contractors | 11 | 0 | 0 | \
1:11:8,1:11:8,1:12:8,1:12:8,2:13:8,2:14:8,3:900:9,3:901:9,4:0:6,5:21:8,5:902:9 | 0 | 1:0,2:2,3:-1,4:1 | 1.16.0"
    expect "$2" "last script replayed on the incremental database" \
        "SELECT value FROM visitor.module_schema_info WHERE key = 'schema_version'" 1.16.0
}

# ---- plan (read-only, before the run) and verify (after it) ----

# plan runs on read-only connections (lib.sh): whatever it tried to write would fail it.
check_plan_from_0_0_0() {
    local db=$1 f=$SCRIPTS/update_V1.14.0/init_data.sql
    plan --db1 "dbname=$db" --from 0.0.0 --workdir "$ROOT/fixtures"
    expect_rc 0 "plan from 0.0.0"
    [[ $(grep -c '^step ' "$WORK/out") -eq 13 ]] || fail "expected 13 steps"
    for line in "installed version: 0.0.0 (--from)" "target version: 1.16.0" "runnable: 13 steps" \
        "step 0.0.0 -> 1.0.0 CRawTo100: passes config, records" "step 1.15.0 -> 1.16.0 C1150ToC1160: passes config, records" \
        "  config script $f $(stat -c %s "$f") bytes sha256 $(sha256sum "$f" | cut -d' ' -f1) not run before" \
        "  records rt_data.visitor_record: $(q "$db" "SELECT count(*) FROM rt_data.visitor_record") rows to convert"; do
        expect_out "$line"
    done
    # With the incremental database the incremental passes and their scripts come in.
    plan --db1 "dbname=$db" --db3 "dbname=$db" --from 1.9.0 --workdir "$ROOT/fixtures"
    expect_rc 0 "plan with --db3"
    expect_out "step 1.9.0 -> 1.10.0 C190ToC1100: passes config, records, config-incr, records-incr"
    expect_out "  records-incr script $SCRIPTS/update_V1.6.0/update.sql"
    expect_out "  config-incr script $SCRIPTS/update_V1.16.0/update.sql"
    # Without --from and without a status row the installed version is unknown.
    plan --db1 "dbname=$db" --workdir "$ROOT/fixtures"
    expect_rc 1 "plan without status row and --from"
    expect_out "the upgrade would fail: the installed version is unknown"
}

check_plan_from_1_11_0() {
    plan --db1 "dbname=$1" --workdir "$ROOT/fixtures" --json
    expect_rc 0 "plan --json at 1.11.0"
    python3 - "$WORK/out" "$(q "$1" "SELECT count(*) FROM visitor.visitor_appoint_record")" <<'PY' || fail "JSON plan"
import json, sys
plan = json.load(open(sys.argv[1]))
assert plan["installed"] == "1.11.0" and plan["installed_from"] == "status row", plan
assert plan["target"] == "1.16.0" and plan["runnable"] and plan["problems"] == []
steps = plan["steps"]
assert [s["class"] for s in steps][:2] == ["C1110ToC1120", "C1120ToC1130"] and len(steps) == 5, steps
assert steps[0]["records"] == {"table": "visitor.visitor_appoint_record", "rows": int(sys.argv[2]), "resume": None}
assert all(len(s["sha256"]) == 64 and s["size"] > 0 for st in steps for s in st["scripts"])
PY
}

# verify_fails DB INCR CHECK KEY: verify exits 1, CHECK alone fails, and one of its key lines holds KEY.
verify_fails() {
    local check=$3 name
    host verify --db1 "dbname=$1" --db3 "dbname=$2"
    expect_rc 1 "verify with a fault for $check"
    for name in "${CHECKS[@]}"; do
        [[ $name == "$check" ]] && re="FAIL $name: [0-9]* checked, [1-9][0-9]* offending; " || re="PASS $name: "
        grep -q "^$re" "$WORK/out" || fail "planted for $check: no line /$re/"
    done
    # The key lines of the failing check follow its line, indented.
    sed -n "/^FAIL $check: /,/^[A-Z]/p" "$WORK/out" | grep '^    ' | grep -Fq -- "$4" ||
        fail "$check does not name the planted key '$4'"
    grep -q "^verify: FAIL, 1 of ${#CHECKS[@]} checks do not hold$" "$WORK/out" || fail "$check: summary line"
}

# After a clean verify from 0.0.0: JSON, read-only connections, one planted fault of each kind, plan of a
# stopped records pass.
check_verify_and_plan_on_copies() {
    local db=$1 incr=$2 d guid appointment flow review record pkey fault check key sql copy incr_copy hi
    host verify --db1 "dbname=$db" --db3 "dbname=$incr" --json
    expect_rc 0 "verify --json"
    python3 - "$WORK/out" "$(q "$db" "SELECT count(*) FROM rt_data.visitor_record")" <<'PY' || fail "JSON document"
import json, sys
d = json.load(open(sys.argv[1]))
assert d["result"] == "PASS" and len(d["checks"]) == 9, d
assert all(c["result"] == "PASS" and c["checked"] >= 0 and c["offending"] == 0 for c in d["checks"]), d
assert [c["checked"] for c in d["checks"] if c["name"] == "visit_records"] == [int(sys.argv[2])], d
PY
    # Read-only: a role that may only read, and a connection whose transactions are read-only.
    q postgres "CREATE ROLE $ROLE LOGIN" >/dev/null
    for d in "$db" "$incr"; do
        q "$d" "GRANT USAGE ON SCHEMA platform, visitor, officeworkflow, rt_data TO $ROLE;
                GRANT SELECT ON ALL TABLES IN SCHEMA platform, visitor, officeworkflow, rt_data TO $ROLE" >/dev/null
    done
    host verify --db1 "dbname=$db user=$ROLE" --db3 "dbname=$incr user=$ROLE"
    expect_rc 0 "verify as a role that may only read"
    PGOPTIONS='-c default_transaction_read_only=on' host verify --db1 "dbname=$db" --db3 "dbname=$incr"
    expect_rc 0 "verify on a read-only connection"

    # One fault of each kind, each in a copy of the upgraded databases: CHECK|KEY|SQL on the module
    # database (or "incr:" SQL on the incremental database).
    IFS='|' read -r guid appointment flow review record pkey < <(q "$db" "SELECT
        (SELECT object_guid FROM rt_data.visitor_record ORDER BY id LIMIT 1 OFFSET 10), a.id, a.appoint_approval_flow_id,
        (SELECT id FROM visitor.visitor_appoint_reveiw_record WHERE is_deleted = 0 AND appoint_review_status IN (0, 2, 3)
         ORDER BY id LIMIT 1), (SELECT id FROM visitor.visitor_record_p2023 ORDER BY id LIMIT 1),
        (SELECT conname FROM pg_constraint WHERE conrelid = 'visitor.visitor_record_p2024'::regclass AND contype = 'p')
        FROM visitor.visitor_appoint_record a WHERE a.object_guid LIKE 'appoint-%' ORDER BY a.id LIMIT 1")
    for fault in \
        "visit_records|object_guid '$guid'|DELETE FROM visitor.visitor_record WHERE object_guid = '$guid'" \
        "visit_records|object_guid '$guid'|INSERT INTO visitor.visitor_record SELECT (nextval('visitor.visitor_record_id_seq')), object_guid, visitor_id, interviewee_id, visit_reason, visit_reason_detail, visitor_status, start_valid_time, end_valid_time, create_time, update_time, start_time_differ, end_time_differ, temper, temper_status, is_deleted FROM visitor.visitor_record WHERE object_guid = '$guid'" \
        "visit_records|object_guid '$guid'|UPDATE visitor.visitor_record SET temper_status = temper_status + 1 WHERE object_guid = '$guid'" \
        "status_rows|version_no '1.12.0': status 2|UPDATE platform.module_version_status SET status = 2 WHERE module_identity = 'visitor.s'" \
        "appointment_processes|appointment id $appointment, flow number '$flow': 0 approval processes|DELETE FROM officeworkflow.approve_process WHERE process_num = '$flow'" \
        "appointment_processes|appointment id $appointment, flow number '$flow': 2 approval processes|INSERT INTO officeworkflow.approve_process (id, process_num, process_type) VALUES (-5, '$flow', 4)" \
        "review_conversions|review record id $review, flow number NULL|UPDATE visitor.visitor_appoint_reveiw_record SET appoint_approval_flow_id = NULL WHERE id = $review" \
        "processes_with_appointment|approval process id -6, number 'planted-orphan'|INSERT INTO officeworkflow.approve_process (id, process_num, process_type) VALUES (-6, 'planted-orphan', 4)" \
        "record_ids|visitor.visitor_record id $record: 2 rows (visitor.visitor_record_p2023, visitor.visitor_record_p2024)|INSERT INTO visitor.visitor_record (id, object_guid, create_time) VALUES ($record, 'planted-duplicate', '2024-06-01')" \
        "sub_table_keys|visitor.visitor_record_p2024 (sub-table of visitor.visitor_record)|ALTER TABLE visitor.visitor_record_p2024 DROP CONSTRAINT $pkey" \
        "check_point_sets|element 2: reader 13 type 8 live 2 times|INSERT INTO visitor.visit_checkout_point (id, element_id, cardreader_id, type, is_deleted) SELECT -id, element_id, cardreader_id, type, 0 FROM visitor.visit_checkout_point WHERE element_id = 2 AND is_deleted = 0" \
        "templates_moved|template id 9001, type 1: still in the incremental database|incr:INSERT INTO visitor.emailtemplate (id, template_type, name) VALUES (9001, 1, 'Left behind')"; do
        IFS='|' read -r check key sql <<<"$fault"
        new_db copy && new_db incr_copy
        createdb -T "$db" "$copy" && createdb -T "$incr" "$incr_copy" || fail "copies for $check"
        if [[ $sql == incr:* ]]; then q "$incr_copy" "${sql#incr:}" >/dev/null; else q "$copy" "$sql" >/dev/null; fi
        verify_fails "$copy" "$incr_copy" "$check" "$key"
        dropdb "$copy" && dropdb "$incr_copy"
    done
    # A records pass stopped half-way through the visit records: plan shows where it resumes.
    new_db copy
    createdb -T "$db" "$copy" || fail "copy for plan"
    hi=$(q "$copy" "SELECT max(id) FROM rt_data.visitor_record")
    q "$copy" "DELETE FROM platform.module_version_status; INSERT INTO platform.module_version_status (module_identity,
        version_no, status, schedule, rate_progress, step_ver) VALUES ('visitor.s', '1.12.0', 2, 0, $((hi / 2)), '0.0.0')" >/dev/null
    plan --db1 "dbname=$copy" --workdir "$ROOT/fixtures"
    expect_rc 0 "plan of an interrupted records pass"
    expect_out "installed version: 0.0.0 (status row)"
    expect_out "resumes at id $((hi / 2)) of $hi"
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
    [[ $FROM == 0.0.0 ]] && check_plan_from_0_0_0 "$db"
    [[ $FROM == 1.11.0 ]] && check_plan_from_1_11_0 "$db"

    host run --from "$FROM" --pass config,records --db1 "dbname=$db" --workdir "$ROOT/fixtures" \
        --log-file "$WORK/upgrade.log"
    expect_rc 0 "config,records"
    check_status_row "$db"
    host run --from "$FROM" --pass config-incr,records-incr --db1 "dbname=$db" --db3 "dbname=$incr" \
        --workdir "$ROOT/fixtures" --log-file "$WORK/upgrade.log"
    expect_rc 0 "config-incr,records-incr"
    check_status_row "$db"

    check_steps "$db" "$incr"

    # verify: the status row, every visit record copied once with equal fields, one approval process per
    # appointment and converted review, no duplicate id, a key on every sub-table, no template left in the
    # incremental database (when the move, the step from 1.13.0, is in the chain). The seed names element 1
    # by two live check points, so its rebuilt set holds them twice (checked above): with one of each pair
    # deleted, every check holds. What each step writes in detail is pinned by the state tables and the
    # transcripts.
    q "$db" "UPDATE visitor.visit_checkout_point p SET is_deleted = 1 WHERE is_deleted = 0 AND EXISTS (SELECT 1
             FROM visitor.visit_checkout_point o WHERE o.is_deleted = 0 AND o.id < p.id
             AND (o.element_id, o.cardreader_id, o.type) = (p.element_id, p.cardreader_id, p.type))" >/dev/null
    db3=(--db3 "dbname=$incr")
    [[ $FROM == 1.14.0 || $FROM == 1.15.0 ]] && db3=()
    host verify --db1 "dbname=$db" "${db3[@]}"
    expect_rc 0 "verify"
    [[ $(grep -c '^PASS ' "$WORK/out") -eq $((${#CHECKS[@]} - 1 + ${#db3[@]} / 2)) ]] || fail "verify: not every check passes"
    grep -q '^verify: PASS, every check holds$' "$WORK/out" || fail "verify: summary line"
    [[ -n ${db3[*]} ]] || grep -q '^SKIP templates_moved: no --db3 given' "$WORK/out" || fail "verify: templates_moved"
    [[ $FROM == 0.0.0 ]] && check_verify_and_plan_on_copies "$db" "$incr"
    ;;

*)
    fail "unknown case"
    ;;
esac
echo "PASS [$LABEL]"
