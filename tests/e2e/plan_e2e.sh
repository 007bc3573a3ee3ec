#!/usr/bin/env bash
# End-to-end cases of `visitor-upgrade plan` and of the script history that the
# plug-in keeps and `run` checks, one per invocation:
#   plan_e2e.sh CASE /path/to/visitor-upgrade /path/to/source-root
# Each case works in databases of its own on the server of $VSU_PG_DIR/env.
# Exit 0 pass, 1 fail.
set -uo pipefail

LABEL=$1 HOST=$2 ROOT=$3
# shellcheck source=tests/e2e/lib.sh
. "$ROOT/tests/e2e/lib.sh"
# Plan on a connection whose transactions are read-only, as on a hot standby.
plan() { RC=0; PGOPTIONS='-c default_transaction_read_only=on' "$HOST" plan "$@" >"$WORK/out" 2>"$WORK/err" || RC=$?; }
expect_out() { grep -Fq -- "$1" "$WORK/out" || fail "stdout lacks '$1'"; }
SCRIPTS=META_INFO/visitor.s/runtime_script/db_init
sha() { sha256sum "$1" | cut -d' ' -f1; }

# Everything a plan could have written: status rows, marks, history.
footprint() {
    q "$1" "SELECT (SELECT count(*) FROM platform.module_version_status),
        to_regclass('visitor.module_upgrade_marker') IS NULL, to_regclass('visitor.module_upgrade_script_history') IS NULL"
}

case $LABEL in
plan_from_0_0_0_and_1_11_0_lists_steps_scripts_and_rows_read_only)
    build_at db 0.0.0 --scale 300
    before=$(footprint "$db")
    plan --db1 "dbname=$db" --from 0.0.0 --workdir "$ROOT/fixtures"
    expect_rc 0 "plan from 0.0.0"
    expect_out "installed version: 0.0.0 (--from)"
    expect_out "target version: 1.16.0"
    [[ $(grep -c '^step ' "$WORK/out") -eq 13 ]] || fail "expected 13 steps"
    expect_out "step 0.0.0 -> 1.0.0 CRawTo100: passes config, records"
    expect_out "step 1.15.0 -> 1.16.0 C1150ToC1160: passes config, records"
    f=$SCRIPTS/update_V1.14.0/init_data.sql
    expect_out "  config script $ROOT/fixtures/$f $(stat -c %s "$ROOT/fixtures/$f") bytes sha256 $(sha "$ROOT/fixtures/$f") not run before"
    expect_out "  records rt_data.visitor_record: $(q "$db" "SELECT count(*) FROM rt_data.visitor_record") rows to convert"
    expect_out "runnable: 13 steps"
    [[ $(footprint "$db") == "$before" ]] || fail "plan wrote: $before -> $(footprint "$db")"
    # With the incremental database the incremental passes and their scripts come in.
    plan --db1 "dbname=$db" --db3 "dbname=$db" --from 1.9.0 --workdir "$ROOT/fixtures"
    expect_rc 0 "plan with --db3"
    expect_out "step 1.9.0 -> 1.10.0 C190ToC1100: passes config, records, config-incr, records-incr"
    expect_out "  records-incr script $ROOT/fixtures/$SCRIPTS/update_V1.6.0/update.sql"
    expect_out "  config-incr script $ROOT/fixtures/$SCRIPTS/update_V1.16.0/update.sql"
    # Without --from and without a status row the installed version is unknown.
    plan --db1 "dbname=$db" --workdir "$ROOT/fixtures"
    expect_rc 1 "plan without status row and --from"
    expect_out "the upgrade would fail: the installed version is unknown"

    build_at db 1.11.0 --scale 300
    plan --db1 "dbname=$db" --workdir "$ROOT/fixtures" --json
    expect_rc 0 "plan --json at 1.11.0"
    python3 - "$WORK/out" "$(q "$db" "SELECT count(*) FROM visitor.visitor_appoint_record")" <<'PY' || fail "JSON plan"
import json, sys
plan = json.load(open(sys.argv[1]))
assert plan["installed"] == "1.11.0" and plan["installed_from"] == "status row", plan
assert plan["target"] == "1.16.0" and plan["runnable"] and plan["problems"] == []
steps = plan["steps"]
assert [s["class"] for s in steps][:2] == ["C1110ToC1120", "C1120ToC1130"] and len(steps) == 5, steps
assert steps[0]["records"] == {"table": "visitor.visitor_appoint_record", "rows": int(sys.argv[2]), "resume": None}
assert all(len(s["sha256"]) == 64 and s["size"] > 0 for st in steps for s in st["scripts"])
PY
    ;;

plan_lists_what_would_fail_and_exits_1)
    build_at db 1.15.0 --scale 300 --schema-only
    cp -r "$ROOT/fixtures/META_INFO" "$WORK/"
    rm "$WORK/$SCRIPTS/update_V1.9.0/update.sql"
    : >"$WORK/$SCRIPTS/update_V1.16.0/update.sql"
    plan --db1 "dbname=$db" --from 1.12.0 --workdir "$WORK"
    expect_rc 1 "plan with a missing and an empty script"
    expect_out "the upgrade would fail: delivered script $WORK/$SCRIPTS/update_V1.9.0/update.sql is missing"
    expect_out "the upgrade would fail: delivered script $WORK/$SCRIPTS/update_V1.16.0/update.sql is empty"
    expect_out "  config script $WORK/$SCRIPTS/update_V1.9.0/update.sql missing"
    plan --db1 "dbname=$db" --from 1.2.0 --workdir "$WORK"
    expect_rc 1 "plan from a version without step"
    expect_out "the upgrade would fail: no upgrade step starts at 1.2.0"
    plan --db1 "dbname=$db" --workdir "$ROOT/fixtures"
    expect_rc 0 "plan at 1.15.0 from the status row"
    expect_out "installed version: 1.15.0 (status row)"
    new_db plain
    createdb "$plain" || fail "createdb"
    plan --db1 "dbname=$plain"
    expect_rc 1 "plan on a database that is not a module database"
    expect_out "the upgrade would fail: --db1 is not a module database: it has no table platform.module_version_status"
    for args in "" "--db1 dbname=$db --from 1.x" "--db1 dbname=$db --workdir /nonexistent-dir"; do
        # shellcheck disable=SC2086
        plan $args
        expect_rc 2 "plan $args"
    done
    ;;

plan_of_interrupted_records_pass_shows_where_it_resumes)
    build_at db 0.0.0 --scale 300
    read -r lo hi < <(q "$db" "SELECT min(id), max(id) FROM rt_data.visitor_record" | tr '|' ' ')
    at=$(((lo + hi) / 2))
    q "$db" "INSERT INTO platform.module_version_status (module_identity, version_no, status, schedule, rate_progress,
        step_ver) VALUES ('visitor.s', '1.12.0', 2, 0, $at, '0.0.0')" >/dev/null
    plan --db1 "dbname=$db" --workdir "$ROOT/fixtures"
    expect_rc 0 "plan of an interrupted records pass"
    expect_out "installed version: 0.0.0 (status row)"
    expect_out "resumes at id $at of $hi"
    ;;

changed_script_refused_then_allowed_and_failures_recorded)
    build_at db 1.15.0 --scale 300 --schema-only
    cp -r "$ROOT/fixtures/META_INFO" "$WORK/"
    f=$SCRIPTS/update_V1.16.0/update.sql
    host run --from 1.15.0 --pass config --db1 "dbname=$db" --workdir "$WORK"
    expect_rc 0 "first run"
    [[ $(q "$db" "SELECT path || ' ' || sha256 || ' ' || outcome || ' ' || step_ver || ' ' || pass
        FROM visitor.module_upgrade_script_history") == "$f $(sha "$WORK/$f") success 1.16.0 UpgradeCourse_Config" ]] ||
        fail "history after the run: $(q "$db" "TABLE visitor.module_upgrade_script_history")"
    when=$(q "$db" "SELECT to_char(run_time, 'YYYY-MM-DD HH24:MI:SS') FROM visitor.module_upgrade_script_history")
    printf -- '-- amended\n' >>"$WORK/$f"
    plan --db1 "dbname=$db" --workdir "$WORK"
    expect_rc 1 "plan with a changed script"
    expect_out "sha256 $(sha "$WORK/$f") changed since it ran on $when"
    before=$(q "$db" "SELECT count(*) FROM visitor.module_upgrade_script_history")
    status=$(q "$db" "TABLE platform.module_version_status")
    host run --from 1.15.0 --pass config,records --db1 "dbname=$db" --workdir "$WORK"
    expect_rc 1 "run with a changed script"
    grep -Fq "delivered script $WORK/$f changed since it ran successfully on $when" "$WORK/err" ||
        fail "the refusal does not name the script"
    [[ $(q "$db" "TABLE platform.module_version_status") == "$status" ]] || fail "the refused run wrote status"
    host run --from 1.15.0 --pass config,records --db1 "dbname=$db" --workdir "$WORK" --allow-changed-scripts
    expect_rc 0 "run with --allow-changed-scripts"
    # The configuration pass was done: the changed script is not sent again, nothing is added.
    [[ $(q "$db" "SELECT count(*) FROM visitor.module_upgrade_script_history") -eq $before ]] || fail "history grew"

    # A failing script: its failure row survives the rolled-back pass.
    build_at db 1.15.0 --scale 300 --schema-only
    printf 'SELECT 1/0;\n' >"$WORK/$f"
    host run --from 1.15.0 --pass config --db1 "dbname=$db" --workdir "$WORK"
    expect_rc 1 "run of a failing script"
    [[ $(q "$db" "SELECT path || ' ' || sha256 || ' ' || outcome FROM visitor.module_upgrade_script_history") == \
        "$f $(sha "$WORK/$f") failure" ]] || fail "failure row: $(q "$db" "TABLE visitor.module_upgrade_script_history")"
    [[ $(q "$db" "SELECT count(*) FROM visitor.module_upgrade_marker") -eq 0 ]] || fail "the failed pass was marked"
    ;;

*)
    fail "unknown case"
    ;;
esac
echo "PASS [$LABEL]"
