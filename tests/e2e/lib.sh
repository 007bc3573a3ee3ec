# shellcheck shell=bash
# Sourced by the end-to-end scripts and the transcript driver after they set LABEL,
# HOST (the visitor-upgrade command) and ROOT (the source tree): the server that the
# pg_server fixture recorded in $VSU_PG_DIR/env in libpq's variables, a work directory
# and the databases of DBS removed at exit, and the helpers the cases share.
set -a
# shellcheck disable=SC1091
. "${VSU_PG_DIR:?}/env"
set +a
BIN=$(dirname "$HOST")
SCRIPTS=$ROOT/fixtures/META_INFO/visitor.s/runtime_script/db_init
WORK=$(mktemp -d /tmp/vsu-e2e.XXXXXXXX)
DBS=()
cleanup() {
    for db in "${DBS[@]}"; do dropdb --force --if-exists "$db" 2>/dev/null; done
    rm -rf -- "$WORK"
}
trap cleanup EXIT
fail() {
    echo "FAIL [$LABEL]: $*"
    for f in out err; do [[ -s $WORK/$f ]] && { echo "--- $f:"; cat "$WORK/$f"; }; done
    exit 1
}
q() { psql -X -At -v ON_ERROR_STOP=1 -d "$1" -c "$2" || fail "query failed on $1: $2"; }
PSQL=(psql -X -q -o /dev/null -v ON_ERROR_STOP=1)
# host ARGS: runs the command; RC its exit code, $WORK/out and $WORK/err its output.
host() { RC=0; "$HOST" "$@" >"$WORK/out" 2>"$WORK/err" || RC=$?; }
expect_rc() { [[ $RC -eq $1 ]] || fail "exit $RC, expected $1 ($2)"; }
expect_err() { grep -Eq -- "$1" "$WORK/err" || fail "stderr lacks /$1/"; }
expect_out() { grep -Fq -- "$1" "$WORK/out" || fail "stdout lacks '$1'"; }
# plan ARGS: host plan ARGS on connections whose transactions are read-only, as on a hot standby.
plan() { PGOPTIONS='-c default_transaction_read_only=on' host plan "$@"; }
# expect DB WHAT SQL VALUE: the query's whole output must be VALUE.
expect() {
    local got
    got=$(q "$1" "$3")
    [[ $got == "$4" ]] || fail "$2: got '$got', expected '$4'"
}
# new_db VAR: a database name of this process (dropped at exit) in VAR.
new_db() {
    local name=e2e_$$_${#DBS[@]}
    DBS+=("$name")
    printf -v "$1" %s "$name"
}
# build_at VAR VERSION [build-at options]: a new database (new_db) built by fixtures/build-at.
build_at() {
    new_db "$1"
    "$ROOT/fixtures/build-at" "$2" --db "${!1}" --bin "$BIN" "${@:3}" >"$WORK/build.out" 2>&1 ||
        { cat "$WORK/build.out"; fail "build-at ${*:2}"; }
}
# refuse DB TABLE CONDITION [check]: a deferred trigger on TABLE refuses at COMMIT the row (NEW) meeting CONDITION,
# as a site's deferred constraint would (check: a CHECK, at its INSERT); refuse DB TABLE drops either again.
refuse() {
    if [[ $# -eq 2 ]]; then
        "${PSQL[@]}" -d "$1" -c "DROP TRIGGER IF EXISTS test_refuse ON $2; DROP FUNCTION IF EXISTS public.test_refuse();
            ALTER TABLE $2 DROP CONSTRAINT IF EXISTS test_refuse" || fail "drop the refusal"
    elif [[ ${4:-} == check ]]; then
        "${PSQL[@]}" -d "$1" -c "ALTER TABLE $2 ADD CONSTRAINT test_refuse CHECK (NOT ($3)) NOT VALID" || fail "check"
    else
        "${PSQL[@]}" -d "$1" -c "CREATE FUNCTION public.test_refuse() RETURNS trigger LANGUAGE plpgsql AS
            \$\$ BEGIN IF $3 THEN RAISE EXCEPTION 'refused by the test'; END IF; RETURN NULL; END \$\$;
            CREATE CONSTRAINT TRIGGER test_refuse AFTER INSERT ON $2 DEFERRABLE INITIALLY DEFERRED
            FOR EACH ROW EXECUTE FUNCTION public.test_refuse();" || fail "trigger"
    fi
}
# linked_to GUID: the CONDITION for refuse that picks the approval process of appointment GUID.
linked_to() {
    echo "EXISTS (SELECT 1 FROM visitor.visitor_appoint_record a WHERE a.object_guid = '$1'
                  AND a.appoint_approval_flow_id = NEW.process_num)"
}
# expect_run RC ERE ARGS: the command with ARGS exits RC with a stderr line matching ERE.
expect_run() {
    local rc=$1 ere=$2
    host "${@:3}"
    expect_rc "$rc" "${*:3}"
    expect_err "$ere"
}
# wait_until DB SQL: polls until the query gives t; a loaded machine may take long, so up to 300 s.
wait_until() {
    local since=$SECONDS
    until [[ $(q "$1" "$2") == t ]]; do
        ((SECONDS - since < 300)) || fail "waited 300 s for: $2"
        sleep 0.05
    done
}
