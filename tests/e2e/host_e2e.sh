#!/usr/bin/env bash
# End-to-end cases of the visitor-upgrade command, one per invocation:
#   host_e2e.sh CASE /path/to/visitor-upgrade /path/to/source-root
# Each case works in databases of its own on the server of $VSU_PG_DIR/env.
# Exit 0 pass, 1 fail.
set -uo pipefail

CASE=$1 HOST=$2 ROOT=$3
BIN=$(dirname "$HOST")
LIB=$BIN/libvisitor.s.upgrade.so
set -a
# shellcheck disable=SC1091
. "${VSU_PG_DIR:?}/env"
set +a
WORK=$(mktemp -d /tmp/vsu-e2e.XXXXXXXX)
DBS=()
cleanup() {
    for db in "${DBS[@]}"; do dropdb --if-exists "$db" 2>/dev/null; done
    rm -rf -- "$WORK"
}
trap cleanup EXIT

fail() { echo "FAIL [$CASE]: $*"; [[ -f $WORK/err ]] && { echo "--- stderr:"; cat "$WORK/err"; }; exit 1; }
q() { psql -X -At -v ON_ERROR_STOP=1 -d "$1" -c "$2"; }

# A fresh database with the base schema (and seed at a small scale when asked).
new_db() {
    local name=e2e_${CASE:0:30}_$$_${#DBS[@]}
    dropdb --if-exists "$name" 2>/dev/null
    createdb "$name" || fail "createdb $name"
    DBS+=("$name")
    psql -X -q -o /dev/null -v ON_ERROR_STOP=1 -d "$name" -f "$ROOT/fixtures/schema/base.sql" || fail "base schema"
    echo "$name"
}

# Runs the command; sets RC and leaves stderr in $WORK/err, stdout in $WORK/out.
host() { RC=0; "$HOST" "$@" >"$WORK/out" 2>"$WORK/err" || RC=$?; }

expect_rc() { [[ $RC -eq $1 ]] || fail "exit $RC, expected $1 (args: $2)"; }
expect_err() { grep -Eq -- "$1" "$WORK/err" || fail "stderr lacks /$1/"; }
status_rows() { q "$1" "SELECT count(*) FROM platform.module_version_status"; }

# A database at 1.15.0 in shape, with the module's scripts up to there applied.
db_at_1_15_0() {
    local name=e2e_${CASE:0:30}_$$_${#DBS[@]}
    DBS+=("$name")
    "$ROOT/fixtures/build-at" 1.15.0 --db "$name" --scale 1000 --schema-only >"$WORK/build.out" 2>&1 ||
        { cat "$WORK/build.out"; fail "build-at 1.15.0 --schema-only"; }
    echo "$name"
}

case $CASE in
version_prints_last_version)
    host --version
    expect_rc 0 --version
    [[ $(cat "$WORK/out") == "1.16.0" ]] || fail "printed '$(cat "$WORK/out")'"
    ;;

exports_bound_by_linker_names_match_the_library)
    # The names the host binds must be exactly the library's exported functions.
    # Adjacent string literals of the header are joined first.
    expected=$(tr -d '\n' <"$ROOT/host/src/ExportNames.h" | sed 's/"[[:space:]]*"//g' |
        grep -o '"_ZN23UnifiedUpgradeComponent[^"]*"' | tr -d '"' | sort)
    actual=$(nm -D --defined-only "$LIB" | awk '$2 == "T" {print $3}' | sort)
    [[ -n $actual ]] || fail "nm found no exported function in $LIB"
    [[ $expected == "$actual" ]] || fail "host names:
$expected
library exports:
$actual"
    ;;

usage_errors_exit_2_and_touch_no_database)
    db=$(new_db)
    for args in "run --from 1.15.0 --pass config" \
        "run --from 1.15.0 --pass configure --db1 dbname=$db" \
        "run --from 1.15.0 --pass config,records-incr --db1 dbname=$db" \
        "run --pass config --db1 dbname=$db" \
        "run --from 1.15.0 --pass config --db1 dbname=$db --log-level 7" \
        "run --from 1.15.0 --pass config --db1 dbname=$db --workdir /nonexistent-dir" \
        "status" "frobnicate" ""; do
        # shellcheck disable=SC2086
        host $args
        expect_rc 2 "$args"
        [[ $(wc -l <"$WORK/err") -eq 1 ]] || fail "expected one stderr line for '$args'"
        expect_err '^visitor-upgrade: '
    done
    # Versions are checked before anything is sent; the value is shown escaped, on one line.
    for from in "" 1.12 1.10.0.1 $'1.15.0\nversion_no=forged' 1.4294967296.0 " 1.15.0" -1.0.0 \
        "$(printf '0%.0s' {1..27})1.15.0" 1.4.0 1.16.0; do
        host run --from "$from" --pass config --db1 "dbname=$db" --workdir "$ROOT/fixtures"
        expect_rc 2 "--from '$from'"
        [[ $(wc -l <"$WORK/err") -eq 1 ]] || fail "expected one stderr line for --from '$from'"
        shown=${from//$'\n'/\\n}
        shown=${shown// /\\x20}
        if [[ $from == 1.4.0 || $from == 1.16.0 ]]; then
            grep -Fxq "visitor-upgrade: no upgrade step starts at --from $from: the steps start at 0.0.0, 1.0.0, 1.3.0, 1.6.0, 1.7.0, 1.8.0, 1.9.0, 1.10.0, 1.11.0, 1.12.0, 1.13.0, 1.14.0, 1.15.0 and end at 1.16.0; nothing was sent" "$WORK/err" ||
                fail "--from $from: the line differs"
        else
            grep -Fxq "visitor-upgrade: --from \"$shown\" is not a version: expected three dot-separated decimal numbers such as 1.15.0 (each at most 4294967295, 32 characters in all)" "$WORK/err" ||
                fail "--from '$from': the line differs"
        fi
    done
    host run --from 1.15.0 --pass config --db1 "dbname=$db" --lock-timeout 3
    expect_rc 2 "--lock-timeout without unit"
    expect_err '^visitor-upgrade: --lock-timeout "3" is not a duration: expected a whole number with a unit'
    [[ $(status_rows "$db") -eq 0 ]] || fail "a usage error wrote a status row"
    host run --help
    expect_rc 0 "run --help"
    grep -q -- '--db3' "$WORK/out" || fail "run --help does not describe --db3"
    for word in PGPASSWORD PGPASSFILE '~/.pgpass' --lock-timeout; do
        grep -qF -- "$word" "$WORK/out" || fail "run --help does not name $word"
    done
    # A password on the command line draws one warning that does not repeat it; the command goes on.
    for conninfo in "dbname=$db password=hunter2" "postgresql://:hunter2@/$db"; do
        host status --db1 "$conninfo"
        expect_rc 0 "status with a password in '$conninfo'"
        [[ $(wc -l <"$WORK/err") -eq 1 ]] || fail "expected one warning line for '$conninfo'"
        expect_err '^visitor-upgrade: warning: the password in --db1 can be read by every local user in the process list; give it by PGPASSWORD, PGPASSFILE or ~/.pgpass instead'
        ! grep -q hunter2 "$WORK/err" || fail "the warning repeats the password"
    done
    ;;

unreachable_database_exits_2_naming_the_connection)
    db=$(new_db)
    host run --from 1.15.0 --pass config --db1 "host=$WORK port=1 dbname=nowhere"
    expect_rc 2 "unreachable db1"
    expect_err '^visitor-upgrade: cannot connect with --db1: '
    [[ $(wc -l <"$WORK/err") -eq 1 ]] || fail "expected one line"
    # db1 reachable, db3 not: nothing may have been sent to db1 either.
    host run --from 1.15.0 --pass config-incr --db1 "dbname=$db" --db3 "dbname=no_such_database_$$"
    expect_rc 2 "unreachable db3"
    expect_err '^visitor-upgrade: cannot connect with --db3: .*no_such_database'
    [[ $(status_rows "$db") -eq 0 ]] || fail "db1 was written although db3 was unreachable"
    host status --db1 "host=$WORK port=1"
    expect_rc 2 "status unreachable"
    ;;

missing_plugin_or_export_exits_2)
    db=$(new_db)
    host run --from 1.15.0 --pass config --db1 "dbname=$db" --library "$WORK/nothing.so"
    expect_rc 2 "missing plug-in"
    expect_err "^visitor-upgrade: plug-in not found: $WORK/nothing.so$"
    host run --from 1.15.0 --pass config --db1 "dbname=$db" --library "$BIN/libDBLayer.so"
    expect_rc 2 "library without exports"
    expect_err '^visitor-upgrade: export ProvideLastVersion \(_ZN23UnifiedUpgradeComponent.*\) not found'
    [[ $(status_rows "$db") -eq 0 ]] || fail "a missing plug-in still wrote to the database"
    # The default plug-in is the one beside the command, not one of the working directory.
    mkdir -p "$WORK/alone" && cp "$HOST" "$BIN/libDBLayer.so" "$BIN/libQarnBase.so" "$WORK/alone/"
    (cd "$BIN" && "$WORK/alone/visitor-upgrade" --version >"$WORK/out" 2>"$WORK/err") && RC=0 || RC=$?
    expect_rc 2 "command without plug-in beside it"
    expect_err "plug-in not found: $WORK/alone/libvisitor.s.upgrade.so"
    ;;

run_from_1_15_0_applies_script_and_finished_marker)
    db=$(db_at_1_15_0)
    q "$db" "DELETE FROM platform.module_version_status" >/dev/null
    host run --from 1.15.0 --pass config,records --db1 "dbname=$db" --workdir "$ROOT/fixtures" --log-level 3
    expect_rc 0 "run from 1.15.0"
    expect_err "^visitor-upgrade: --db1: added the status row of visitor.s with version_no '1.12.0'$"
    expect_err '^visitor-upgrade: pass config finished in [0-9.]+ s$'
    expect_err '^visitor-upgrade: pass records finished in [0-9.]+ s$'
    [[ $(q "$db" "SELECT value FROM visitor.module_schema_info WHERE key = 'schema_version'") == 1.16.0 ]] ||
        fail "the 1.16.0 script did not run"
    row=$(q "$db" "SELECT version_no, status, schedule, rate_progress, step_ver, achieve_time IS NOT NULL
                   FROM platform.module_version_status WHERE module_identity = 'visitor.s'")
    [[ $row == "1.12.0|1|-1|-1|1.16.0|t" ]] || fail "status row is '$row'"
    # A second run inserts no second row.
    host run --from 1.15.0 --pass records --db1 "dbname=$db" --workdir "$ROOT/fixtures"
    expect_rc 0 "second run"
    [[ $(status_rows "$db") -eq 1 ]] || fail "the host added a row that existed"
    ;;

failing_script_exits_1_with_code_and_text)
    db=$(db_at_1_15_0)
    cp -r "$ROOT/fixtures/META_INFO" "$WORK/"
    script=$WORK/META_INFO/visitor.s/runtime_script/db_init/update_V1.16.0/update.sql
    printf 'SELECT 1;\n-- the next statement fails\nSELECT * FROM visitor.no_such_table;\n' >"$script"
    host run --from 1.15.0 --pass config,records --db1 "dbname=$db" --workdir "$WORK" --log-file "$WORK/upgrade.log"
    expect_rc 1 "failing script"
    [[ $(grep -c '^visitor-upgrade: pass ' "$WORK/err") -eq 1 ]] || fail "expected exactly one pass line"
    grep -Eq "^visitor-upgrade: pass config failed in script ${script//./\\.} at line 3: error [0-9]+: relation \"visitor.no_such_table\" does not exist; at line 3 \(SQLSTATE 42P01\)$" "$WORK/err" ||
        fail "the failure line does not name the script and its line"
    grep -q 'no_such_table' "$WORK/upgrade.log" || fail "the log file lacks the failed statement"
    # The records pass did not run: the finished marker is not there.
    [[ $(q "$db" "SELECT step_ver FROM platform.module_version_status WHERE module_identity = 'visitor.s'") == 1.15.0 ]] ||
        fail "the run went on after the failing pass"
    ;;

second_host_refused_by_lock_and_killed_host_leaves_none)
    db=$(db_at_1_15_0)
    cp -r "$ROOT/fixtures/META_INFO" "$WORK/"
    echo "SELECT pg_sleep(4);" >"$WORK/META_INFO/visitor.s/runtime_script/db_init/update_V1.16.0/update.sql"
    "$HOST" run --from 1.15.0 --pass config --db1 "dbname=$db" --workdir "$WORK" >/dev/null 2>"$WORK/first.err" &
    first=$!
    sleep 1.5
    started=$(date +%s)
    host run --from 1.15.0 --pass config --db1 "dbname=$db" --workdir "$WORK"
    expect_rc 2 "second host"
    expect_err '^visitor-upgrade: another upgrade of module visitor.s is running on this database \(server process [0-9]+'
    (($(date +%s) - started <= 2)) || fail "the second host waited instead of leaving at once"
    wait "$first" || fail "the first host failed: $(cat "$WORK/first.err")"
    # The lock ends with the session: a killed host blocks nobody for long.
    "$HOST" run --from 1.15.0 --pass config --db1 "dbname=$db" --workdir "$WORK" >/dev/null 2>&1 &
    victim=$!
    sleep 1
    kill -9 "$victim"
    wait "$victim" 2>/dev/null
    echo "SELECT 1;" >"$WORK/META_INFO/visitor.s/runtime_script/db_init/update_V1.16.0/update.sql"
    for _ in $(seq 1 20); do
        # The script changed since the first host ran it: allowed, it is not sent again.
        host run --from 1.15.0 --pass config --db1 "dbname=$db" --workdir "$WORK" --allow-changed-scripts
        [[ $RC -eq 0 ]] && break
        sleep 0.5
    done
    expect_rc 0 "run after a killed host"
    ;;

status_prints_one_line_per_row)
    db=$(db_at_1_15_0)
    q "$db" "INSERT INTO platform.module_version_status (module_identity, version_no, status, schedule, rate_progress,
             step_ver) VALUES ('visitor.s', '1.0.0', 2, 0, 40005, E'0.0.0\\nversion_no=9 x'),
             ('other.module', '9.9.9', 1, -1, -1, '9.9.9')" >/dev/null
    host status --db1 "dbname=$db"
    expect_rc 0 status
    [[ $(wc -l <"$WORK/out") -eq 2 ]] || fail "expected the two rows of visitor.s: $(cat "$WORK/out")"
    # A stored newline or blank is shown escaped: no forged line, no forged field.
    head -1 "$WORK/out" | grep -Fxq 'version_no=1.0.0 status=2 schedule=0 rate_progress=40005 step_ver=0.0.0\nversion_no=9\x20x install_time= achieve_time=' ||
        fail "first line: $(head -1 "$WORK/out")"
    tail -1 "$WORK/out" | grep -Eq '^version_no=1.12.0 status=1 schedule=-1 rate_progress=-1 step_ver=1.15.0 install_time=[0-9-]+T[0-9:]+ achieve_time=[0-9-]+T[0-9:]+$' ||
        fail "second line: $(tail -1 "$WORK/out")"
    ;;

missing_or_empty_script_exits_1_and_writes_nothing)
    db=$(db_at_1_15_0)
    q "$db" "DELETE FROM platform.module_version_status" >/dev/null
    cp -r "$ROOT/fixtures/META_INFO" "$WORK/"
    scripts=$WORK/META_INFO/visitor.s/runtime_script/db_init
    mv "$scripts/update_V1.16.0/update.sql" "$WORK/update_V1.16.0.sql"
    : >"$scripts/update_V2.0/FDW_Drop_Tables.sql"
    rm "$scripts/update_V1.14.0/init_data.sql"
    # One script of each kind: a step's own, the base step's second, the second of a step with two.
    for args in "1.15.0 config,records|update_V1.16.0/update.sql is missing (and no update.data" \
        "0.0.0 config|update_V2.0/FDW_Drop_Tables.sql is empty (and no FDW_Drop_Tables.data" \
        "1.13.0 config|update_V1.14.0/init_data.sql is missing (and no init_data.data"; do
        read -r from passes <<<"${args%%|*}"
        host run --from "$from" --pass "$passes" --db1 "dbname=$db" --workdir "$WORK"
        expect_rc 1 "--from $from with a missing or empty script"
        [[ $(wc -l <"$WORK/err") -eq 1 ]] || fail "expected one stderr line (--from $from)"
        grep -Fq "visitor-upgrade: delivered script $scripts/${args#*|} with text beside it); nothing was sent" "$WORK/err" ||
            fail "--from $from: the line does not name the script"
    done
    [[ $(status_rows "$db") -eq 0 ]] || fail "a run stopped by a missing script wrote a status row"
    [[ $(q "$db" "SELECT to_regclass('visitor.module_schema_info') IS NULL") == t ]] || fail "a script ran"
    # A ".data" file with text stands in for a missing or empty script, as the plug-in reads it.
    : >"$scripts/update_V1.16.0/update.sql"
    mv "$WORK/update_V1.16.0.sql" "$scripts/update_V1.16.0/update.data"
    host run --from 1.15.0 --pass config,records --db1 "dbname=$db" --workdir "$WORK"
    expect_rc 0 "run with update.data beside an empty update.sql"
    [[ $(q "$db" "SELECT value FROM visitor.module_schema_info WHERE key = 'schema_version'") == 1.16.0 ]] ||
        fail "the update.data script did not run"
    ;;

lock_wait_shown_bounded_by_lock_timeout_and_resumed)
    db=e2e_lock_$$
    DBS+=("$db")
    scale=10000
    VSU_BIN=$BIN "$ROOT/fixtures/build-at" 0.0.0 --db "$db" --scale $scale >"$WORK/build.out" 2>&1 ||
        { cat "$WORK/build.out"; fail "build-at 0.0.0"; }
    host run --from 0.0.0 --pass config --db1 "dbname=$db" --workdir "$ROOT/fixtures" --log-file "$WORK/upgrade.log"
    expect_rc 0 "config pass from 0.0.0"
    # Another session holds the visit records' table, as a long report or a forgotten transaction would.
    PGAPPNAME=e2e-lock-holder psql -X -q -d "$db" -c "BEGIN" -c "LOCK TABLE rt_data.visitor_record" \
        -c "SELECT pg_sleep(120)" >/dev/null 2>&1 &
    holder_client=$!
    locked() { q "$db" "SELECT pid FROM pg_locks WHERE relation = 'rt_data.visitor_record'::regclass AND granted = $1
                        AND mode = 'AccessExclusiveLock'"; }
    holder=""
    for _ in $(seq 1 100); do holder=$(locked true) && [[ -n $holder ]] && break; sleep 0.1; done
    [[ -n $holder ]] || fail "the holding session did not take its lock"
    started=$(date +%s%N)
    "$HOST" run --from 0.0.0 --pass records --db1 "dbname=$db" --workdir "$ROOT/fixtures" --lock-timeout 3s \
        --log-file "$WORK/upgrade.log" --progress-json "$WORK/progress.json" >"$WORK/out" 2>"$WORK/err" &
    run=$!
    waiting="" shown=""
    while kill -0 "$run" 2>/dev/null; do
        [[ -z $waiting && $(q "$db" "SELECT count(*) FROM pg_locks WHERE NOT granted
                                     AND relation = 'rt_data.visitor_record'::regclass") -gt 0 ]] && waiting=$(date +%s%N)
        [[ -n $waiting && -z $shown ]] && grep -q 'waited .* for a lock on rt_data.visitor_record' "$WORK/err" && shown=$(date +%s%N)
        sleep 0.05
    done
    RC=0
    wait "$run" || RC=$?
    ended=$(date +%s%N)
    [[ -n $waiting ]] || fail "the records pass never waited for the lock"
    [[ -n $shown ]] || fail "the wait was not shown while it lasted"
    ((shown - waiting <= 2000000000)) || fail "the wait was shown $(((shown - waiting) / 1000000)) ms after it began"
    holder_text="held by server process $holder \\(application e2e-lock-holder, client local\\)"
    expect_err "^visitor-upgrade: records: --db[12] has waited [0-9]+s for a lock on rt_data.visitor_record, $holder_text$"
    expect_rc 1 "records pass with --lock-timeout 3s"
    ((ended - started >= 3000000000)) || fail "the pass gave up before the lock timeout"
    expect_err "^visitor-upgrade: pass records failed: --db[12] waited longer than --lock-timeout 3s for a lock on rt_data.visitor_record, $holder_text; rerun the pass once it is released \\(error [0-9]+: .*55P03\\)\\)$"
    [[ $(grep -c '^visitor-upgrade: pass ' "$WORK/err") -eq 1 ]] || fail "expected exactly one pass line"
    # The step is named from the first look on, though the pass is stuck behind the lock.
    expect_err '^visitor-upgrade: records [0-9]+s \| CRawTo100 visit records$'
    # Released, the rerun copies every visit record exactly once, long enough to be watched.
    q "$db" "SELECT pg_terminate_backend($holder)" >/dev/null
    wait "$holder_client" 2>/dev/null
    host run --from 0.0.0 --pass records --db1 "dbname=$db" --workdir "$ROOT/fixtures" --lock-timeout 3s \
        --log-file "$WORK/upgrade.log" --progress-json "$WORK/progress.json"
    expect_rc 0 "records pass after the lock was released"
    [[ $(q "$db" "SELECT count(*) FROM visitor.visitor_record WHERE id < 2000000000") -eq $scale ]] ||
        fail "the visit records were not copied exactly once"
    expect_err '^visitor-upgrade: records [0-9]+s \| CRawTo100 visit records \| [0-9]+% [0-9,]+ of [0-9,]+ ids'
    # Both runs appended to one file: the failed run ends "failed", the rerun "finished"; within
    # a run the position in each walked table never goes back, and the walk of the visit records is measured.
    python3 - "$WORK/progress.json" <<'PY' || fail "progress JSON: $(cat "$WORK/progress.json")"
import json, sys
lines = [json.loads(line) for line in open(sys.argv[1])]
runs, run = [], []
for p in lines:
    assert set(p) >= {"pass", "step", "table", "done", "total", "rate", "eta_s", "status"}, p
    assert p["pass"] == "records" and p["step"], p
    run.append(p)
    if p["status"] != "running":
        runs.append(run)
        run = []
assert not run and [r[-1]["status"] for r in runs] == ["failed", "finished"], lines
for r in runs:
    for table in {p["table"] for p in r}:
        done = [p["done"] for p in r if p["table"] == table and p["done"] is not None]
        assert done == sorted(done), (table, done)
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
    db=e2e_audited_$$
    DBS+=("$db" "${db}_refused")
    VSU_BIN=$BIN "$ROOT/fixtures/build-at" 0.0.0 --db "$db" --scale 100 >"$WORK/build.out" 2>&1 ||
        { cat "$WORK/build.out"; fail "build-at 0.0.0"; }
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
    sleep 0.5 # the server writes its log lines asynchronously to our reads
    tail -n +"$((from + 1))" "$log" >"$WORK/server.log"
    grep -q 'statement: ' "$WORK/server.log" || fail "statement logging was not on: the check proves nothing"
    ! grep -n -- "$secret" "$WORK/server.log" | head -3 | grep . || fail "the password reached the server log"
    ;;

reference_database_built_at_1_15_0_through_the_chain)
    name=e2e_chain_$$
    DBS+=("$name")
    rc=0
    VSU_BIN=$BIN "$ROOT/fixtures/build-at" 1.15.0 --db "$name" --scale 3000 >"$WORK/build.out" 2>&1 || rc=$?
    [[ $rc -eq 0 ]] || { cat "$WORK/build.out"; fail "build-at 1.15.0 failed"; }
    [[ $(q "$name" "SELECT count(*) FROM visitor.visitor_record WHERE id < 2000000000") -eq 3000 ]] ||
        fail "the visit records were not copied"
    [[ $(q "$name" "SELECT count(*) FROM visitor.module_schema_info" 2>/dev/null || echo none) == none ]] ||
        fail "the step after 1.15.0 ran"
    ;;

*)
    fail "unknown case"
    ;;
esac
echo "PASS [$CASE]"
