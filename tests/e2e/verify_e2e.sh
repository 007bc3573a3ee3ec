#!/usr/bin/env bash
# End-to-end runs of `visitor-upgrade verify`:
#   verify_e2e.sh faults HOST ROOT   a full upgrade from 0.0.0 verifies clean (text and JSON, also over a
#                                    SELECT-only role and a read-only connection); then one fault of each
#                                    kind, planted in a copy, fails its check alone and names the planted key
#   verify_e2e.sh usage  HOST ROOT   usage errors exit 2, an unreachable database exits 2, a database
#                                    without the module exits 1
# Needs the e2e.chain_setup fixture (lumo, the incremental database template).
# Exit 0 pass, 1 fail.
set -uo pipefail

LABEL=$1 HOST=$2 ROOT=$3
# shellcheck source=tests/e2e/lib.sh
. "$ROOT/tests/e2e/lib.sh"
ROLE=vsu_verify_reader_$$
trap 'cleanup; psql -X -q -d postgres -c "DROP ROLE IF EXISTS $ROLE" >/dev/null 2>&1' EXIT
CHECKS=(status_rows visit_records appointment_processes review_conversions processes_with_appointment record_ids
    sub_table_keys check_point_sets templates_moved)

# verify_fails DB INCR CHECK KEY: verify exits 1, CHECK alone fails, and one of its key lines holds KEY.
verify_fails() {
    local db=$1 incr=$2 check=$3 key=$4 name
    host verify --db1 "dbname=$db" --db3 "dbname=$incr"
    [[ $RC -eq 1 ]] || fail "$check: verify exited $RC, expected 1"
    for name in "${CHECKS[@]}"; do
        if [[ $name == "$check" ]]; then
            grep -q "^FAIL $name: [0-9]* checked, [1-9][0-9]* offending; " "$WORK/out" || fail "$check does not fail"
        else
            grep -q "^PASS $name: " "$WORK/out" || fail "planted for $check, $name does not pass"
        fi
    done
    # The key lines of the failing check follow its line, indented.
    sed -n "/^FAIL $check: /,/^[A-Z]/p" "$WORK/out" | grep '^    ' | grep -Fq -- "$key" ||
        fail "$check does not name the planted key '$key'"
    grep -q "^verify: FAIL, 1 of ${#CHECKS[@]} checks do not hold$" "$WORK/out" || fail "$check: summary line"
}

case $LABEL in
faults)
    build_at db 0.0.0 --scale 300
    new_db incr
    createdb -T e2e_chain_incr_template "$incr" || fail "copy of the incremental database"
    # The seed names element 1 by two live check points; the rebuild then gives its set twice, as it must,
    # which verify reports. A site with one live check point per element is what this case upgrades.
    q "$db" "UPDATE visitor.visit_checkout_point SET is_deleted = 1 WHERE id = 6" >/dev/null
    host run --from 0.0.0 --pass config,records --db1 "dbname=$db" --workdir "$ROOT/fixtures" --log-file "$WORK/log"
    [[ $RC -eq 0 ]] || fail "config,records exited $RC"
    host run --from 0.0.0 --pass config-incr,records-incr --db1 "dbname=$db" --db3 "dbname=$incr" \
        --workdir "$ROOT/fixtures" --log-file "$WORK/log"
    [[ $RC -eq 0 ]] || fail "config-incr,records-incr exited $RC"

    # Clean: every check passes, with the counts of what it looked at.
    host verify --db1 "dbname=$db" --db3 "dbname=$incr"
    [[ $RC -eq 0 ]] || fail "verify after the upgrade exited $RC"
    [[ $(grep -c '^PASS ' "$WORK/out") -eq ${#CHECKS[@]} ]] || fail "not every check passes"
    grep -q "^PASS visit_records: $(q "$db" "SELECT count(*) FROM rt_data.visitor_record") checked, 0 offending; " \
        "$WORK/out" || fail "visit_records does not count the source records"
    grep -q '^verify: PASS, every check holds$' "$WORK/out" || fail "summary line"
    host verify --db1 "dbname=$db" --db3 "dbname=$incr" --json
    [[ $RC -eq 0 ]] || fail "verify --json exited $RC"
    # The server parses the document: one object, every check with its counts.
    json=$(cat "$WORK/out")
    [[ $(q "$db" "SELECT (\$j\$$json\$j\$::json)->>'result' || ' ' || json_array_length(\$j\$$json\$j\$::json->'checks')
                  || ' ' || (SELECT count(*) FROM json_array_elements(\$j\$$json\$j\$::json->'checks') c
                             WHERE c->>'result' = 'PASS' AND (c->>'checked')::bigint >= 0 AND (c->>'offending')::int = 0)") \
        == "PASS ${#CHECKS[@]} ${#CHECKS[@]}" ]] || fail "JSON document"

    # Read-only: a role that may only read, and a connection whose transactions are read-only.
    q postgres "CREATE ROLE $ROLE LOGIN" >/dev/null
    for d in "$db" "$incr"; do
        q "$d" "GRANT USAGE ON SCHEMA platform, visitor, officeworkflow, rt_data TO $ROLE;
                GRANT SELECT ON ALL TABLES IN SCHEMA platform, visitor, officeworkflow, rt_data TO $ROLE" >/dev/null
    done
    host verify --db1 "dbname=$db user=$ROLE" --db3 "dbname=$incr user=$ROLE"
    [[ $RC -eq 0 ]] || fail "verify as a role that may only read exited $RC"
    RC=0
    PGOPTIONS='-c default_transaction_read_only=on' "$HOST" verify --db1 "dbname=$db" --db3 "dbname=$incr" \
        >"$WORK/out" 2>"$WORK/err" || RC=$?
    [[ $RC -eq 0 ]] || fail "verify on a read-only connection exited $RC"

    # One fault of each kind, each in a copy of the upgraded databases: CHECK, KEY, SQL on the module
    # database (or "incr:" SQL on the incremental database).
    guid=$(q "$db" "SELECT object_guid FROM rt_data.visitor_record ORDER BY id LIMIT 1 OFFSET 10")
    appointment=$(q "$db" "SELECT id FROM visitor.visitor_appoint_record WHERE object_guid LIKE 'appoint-%' ORDER BY id LIMIT 1")
    flow=$(q "$db" "SELECT appoint_approval_flow_id FROM visitor.visitor_appoint_record WHERE id = $appointment")
    review=$(q "$db" "SELECT id FROM visitor.visitor_appoint_reveiw_record WHERE is_deleted = 0
                      AND appoint_review_status IN (0, 2, 3) ORDER BY id LIMIT 1")
    record=$(q "$db" "SELECT id FROM visitor.visitor_record_p2023 ORDER BY id LIMIT 1")
    pkey=$(q "$db" "SELECT conname FROM pg_constraint WHERE conrelid = 'visitor.visitor_record_p2024'::regclass AND contype = 'p'")
    FAULTS=(
        "visit_records|object_guid '$guid'|DELETE FROM visitor.visitor_record WHERE object_guid = '$guid'"
        "visit_records|object_guid '$guid'|INSERT INTO visitor.visitor_record SELECT (nextval('visitor.visitor_record_id_seq')), object_guid, visitor_id, interviewee_id, visit_reason, visit_reason_detail, visitor_status, start_valid_time, end_valid_time, create_time, update_time, start_time_differ, end_time_differ, temper, temper_status, is_deleted FROM visitor.visitor_record WHERE object_guid = '$guid'"
        "visit_records|object_guid '$guid'|UPDATE visitor.visitor_record SET temper_status = temper_status + 1 WHERE object_guid = '$guid'"
        "status_rows|version_no '1.12.0': status 2|UPDATE platform.module_version_status SET status = 2 WHERE module_identity = 'visitor.s'"
        "appointment_processes|appointment id $appointment, flow number '$flow': 0 approval processes|DELETE FROM officeworkflow.approve_process WHERE process_num = '$flow'"
        "appointment_processes|appointment id $appointment, flow number '$flow': 2 approval processes|INSERT INTO officeworkflow.approve_process (id, process_num, process_type) VALUES (-5, '$flow', 4)"
        "review_conversions|review record id $review, flow number NULL|UPDATE visitor.visitor_appoint_reveiw_record SET appoint_approval_flow_id = NULL WHERE id = $review"
        "processes_with_appointment|approval process id -6, number 'planted-orphan'|INSERT INTO officeworkflow.approve_process (id, process_num, process_type) VALUES (-6, 'planted-orphan', 4)"
        "record_ids|visitor.visitor_record id $record: 2 rows (visitor.visitor_record_p2023, visitor.visitor_record_p2024)|INSERT INTO visitor.visitor_record (id, object_guid, create_time) VALUES ($record, 'planted-duplicate', '2024-06-01')"
        "sub_table_keys|visitor.visitor_record_p2024 (sub-table of visitor.visitor_record)|ALTER TABLE visitor.visitor_record_p2024 DROP CONSTRAINT $pkey"
        "check_point_sets|element 2: reader 13 type 8 live 2 times|INSERT INTO visitor.visit_checkout_point (id, element_id, cardreader_id, type, is_deleted) SELECT -id, element_id, cardreader_id, type, 0 FROM visitor.visit_checkout_point WHERE element_id = 2 AND is_deleted = 0"
        "templates_moved|template id 9001, type 1: still in the incremental database|incr:INSERT INTO visitor.emailtemplate (id, template_type, name) VALUES (9001, 1, 'Left behind')"
    )
    for fault in "${FAULTS[@]}"; do
        IFS='|' read -r check key sql <<<"$fault"
        new_db copy && new_db incr_copy
        createdb -T "$db" "$copy" && createdb -T "$incr" "$incr_copy" || fail "copies for $check"
        if [[ $sql == incr:* ]]; then q "$incr_copy" "${sql#incr:}" >/dev/null; else q "$copy" "$sql" >/dev/null; fi
        verify_fails "$copy" "$incr_copy" "$check" "$key"
        dropdb "$copy" && dropdb "$incr_copy"
    done
    ;;

usage)
    for args in "verify" "verify --db1" "verify --db1 dbname=x --unknown" "verify --db1 dbname=x --json=3"; do
        # shellcheck disable=SC2086
        host $args
        [[ $RC -eq 2 ]] || fail "'$args' exited $RC, expected 2"
        grep -q '^visitor-upgrade: ' "$WORK/err" || fail "'$args': no usage line"
        [[ ! -s $WORK/out ]] || fail "'$args' printed a report"
    done
    host verify --db1 "dbname=e2e_verify_no_such_database_$$"
    [[ $RC -eq 2 ]] || fail "unreachable database exited $RC, expected 2"
    grep -q '^visitor-upgrade: cannot connect with --db1: ' "$WORK/err" || fail "unreachable database: line"
    # A database that is no module database: the checks cannot run, which proves nothing: exit 1.
    host verify --db1 "dbname=postgres"
    [[ $RC -eq 1 ]] || fail "verify of a database without the module exited $RC, expected 1"
    grep -q '^ERROR status_rows: could not check that .*platform.module_version_status' "$WORK/out" ||
        fail "no ERROR line naming the missing status table"
    ;;

*)
    fail "unknown case"
    ;;
esac
echo "PASS [$LABEL]"
