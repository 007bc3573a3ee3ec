#!/usr/bin/env bash
# End-to-end runs of the whole upgrade chain through the visitor-upgrade command:
#   chain_e2e.sh setup|cleanup                         HOST ROOT
#   chain_e2e.sh from VERSION                          HOST ROOT
# `from VERSION` builds the reference database at VERSION (fixtures/build-at),
# runs config,records and then config-incr,records-incr against a copy of the
# incremental database, and checks the status row and what every step of the
# chain must leave in both databases. The checks hold whatever the start:
# build-at brought the database to VERSION through the same plug-in, so the
# steps before VERSION ran as well; checks of incremental work apply only to the
# steps that are in the chain from VERSION.
# Exit 0 pass, 1 fail.
set -uo pipefail

CASE=$1
if [[ $CASE == from ]]; then FROM=$2; shift; fi
HOST=$2 ROOT=$3 LABEL="$CASE${FROM:+ $FROM}"
# shellcheck source=tests/e2e/lib.sh
. "$ROOT/tests/e2e/lib.sh"
SCALE=600
INCR_TEMPLATE=e2e_chain_incr_template
VERSIONS=(0.0.0 1.0.0 1.3.0 1.6.0 1.7.0 1.8.0 1.9.0 1.10.0 1.11.0 1.12.0 1.13.0 1.14.0 1.15.0)

# Index of the step that starts at VERSION (0 = the base step).
step_index() {
    local i
    for i in "${!VERSIONS[@]}"; do [[ ${VERSIONS[$i]} == "$1" ]] && { echo "$i"; return; }; done
    fail "no step starts at $1"
}

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
    # Every visit record copied once, texts with quotes and backslashes and times unchanged.
    expect "$db" "copied visit records" "SELECT count(*) FROM visitor.visitor_record WHERE object_guid NOT LIKE 'dup-%'" \
        "$(q "$db" "SELECT count(*) FROM rt_data.visitor_record")"
    expect "$db" "source rows not copied exactly once or changed" \
        "SELECT count(*) FROM rt_data.visitor_record r WHERE (
           SELECT count(*) FROM visitor.visitor_record v WHERE v.object_guid = r.object_guid
              AND (v.visitor_id, v.interviewee_id, v.visit_reason, v.visit_reason_detail, v.visitor_status,
                   v.start_valid_time, v.end_valid_time, v.create_time, v.update_time, v.temper, v.temper_status,
                   v.is_deleted)
              IS NOT DISTINCT FROM (r.visitor_id, r.interviewee_id, r.visit_reason, r.visit_reason_detail,
                   r.visitor_status, r.start_valid_time, r.end_valid_time, r.create_time, r.update_time, r.temper,
                   r.temper_status, r.is_deleted)) <> 1" 0
}

# 1.3.0 -> 1.6.0: records take the group of the visitor's earliest membership (or none).
check_group_fixup() {
    local db=$1 t
    for t in visitor_record visitor_appoint_record; do
        expect "$db" "group fix-up of $t" \
            "SELECT count(*) FROM visitor.$t x WHERE x.object_guid NOT LIKE 'review-%'
               AND x.visitor_group_id IS DISTINCT FROM (SELECT g.visitor_group_id FROM visitor.visit_group_visitor_rel g
                   WHERE g.visitor_id = x.visitor_id ORDER BY g.update_time LIMIT 1)" 0
    done
    expect "$db" "records in group 1 (sanity)" "SELECT count(*) > 0 FROM visitor.visitor_record WHERE visitor_group_id = 1" t
}

# 1.9.0 -> 1.10.0: one row per id, the earliest by create_time; a primary key on every sub-table.
check_duplicates_and_keys() {
    local db=$1 t
    for t in visitor_appoint_record visitor_appoint_reveiw_record visitor_record; do
        expect "$db" "duplicate ids in $t" "SELECT count(*) FROM (SELECT id FROM visitor.$t GROUP BY id HAVING count(*) > 1) d" 0
        expect "$db" "sub-tables of $t without a primary key" \
            "SELECT count(*) FROM pg_inherits i WHERE i.inhparent = 'visitor.$t'::regclass AND NOT EXISTS (
               SELECT 1 FROM pg_constraint c WHERE c.conrelid = i.inhrelid AND c.contype = 'p')" 0
        expect "$db" "sub-tables of $t" "SELECT count(*) >= 2 FROM pg_inherits WHERE inhparent = 'visitor.$t'::regclass" t
    done
    [[ $2 == module ]] || return 0
    expect "$db" "rows kept of duplicated ids" \
        "SELECT string_agg(object_guid, ',' ORDER BY object_guid) FROM (
           SELECT object_guid FROM visitor.visitor_record WHERE id IN (2000000001, 2000000002)
           UNION ALL SELECT object_guid FROM visitor.visitor_appoint_record WHERE id IN (5, 17)
           UNION ALL SELECT object_guid FROM visitor.visitor_appoint_reveiw_record WHERE id = 3) k" \
        "appoint-17,appoint-5,dup-a1,dup-n2,review-3"
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

# 1.11.0 -> 1.12.0 records: every appointment in the workflow; live reviews of status 0, 2, 3 converted.
check_approval() {
    local db=$1
    expect "$db" "appointments without flow number or process" \
        "SELECT count(*) FROM visitor.visitor_appoint_record a WHERE coalesce(a.appoint_approval_flow_id, '') = ''
           OR NOT EXISTS (SELECT 1 FROM officeworkflow.approve_process p WHERE p.process_num = a.appoint_approval_flow_id)" 0
    expect "$db" "seeded appointments: flow number = date digits and process id, submitter, process, node" \
        "SELECT count(*) FROM visitor.visitor_appoint_record a WHERE a.object_guid LIKE 'appoint-%' AND NOT EXISTS (
           SELECT 1 FROM officeworkflow.approve_process p JOIN officeworkflow.approve_process_node n
             ON n.approve_process_id = p.id AND n.node_status = 1
           WHERE p.process_num = a.appoint_approval_flow_id AND p.process_type = 4 AND p.status = 1
             AND p.applicant_id = a.interviewee_id
             AND a.appoint_approval_flow_id = to_char(a.create_time, 'YYYYMMDD') || p.id
             AND a.submit_person_type = 0 AND a.submit_person_id = 1)" 0
    expect "$db" "live reviews of status 0, 2, 3 without their appointment and process" \
        "SELECT count(*) FROM visitor.visitor_appoint_reveiw_record r WHERE r.is_deleted = 0
           AND r.appoint_review_status IN (0, 2, 3) AND NOT EXISTS (
             SELECT 1 FROM visitor.visitor_appoint_record a JOIN officeworkflow.approve_process p
               ON p.process_num = a.appoint_approval_flow_id
             WHERE a.appoint_approval_flow_id = r.appoint_approval_flow_id AND a.object_guid = r.object_guid
               AND a.is_deleted = 0
               AND (a.appointment_status, p.status, p.abnormal_cause) = (
                   CASE r.appoint_review_status WHEN 2 THEN 9 WHEN 3 THEN 1 ELSE 8 END,
                   CASE r.appoint_review_status WHEN 2 THEN 3 WHEN 3 THEN 5 ELSE 0 END,
                   CASE r.appoint_review_status WHEN 3 THEN 3 ELSE 0 END))" 0
    expect "$db" "other reviews converted" \
        "SELECT count(*) FROM visitor.visitor_appoint_reveiw_record WHERE (is_deleted <> 0 OR appoint_review_status NOT IN (0, 2, 3))
           AND coalesce(appoint_approval_flow_id, '') <> ''" 0
}

# 1.13.0 -> 1.14.0 and 1.14.0 -> 1.15.0: default templates, built-in WhatsApp templates, bodies rewritten.
check_templates() {
    local db=$1
    expect "$db" "default templates" "SELECT string_agg(id::text, ',' ORDER BY id) FROM visitor.emailtemplate WHERE is_default = 1" \
        "1,2,3,4,5,6"
    expect "$db" "built-in templates" "SELECT count(*) FROM visitor.emailtemplate WHERE name LIKE 'Built-in %'" 4
    expect "$db" "WhatsApp template ids" \
        "SELECT string_agg(whats_app_id_for_appoint_success || ',' || whats_app_id_for_appoint_fail || ',' ||
                whats_app_id_for_appoint_review || ',' || whats_app_id_for_push_info_firstly, ';') FROM visitor.visit_basic_config" \
        "4,5,6,0"
    expect "$db" "rewritten bodies and buttons of types 3 and 6" \
        "SELECT string_agg(id || '|' || content || '|' || button_info, E'\n' ORDER BY id) FROM visitor.emailtemplate
         WHERE id IN (4, 7, 8, 9)" \
        "4|Before  between  after|View QR Code
7|Open  or \${H5URL} later|Reserve
8|It's ready \\ no placeholder|View QR Code
9|Old |Reserve"
    expect "$db" "placeholders left in built-in templates of types 3 and 6" \
        "SELECT count(*) FROM visitor.emailtemplate WHERE name LIKE 'Built-in %' AND template_type IN (3, 6)
           AND (content LIKE '%\${DynamicQrcodeUrl}%' OR content LIKE '%\${StaticQrcodePic}%' OR content LIKE '%\${H5URL}%')" 0
    expect "$db" "untouched types keep their bodies" \
        "SELECT string_agg(content, '|' ORDER BY id) FROM visitor.emailtemplate WHERE id IN (1, 5)" \
        "Hello \${VisitorName}, you are checked in.|Sorry, declined."
}

# ---- incremental work, per step in the chain ----

# 1.11.0 -> 1.12.0 incremental records: marked 2/3 take over the module database's flow number.
check_approval_incremental() {
    local db=$1 incr=$2 id own theirs
    for id in 1 2; do
        own=$(q "$incr" "SELECT appoint_approval_flow_id FROM visitor.visitor_appoint_record WHERE id = $id")
        theirs=$(q "$db" "SELECT appoint_approval_flow_id FROM visitor.visitor_appoint_record WHERE id = $id")
        [[ -n $own && $own == "$theirs" ]] || fail "incremental appointment $id has flow number '$own', module database '$theirs'"
    done
    expect "$incr" "added appointments without a marked process of their own" \
        "SELECT count(*) FROM visitor.visitor_appoint_record a WHERE a.object_guid LIKE 'appoint-new-%'
           AND a.is_deleted = 0 AND NOT EXISTS (
             SELECT 1 FROM officeworkflow.approve_process p WHERE p.process_num = a.appoint_approval_flow_id
               AND p.row_status_implicit_upgrade = 1 AND p.related_id_implicit_upgrade = 0)" 0
}

# 1.13.0 -> 1.14.0 incremental configuration: live templates moved, references re-pointed by name.
check_templates_incremental() {
    local db=$1 incr=$2
    expect "$incr" "templates left in the incremental database" "SELECT count(*) FROM visitor.emailtemplate" 0
    expect "$db" "moved templates" \
        "SELECT string_agg(template_type || '|' || name || '|' || subject || '|' || content, E'\n' ORDER BY template_type)
         FROM visitor.emailtemplate WHERE id > 9 AND name NOT LIKE 'Built-in %'" \
        "0|Check-in notice|Checked in (new)|Welcome \${VisitorName}
1|Added appointment O'Hara \\ notice|Booked|\${VisitorName} booked.
2|Added review notice|Review|Review \${VisitorName}."
    expect "$incr" "appointment and review references re-pointed" \
        "SELECT string_agg(appoint_emailtemplate_id || ',' || appoint_review_emailtemplate_id, ';') FROM visitor.visit_basic_config" \
        "$(q "$db" "SELECT (SELECT id FROM visitor.emailtemplate WHERE name = 'Added appointment O''Hara \\ notice') || ',' ||
                          (SELECT id FROM visitor.emailtemplate WHERE name = 'Added review notice')")"
    expect "$incr" "check-in reference points at a template of that name" \
        "SELECT checkin_emailtemplate_id IN ($(q "$db" "SELECT string_agg(id::text, ',') FROM visitor.emailtemplate
                                                       WHERE name = 'Check-in notice'")) FROM visitor.visit_basic_config" t
    expect "$incr" "WhatsApp template ids" \
        "SELECT string_agg(whats_app_id_for_appoint_success || ',' || whats_app_id_for_appoint_fail || ',' ||
                whats_app_id_for_appoint_review || ',' || whats_app_id_for_push_info_firstly, ';') FROM visitor.visit_basic_config" \
        "4,5,6,0"
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
    index=$(step_index "$FROM")
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

    check_base_step "$db"
    check_group_fixup "$db"
    check_duplicates_and_keys "$db" module
    check_points_and_flags "$db"
    check_approval "$db"
    check_templates "$db"
    expect "$db" "schema version written by the last script" \
        "SELECT value FROM visitor.module_schema_info WHERE key = 'schema_version'" 1.16.0
    expect "$incr" "last script replayed on the incremental database" \
        "SELECT value FROM visitor.module_schema_info WHERE key = 'schema_version'" 1.16.0
    # Incremental work of the steps in the chain from FROM (step k starts at VERSIONS[k]).
    ((index <= 6)) && check_duplicates_and_keys "$incr" incremental
    ((index <= 8)) && check_approval_incremental "$db" "$incr"
    ((index <= 10)) && check_templates_incremental "$db" "$incr"
    ;;

*)
    fail "unknown case"
    ;;
esac
echo "PASS [$LABEL]"
