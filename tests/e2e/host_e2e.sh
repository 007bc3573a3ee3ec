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
    [[ $(status_rows "$db") -eq 0 ]] || fail "a usage error wrote a status row"
    host run --help
    expect_rc 0 "run --help"
    grep -q -- '--db3' "$WORK/out" || fail "run --help does not describe --db3"
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
    echo "SELECT * FROM visitor.no_such_table;" >"$WORK/META_INFO/visitor.s/runtime_script/db_init/update_V1.16.0/update.sql"
    host run --from 1.15.0 --pass config,records --db1 "dbname=$db" --workdir "$WORK" --log-file "$WORK/upgrade.log"
    expect_rc 1 "failing script"
    [[ $(grep -c '^visitor-upgrade: pass ' "$WORK/err") -eq 1 ]] || fail "expected exactly one pass line"
    expect_err '^visitor-upgrade: pass config failed: error [0-9-]+: .*no_such_table.*42P01'
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
        host run --from 1.15.0 --pass config --db1 "dbname=$db" --workdir "$WORK"
        [[ $RC -eq 0 ]] && break
        sleep 0.5
    done
    expect_rc 0 "run after a killed host"
    ;;

status_prints_one_line_per_row)
    db=$(db_at_1_15_0)
    q "$db" "INSERT INTO platform.module_version_status (module_identity, version_no, status, schedule, rate_progress,
             step_ver) VALUES ('visitor.s', '1.0.0', 2, 0, 40005, '0.0.0'), ('other.module', '9.9.9', 1, -1, -1, '9.9.9')" >/dev/null
    host status --db1 "dbname=$db"
    expect_rc 0 status
    [[ $(wc -l <"$WORK/out") -eq 2 ]] || fail "expected the two rows of visitor.s: $(cat "$WORK/out")"
    head -1 "$WORK/out" | grep -Eq '^version_no=1.0.0 status=2 schedule=0 rate_progress=40005 step_ver=0.0.0 install_time= achieve_time=$' ||
        fail "first line: $(head -1 "$WORK/out")"
    tail -1 "$WORK/out" | grep -Eq '^version_no=1.12.0 status=1 schedule=-1 rate_progress=-1 step_ver=1.15.0 install_time=[0-9-]+T[0-9:]+ achieve_time=[0-9-]+T[0-9:]+$' ||
        fail "second line: $(tail -1 "$WORK/out")"
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
