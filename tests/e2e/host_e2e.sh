#!/usr/bin/env bash
# End-to-end cases of the visitor-upgrade command, one per invocation:
#   host_e2e.sh CASE /path/to/visitor-upgrade /path/to/source-root
# Each case works in databases of its own (tests/e2e/lib.sh).
# Exit 0 pass, 1 fail.
set -uo pipefail

LABEL=$1 HOST=$2 ROOT=$3
# shellcheck source=tests/e2e/lib.sh
. "$ROOT/tests/e2e/lib.sh"
one_line() { [[ $(wc -l <"$WORK/err") -eq 1 ]] || fail "expected one stderr line ($1)"; }
# refused RC ERE ARGS: the command with ARGS exits RC with one stderr line, matching ERE, and no report.
refused() {
    expect_run "$@"
    one_line "${*:3}"
    [[ ! -s $WORK/out ]] || fail "'${*:3}' printed a report"
}
status_rows() { q "$1" "SELECT count(*) FROM platform.module_version_status"; }
sha() { sha256sum "$1" | cut -d' ' -f1; }
# base_db VAR: a new database with the base schema only.
base_db() { new_db "$1" && createdb "${!1}" && "${PSQL[@]}" -d "${!1}" -f "$ROOT/fixtures/schema/base.sql" || fail "base schema"; }

case $LABEL in
refusals_before_anything_is_sent_exit_2_and_touch_no_database)
    base_db db
    # Usage errors of every command: exit 2, one line, no report.
    for args in "run --from 1.15.0 --pass config" "run --from 1.15.0 --pass configure --db1 dbname=$db" \
        "run --from 1.15.0 --pass config,records-incr --db1 dbname=$db" "run --pass config --db1 dbname=$db" \
        "run --from 1.15.0 --pass config --db1 dbname=$db --log-level 7" "status" "frobnicate" "" \
        "run --from 1.15.0 --pass config --db1 dbname=$db --workdir /nonexistent-dir" "verify" "verify --db1" \
        "verify --db1 dbname=x --unknown" "verify --db1 dbname=x --json=3" "plan" "plan --db1 dbname=$db --from 1.x" \
        "plan --db1 dbname=$db --workdir /nonexistent-dir"; do
        # shellcheck disable=SC2086
        refused 2 '^visitor-upgrade: ' $args
    done
    # Versions are checked before anything is sent; the value is shown escaped, on one line.
    for from in "" 1.12 1.10.0.1 $'1.15.0\nversion_no=forged' 1.4294967296.0 " 1.15.0" -1.0.0 \
        "$(printf '0%.0s' {1..27})1.15.0" 1.4.0 1.16.0; do
        shown=${from//$'\n'/\\n}
        line="visitor-upgrade: --from \"${shown// /\\x20}\" is not a version: expected three dot-separated decimal numbers such as 1.15.0 (each at most 4294967295, 32 characters in all)"
        [[ $from == 1.4.0 || $from == 1.16.0 ]] &&
            line="visitor-upgrade: no upgrade step starts at --from $from: the steps start at 0.0.0, 1.0.0, 1.3.0, 1.6.0, 1.7.0, 1.8.0, 1.9.0, 1.10.0, 1.11.0, 1.12.0, 1.13.0, 1.14.0, 1.15.0 and end at 1.16.0; nothing was sent"
        refused 2 '' run --from "$from" --pass config --db1 "dbname=$db" --workdir "$ROOT/fixtures"
        grep -Fxq "$line" "$WORK/err" || fail "--from '$from': the line differs"
    done
    refused 2 '^visitor-upgrade: --lock-timeout "3" is not a duration: expected a whole number with a unit' \
        run --from 1.15.0 --pass config --db1 "dbname=$db" --lock-timeout 3
    # Unreachable databases, a missing plug-in or export: exit 2 naming it; db1 reachable, db3 not: nothing
    # may have been sent to db1 either.
    refused 2 '^visitor-upgrade: cannot connect with --db1: ' run --from 1.15.0 --pass config --db1 "host=$WORK port=1 dbname=nowhere"
    refused 2 '^visitor-upgrade: cannot connect with --db1: ' verify --db1 "dbname=e2e_no_such_database_$$"
    refused 2 '^visitor-upgrade: ' status --db1 "host=$WORK port=1"
    refused 2 '^visitor-upgrade: cannot connect with --db3: .*no_such_database' \
        run --from 1.15.0 --pass config-incr --db1 "dbname=$db" --db3 "dbname=no_such_database_$$"
    refused 2 '^visitor-upgrade: --db3 reaches the database of --db1: the incremental passes read the incremental' \
        run --from 1.13.0 --pass config-incr --db1 "dbname=$db" --db3 "dbname=$db"
    refused 2 "^visitor-upgrade: plug-in not found: $WORK/nothing.so$" \
        run --from 1.15.0 --pass config --db1 "dbname=$db" --library "$WORK/nothing.so"
    refused 2 '^visitor-upgrade: export ProvideLastVersion \(_ZN23UnifiedUpgradeComponent.*\) not found' \
        run --from 1.15.0 --pass config --db1 "dbname=$db" --library "$BIN/libDBLayer.so"
    [[ $(status_rows "$db") -eq 0 ]] || fail "a refused run wrote a status row"
    # A database that is no module database: plan and verify cannot tell anything, which proves nothing: exit 1.
    plan --db1 "dbname=postgres"
    expect_rc 1 "plan on a database that is not a module database"
    expect_out "the upgrade would fail: --db1 is not a module database: it has no table platform.module_version_status"
    host verify --db1 "dbname=postgres"
    expect_rc 1 "verify of a database without the module"
    grep -q '^ERROR status_rows: could not check that .*platform.module_version_status' "$WORK/out" ||
        fail "no ERROR line naming the missing status table"
    host --version
    expect_rc 0 --version
    [[ $(cat "$WORK/out") == "1.16.0" ]] || fail "--version printed '$(cat "$WORK/out")'"
    # A password on the command line draws one warning that does not repeat it; the command goes on.
    for conninfo in "dbname=$db password=hunter2" "postgresql://:hunter2@/$db"; do
        host status --db1 "$conninfo"
        expect_rc 0 "status with a password in '$conninfo'"
        one_line "$conninfo"
        expect_err '^visitor-upgrade: warning: the password in --db1 can be read by every local user in the process list; give it by PGPASSWORD, PGPASSFILE or ~/.pgpass instead'
        ! grep -q hunter2 "$WORK/err" || fail "the warning repeats the password"
    done
    # The default plug-in is the one beside the command, not one of the working directory.
    mkdir -p "$WORK/alone" && cp "$HOST" "$BIN/libDBLayer.so" "$BIN/libQarnBase.so" "$WORK/alone/"
    (cd "$BIN" && "$WORK/alone/visitor-upgrade" --version >"$WORK/out" 2>"$WORK/err") && RC=0 || RC=$?
    expect_rc 2 "command without plug-in beside it"
    expect_err "plug-in not found: $WORK/alone/libvisitor.s.upgrade.so"
    ;;

second_host_refused_by_lock_and_killed_host_leaves_none)
    build_at db 1.15.0 --scale 1000 --schema-only
    cp -r "$ROOT/fixtures/META_INFO" "$WORK/"
    script=$WORK/${SCRIPTS#"$ROOT/fixtures/"}/update_V1.16.0/update.sql
    # The first host's script waits for a table that another session holds: it keeps the module lock meanwhile.
    q "$db" "CREATE TABLE public.e2e_barrier ()" >/dev/null
    echo "SELECT count(*) FROM public.e2e_barrier;" >"$script"
    psql -X -q -d "$db" -c "BEGIN" -c "LOCK TABLE public.e2e_barrier" -c "SELECT pg_sleep(600)" >/dev/null 2>&1 &
    holder=$!
    wait_until "$db" "SELECT count(*) = 1 FROM pg_locks WHERE relation = 'public.e2e_barrier'::regclass AND granted"
    "$HOST" run --from 1.15.0 --pass config --db1 "dbname=$db" --workdir "$WORK" >/dev/null 2>&1 &
    first=$!
    wait_until "$db" "SELECT count(*) = 1 FROM pg_locks WHERE relation = 'public.e2e_barrier'::regclass AND NOT granted"
    base_db other # the records passes write into --db2's database: held there, too, is held
    started=$SECONDS
    expect_run 2 '^visitor-upgrade: another upgrade of module visitor.s is running on this database \(server process [0-9]+' \
        run --from 1.15.0 --pass config --db1 "dbname=$db" --workdir "$WORK"
    expect_run 2 'is running on the database of --db2 \(server process [0-9]+' run --from 1.15.0 --pass config \
        --db1 "dbname=$other" --db2 "dbname=$db" --workdir "$WORK" --lock-timeout 5s
    ((SECONDS - started <= 10)) || fail "the second host waited instead of leaving at once"
    # The lock ends with the session: the killed first host blocks nobody once its session ends.
    kill -9 "$first"
    wait "$first" 2>/dev/null
    q "$db" "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '$db' AND query LIKE '%pg_sleep(600)%'
             AND pid <> pg_backend_pid()" >/dev/null
    wait "$holder" 2>/dev/null
    wait_until "$db" "SELECT count(*) = 1 FROM pg_stat_activity WHERE datname = '$db' AND backend_type = 'client backend'"
    echo "SELECT 1;" >"$script"
    host run --from 1.15.0 --pass config --db1 "dbname=$db" --workdir "$WORK"
    expect_rc 0 "run after a killed host"
    ;;

missing_or_empty_script_exits_1_and_writes_nothing_data_file_stands_in)
    build_at db 1.15.0 --scale 1000 --schema-only
    q "$db" "DELETE FROM platform.module_version_status" >/dev/null
    cp -r "$ROOT/fixtures/META_INFO" "$WORK/"
    scripts=$WORK/META_INFO/visitor.s/runtime_script/db_init
    mv "$scripts/update_V1.16.0/update.sql" "$WORK/update_V1.16.0.sql"
    : >"$scripts/update_V2.0/FDW_Drop_Tables.sql"
    rm "$scripts/update_V1.14.0/init_data.sql" "$scripts/update_V1.5.0/update.sql"
    base_db incr
    # One script of each kind: a step's own, the base step's second, the second of a step with two, one that
    # the incremental configuration pass replays.
    for args in "1.15.0 config,records update_V1.16.0/update.sql is missing" \
        "0.0.0 config update_V2.0/FDW_Drop_Tables.sql is empty" "1.13.0 config update_V1.14.0/init_data.sql is missing" \
        "1.8.0 config-incr update_V1.5.0/update.sql is missing"; do
        read -r from passes what <<<"$args"
        refused 1 "^visitor-upgrade: delivered script $scripts/$what \\(and no [^ ]+\\.data with text beside it\\); nothing was sent$" \
            run --from "$from" --pass "$passes" --db1 "dbname=$db" --db3 "dbname=$incr" --workdir "$WORK"
    done
    [[ $(status_rows "$db") -eq 0 ]] || fail "a run stopped by a missing script wrote a status row"
    [[ $(q "$db" "SELECT to_regclass('visitor.module_schema_info') IS NULL") == t ]] || fail "a script ran"
    # plan lists each of them, and a from-version without step.
    plan --db1 "dbname=$db" --from 0.0.0 --workdir "$WORK"
    expect_rc 1 "plan with missing and empty scripts"
    for line in "update_V1.16.0/update.sql is missing" "update_V2.0/FDW_Drop_Tables.sql is empty" \
        "update_V1.14.0/init_data.sql is missing"; do
        expect_out "the upgrade would fail: delivered script $scripts/$line"
    done
    expect_out "  config script $scripts/update_V1.14.0/init_data.sql missing"
    plan --db1 "dbname=$db" --from 1.2.0 --workdir "$WORK"
    expect_rc 1 "plan from a version without step"
    expect_out "the upgrade would fail: no upgrade step starts at 1.2.0"
    # A ".data" file with text stands in for a missing or empty script, as the plug-in reads it; the host
    # adds the missing status row first.
    : >"$scripts/update_V1.16.0/update.sql"
    mv "$WORK/update_V1.16.0.sql" "$scripts/update_V1.16.0/update.data"
    expect_run 0 "^visitor-upgrade: --db1: added the status row of visitor.s with version_no '1.12.0'$" \
        run --from 1.15.0 --pass config,records --db1 "dbname=$db" --workdir "$WORK" --log-level 3
    [[ $(q "$db" "SELECT value FROM visitor.module_schema_info WHERE key = 'schema_version'") == 1.16.0 ]] ||
        fail "the update.data script did not run"
    row=$(q "$db" "SELECT version_no, status, schedule, rate_progress, step_ver, achieve_time IS NOT NULL
                   FROM platform.module_version_status WHERE module_identity = 'visitor.s'")
    [[ $row == "1.12.0|1|-1|-1|1.16.0|t" ]] || fail "status row is '$row'"
    ;;

changed_script_refused_then_allowed_failures_recorded_and_status_printed)
    build_at db 1.15.0 --scale 300 --schema-only
    cp -r "$ROOT/fixtures/META_INFO" "$WORK/"
    f=META_INFO/visitor.s/runtime_script/db_init/update_V1.16.0/update.sql
    history() { q "$db" "SELECT string_agg(path || ' ' || sha256 || ' ' || outcome || ' ' || step_ver || ' ' || pass, ',')
                         FROM visitor.module_upgrade_script_history"; }
    host run --from 1.15.0 --pass config --db1 "dbname=$db" --workdir "$WORK"
    expect_rc 0 "first run"
    [[ $(history) == "$f $(sha "$WORK/$f") success 1.16.0 UpgradeCourse_Config" ]] || fail "history: $(history)"
    when=$(q "$db" "SELECT to_char(run_time, 'YYYY-MM-DD HH24:MI:SS') FROM visitor.module_upgrade_script_history")
    printf -- '-- amended\n' >>"$WORK/$f"
    before=$(history) status=$(q "$db" "TABLE platform.module_version_status")
    plan --db1 "dbname=$db" --workdir "$WORK"
    expect_rc 1 "plan with a changed script"
    expect_out "sha256 $(sha "$WORK/$f") changed since it ran on $when"
    expect_run 1 "delivered script $WORK/$f changed since it ran successfully on $when" \
        run --from 1.15.0 --pass config,records --db1 "dbname=$db" --workdir "$WORK"
    [[ $(q "$db" "TABLE platform.module_version_status") == "$status" ]] || fail "the refused run wrote status"
    host run --from 1.15.0 --pass config,records --db1 "dbname=$db" --workdir "$WORK" --allow-changed-scripts
    expect_rc 0 "run with --allow-changed-scripts"
    # The configuration pass was done: the changed script is not sent again, nothing is added.
    [[ $(history) == "$before" ]] || fail "history changed: $(history)"
    # status: one line per row of visitor.s; a stored newline or blank is shown escaped: no forged line or field.
    q "$db" "INSERT INTO platform.module_version_status (module_identity, version_no, status, schedule, rate_progress,
             step_ver) VALUES ('visitor.s', '1.0.0', 2, 0, 40005, E'0.0.0\\nversion_no=9 x'),
             ('other.module', '9.9.9', 1, -1, -1, '9.9.9')" >/dev/null
    host status --db1 "dbname=$db"
    expect_rc 0 status
    [[ $(wc -l <"$WORK/out") -eq 2 ]] || fail "expected the two rows of visitor.s: $(cat "$WORK/out")"
    head -1 "$WORK/out" | grep -Fxq 'version_no=1.0.0 status=2 schedule=0 rate_progress=40005 step_ver=0.0.0\nversion_no=9\x20x install_time= achieve_time=' ||
        fail "first line: $(head -1 "$WORK/out")"
    tail -1 "$WORK/out" | grep -Eq '^version_no=1.12.0 status=1 schedule=-1 rate_progress=-1 step_ver=1.16.0 install_time=[0-9-]+T[0-9:]+ achieve_time=[0-9-]+T[0-9:]+$' ||
        fail "second line: $(tail -1 "$WORK/out")"

    # A failing script: its failure row survives the rolled-back pass.
    build_at db 1.15.0 --scale 300 --schema-only
    printf 'SELECT 1/0;\n' >"$WORK/$f"
    host run --from 1.15.0 --pass config --db1 "dbname=$db" --workdir "$WORK"
    expect_rc 1 "run of a failing script"
    [[ $(history) == "$f $(sha "$WORK/$f") failure 1.16.0 UpgradeCourse_Config" ]] || fail "failure row: $(history)"
    [[ $(q "$db" "SELECT count(*) FROM visitor.module_upgrade_marker") -eq 0 ]] || fail "the failed pass was marked"
    ;;

lock_wait_shown_bounded_by_lock_timeout_and_resumed)
    build_at db 0.0.0 --scale 10000
    records=(run --from 0.0.0 --pass records --db1 "dbname=$db" --workdir "$ROOT/fixtures" --lock-timeout 3s
        --log-file "$WORK/upgrade.log" --progress-json "$WORK/progress.json")
    host run --from 0.0.0 --pass config --db1 "dbname=$db" --workdir "$ROOT/fixtures" --log-file "$WORK/upgrade.log"
    expect_rc 0 "config pass from 0.0.0"
    # Another session holds the visit records' table, as a long report or a forgotten transaction would.
    PGAPPNAME=e2e-lock-holder psql -X -q -d "$db" -c "BEGIN" -c "LOCK TABLE rt_data.visitor_record" \
        -c "SELECT pg_sleep(120)" >/dev/null 2>&1 &
    holder_client=$!
    locks="SELECT count(*) FROM pg_locks WHERE relation = 'rt_data.visitor_record'::regclass"
    wait_until "$db" "SELECT ($locks AND granted AND mode = 'AccessExclusiveLock') = 1"
    holder=$(q "$db" "SELECT pid FROM pg_locks WHERE relation = 'rt_data.visitor_record'::regclass AND granted")
    started=$(date +%s%N)
    "$HOST" "${records[@]}" >"$WORK/out" 2>"$WORK/err" &
    run=$! waiting="" shown=""
    while kill -0 "$run" 2>/dev/null; do
        [[ -z $waiting && $(q "$db" "$locks AND NOT granted") -gt 0 ]] && waiting=$(date +%s%N)
        [[ -n $waiting && -z $shown ]] && grep -q 'waited .* for a lock on rt_data' "$WORK/err" && shown=$(date +%s%N)
        sleep 0.05
    done
    RC=0 && wait "$run" || RC=$?
    [[ -n $waiting && -n $shown ]] || fail "the pass never waited for the lock, or the wait was not shown while it lasted"
    # Within a second, as the command promises; the margin is this poller's own delay on a loaded machine.
    ((shown - waiting <= 4000000000)) || fail "the wait was shown $(((shown - waiting) / 1000000)) ms after it began"
    (($(date +%s%N) - started >= 3000000000)) || fail "the pass gave up before the lock timeout"
    expect_rc 1 "records pass with --lock-timeout 3s"
    held="rt_data.visitor_record, held by server process $holder \\(application e2e-lock-holder, client local\\)"
    expect_err "^visitor-upgrade: records: --db[12] has waited [0-9]+s for a lock on $held$"
    expect_err "^visitor-upgrade: pass records failed: --db[12] waited longer than --lock-timeout 3s for a lock on $held; rerun the pass once it is released \\(error [0-9]+: .*55P03\\)\\)$"
    [[ $(grep -c '^visitor-upgrade: pass ' "$WORK/err") -eq 1 ]] || fail "expected exactly one pass line"
    # The step is named from the first look on, though the pass is stuck behind the lock.
    expect_err '^visitor-upgrade: records [0-9]+s \| CRawTo100 visit records$'
    # Released, the rerun copies every visit record exactly once; one row held for 1.5 s lets the
    # progress line be watched however fast the machine copies the rest.
    q "$db" "SELECT pg_terminate_backend($holder)" >/dev/null
    wait "$holder_client" 2>/dev/null
    "${PSQL[@]}" -d "$db" -c "CREATE FUNCTION public.test_slow() RETURNS trigger LANGUAGE plpgsql AS
        \$\$ BEGIN PERFORM pg_sleep(1.5); RETURN NEW; END \$\$;
        CREATE TRIGGER test_slow BEFORE INSERT ON visitor.visitor_record FOR EACH ROW
        WHEN (NEW.object_guid = md5('7500')) EXECUTE FUNCTION public.test_slow();" >/dev/null || fail "trigger"
    host "${records[@]}"
    expect_rc 0 "records pass after the lock was released"
    expect "$db" "visit records copied" "SELECT count(*) FROM visitor.visitor_record WHERE id < 2000000000" 10000
    expect_err '^visitor-upgrade: records [0-9]+s \| CRawTo100 visit records \| [0-9]+% [0-9,]+ of [0-9,]+ ids'
    # Both runs appended to one file: the failed run ends "failed", the rerun "finished"; within
    # a run the position in each walked table never goes back, and the walk of the visit records is measured.
    python3 - "$WORK/progress.json" <<'PY' || fail "progress JSON: $(cat "$WORK/progress.json")"
import json, sys
runs = [[]]
for p in map(json.loads, open(sys.argv[1])):
    assert set(p) >= {"pass", "step", "table", "done", "total", "rate", "eta_s", "status"} and p["pass"] == "records" and p["step"], p
    runs[-1].append(p)
    runs += [[]] if p["status"] != "running" else []
assert runs.pop() == [] and [r[-1]["status"] for r in runs] == ["failed", "finished"], runs
for r, t in ((r, t) for r in runs for t in {p["table"] for p in r}):
    done = [p["done"] for p in r if p["table"] == t and p["done"] is not None]
    assert done == sorted(done), (t, done)
walked = [p for p in runs[1] if p["table"] == "rt_data.visitor_record" and p["total"] is not None]
assert walked and all(p["step"] == "CRawTo100" and p["total"] > 0 for p in walked), runs[1]
PY
    ;;

superuser_other_than_postgres_upgrades_and_no_password_reaches_the_server_log)
    # An audited site logs every statement; the foreign server's password must still reach no log line,
    # on success (as a superuser other than postgres) and when the foreign server statement is refused.
    log=$VSU_PG_DIR/postgres.log
    [[ -f $log ]] || fail "no server log at $log"
    secret="e2e-secret-$$-$RANDOM"
    role=vsu_e2e_$$
    q postgres "CREATE ROLE $role SUPERUSER LOGIN" >/dev/null || fail "create role"
    trap 'cleanup; q postgres "DROP ROLE IF EXISTS $role" >/dev/null 2>&1' EXIT
    build_at db 0.0.0 --scale 100
    DBS+=("${db}_refused")
    createdb -T "$db" "${db}_refused" || fail "copy"
    for d in "$db" "${db}_refused"; do
        q postgres "ALTER DATABASE $d SET log_statement = 'all'" >/dev/null
        q postgres "ALTER DATABASE $d SET log_min_duration_statement = 0" >/dev/null
    done
    q "${db}_refused" "CREATE FUNCTION public.refuse_mapping() RETURNS event_trigger LANGUAGE plpgsql AS
                       \$\$BEGIN RAISE EXCEPTION 'user mappings are refused here'; END\$\$;
                       CREATE EVENT TRIGGER refuse_mapping ON ddl_command_start WHEN TAG IN ('CREATE USER MAPPING')
                       EXECUTE FUNCTION public.refuse_mapping()" >/dev/null || fail "event trigger"
    from=$(wc -l <"$log")
    PGPASSWORD=$secret host run --from 0.0.0 --pass config,records --db1 "dbname=$db user=$role" \
        --workdir "$ROOT/fixtures"
    expect_rc 0 "upgrade from 0.0.0 as $role"
    [[ $(q "$db" "SELECT count(*) FROM visitor.visitor_record WHERE id < 2000000000") -eq 100 ]] ||
        fail "the visit records were not copied"
    PGPASSWORD=$secret host run --from 0.0.0 --pass config --db1 "dbname=${db}_refused" --workdir "$ROOT/fixtures"
    expect_rc 1 "config pass with the user mapping refused"
    expect_err "user mappings are refused here"
    for d in "$db" "${db}_refused"; do
        [[ $(q "$d" "SELECT count(*) FROM pg_foreign_server") -eq 0 &&
            $(q "$d" "SELECT count(*) FROM pg_user_mappings") -eq 0 ]] || fail "a foreign server or mapping is left in $d"
    done
    # The server writes its log apart from our reads: a statement of ours logged last marks that all is there.
    q "$db" "SELECT 'e2e-log-end-$$'" >/dev/null
    since=$SECONDS
    until tail -n +"$((from + 1))" "$log" >"$WORK/server.log" && grep -q "statement: SELECT 'e2e-log-end-$$'" "$WORK/server.log"; do
        ((SECONDS - since < 60)) || fail "statement logging was not on: the check proves nothing"
        sleep 0.05
    done
    ! grep -n -- "$secret" "$WORK/server.log" | head -3 | grep . || fail "the password reached the server log"
    ;;

*)
    fail "unknown case"
    ;;
esac
echo "PASS [$LABEL]"
