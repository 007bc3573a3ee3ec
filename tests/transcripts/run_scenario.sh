#!/usr/bin/env bash
# Runs one transcript scenario through the visitor-upgrade command and compares
# what reached the server and what the plug-in logged with the reviewed file
# tests/expected/<scenario>.out:
#   run_scenario.sh SCENARIO HOST ROOT
# The databases are copies of those the resume fixture keeps before each pass
# (tests/e2e/resume_e2e.sh: e2e_resume_{module,incr}_N, N = passes done).
# The statement trace of DBLayer and the host's log go to one file, in the
# order they happen; tests/transcripts/normalise makes it comparable.
# VSU_TRANSCRIPT_REWRITE=1 writes the new transcript over the expected file
# instead of comparing (review the diff before committing it).
# Exit 0 same (or rewritten), 1 differs or failed.
set -uo pipefail

SCENARIO=$1 HOST=$2 ROOT=$3
set -a
# shellcheck disable=SC1091
. "${VSU_PG_DIR:?}/env"
set +a
EXPECTED=$ROOT/tests/expected/$SCENARIO.out
WORK=$(mktemp -d /tmp/vsu-transcript.XXXXXXXX)
M=vsu_tr_$$_m I=vsu_tr_$$_i
cleanup() {
    dropdb --force --if-exists "$M" 2>/dev/null
    dropdb --force --if-exists "$I" 2>/dev/null
    rm -rf -- "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL [$SCENARIO]: $*"; exit 1; }
PSQL=(psql -X -q -o /dev/null -v ON_ERROR_STOP=1)

# from N: this scenario's databases as copies of those before pass N.
# A copy fails while another session is on its template (a resume case's psql): tried again.
from() {
    for _ in 1 2 3 4 5; do
        dropdb --if-exists "$M" 2>/dev/null && dropdb --if-exists "$I" 2>/dev/null &&
            createdb -T "e2e_resume_module_$1" "$M" 2>"$WORK/createdb" &&
            createdb -T "e2e_resume_incr_$1" "$I" 2>"$WORK/createdb" && return 0
        sleep 1
    done
    fail "copies of the databases before pass $1: $(cat "$WORK/createdb")"
}
# refuse DB TABLE CONDITION: a deferred trigger on TABLE refuses, at COMMIT, the row that meets CONDITION.
refuse() {
    "${PSQL[@]}" -d "$1" -c "CREATE FUNCTION public.transcript_refuse() RETURNS trigger LANGUAGE plpgsql AS
        \$\$ BEGIN IF $3 THEN RAISE EXCEPTION 'refused by the transcript test'; END IF; RETURN NULL; END \$\$;
        CREATE CONSTRAINT TRIGGER transcript_refuse AFTER INSERT ON $2 DEFERRABLE INITIALLY DEFERRED
        FOR EACH ROW EXECUTE FUNCTION public.transcript_refuse();" || fail "trigger"
}

WORKDIR=$ROOT/fixtures
SCRIPTS=META_INFO/visitor.s/runtime_script/db_init
ARGS=(--from 0.0.0)
case $SCENARIO in
config_records_from_0_0_0)
    from 0
    ARGS+=(--pass config,records --db1 "dbname=$M")
    ;;
incremental_passes)
    from 2
    ARGS+=(--pass config-incr,records-incr --db1 "dbname=$M" --db3 "dbname=$I")
    ;;
failing_script)
    # The script of the step 1.7.0 -> 1.8.0 (update_V1.4.0) fails in its second statement.
    from 0
    WORKDIR=$WORK/workdir
    mkdir -p "$WORKDIR" && cp -r "$ROOT/fixtures/META_INFO" "$WORKDIR/" || fail "workdir"
    sed -i '1a SELECT 1 / 0 AS transcript_failure;' "$WORKDIR/$SCRIPTS/update_V1.4.0/update.sql"
    ARGS+=(--pass config --db1 "dbname=$M")
    ;;
refused_commit_visit_record)
    from 1
    refuse "$M" visitor.visitor_record "NEW.object_guid = md5('1234')"
    ARGS+=(--pass records --db1 "dbname=$M")
    ;;
refused_commit_incremental_approval)
    from 3
    refuse "$I" officeworkflow.approve_process "EXISTS (SELECT 1 FROM visitor.visitor_appoint_record a
        WHERE a.object_guid = 'appoint-added-102' AND a.appoint_approval_flow_id = NEW.process_num)"
    ARGS+=(--pass records-incr --db1 "dbname=$M" --db3 "dbname=$I")
    ;;
*)
    fail "unknown scenario"
    ;;
esac

mkdir -p "$(dirname "$EXPECTED")"
# Days of the run, in UTC and local time: the plug-in writes times of either.
DAYS=(--day "$(date -u +%F)" --day "$(date +%F)")
RC=0
VSU_STATEMENT_TRACE=$WORK/raw "$HOST" run "${ARGS[@]}" --workdir "$WORKDIR" --log-file "$WORK/raw" --log-level 3 \
    >"$WORK/out" 2>"$WORK/err" || RC=$?
[[ -f $WORK/raw ]] || fail "the host wrote nothing (exit $RC): $(cat "$WORK/err")"
DAYS+=(--day "$(date -u +%F)" --day "$(date +%F)")
{
    echo "# visitor-upgrade run ${ARGS[*]}" | sed "s/$M/<module>/g; s/$I/<incr>/g"
    echo "# exit $RC"
    "$ROOT/tests/transcripts/normalise" "$WORK/raw" --stderr "$WORK/err" --name "$M=module" --name "$I=incr" \
        --name "$WORKDIR=workdir" "${DAYS[@]}" || fail "normalise"
} | sed "s|$ROOT|<root>|g" >"$WORK/transcript"
[[ ${PIPESTATUS[0]} -eq 0 ]] || fail "normalise"

if [[ ${VSU_TRANSCRIPT_REWRITE:-0} == 1 ]]; then
    cp "$WORK/transcript" "$EXPECTED" || fail "cannot write $EXPECTED"
    echo "REWRITTEN [$SCENARIO]: $EXPECTED ($(wc -l <"$EXPECTED") lines)"
    exit 0
fi
[[ -f $EXPECTED ]] || fail "no $EXPECTED (VSU_TRANSCRIPT_REWRITE=1 writes it)"
if ! diff -u --label "expected/$SCENARIO.out" --label "this run" "$EXPECTED" "$WORK/transcript" >"$WORK/diff"; then
    head -n 80 "$WORK/diff"
    fail "the transcript differs from tests/expected/$SCENARIO.out ($(grep -c '^[-+][^-+]' "$WORK/diff") lines)"
fi
echo "PASS [$SCENARIO]: $(wc -l <"$EXPECTED") lines as expected"
