#!/usr/bin/env bash
# Every pass from "0.0.0" broken off and run again, through the visitor-upgrade
# command, over a module database (--db1; --db2 left to reach the same one), an
# incremental database (--db3) and `lumo`:
#   resume_e2e.sh setup|cleanup          HOST ROOT
#   resume_e2e.sh killed|repeated PASS   HOST ROOT
#   resume_e2e.sh refused_commit ROW     HOST ROOT
# `setup` (a ctest fixture) seeds both databases at 0.0.0 and runs config,
# records, config-incr, records-incr once each, uninterrupted, keeping before
# pass N a copy of both databases (e2e_resume_{module,incr}_N) and after it the
# state (resume_state.sql) and the pass's own seconds, in $VSU_RESUME_DIR. The
# other cases copy those databases (createdb -T) and must end in those states:
# - killed PASS: SIGKILL of the host at random moments of PASS, measured from the
#   pass's first log line within its reference duration; each killed run is
#   followed by runs of the same pass, the next one killed too, until one exits
#   0. At least $KILLS kills must hit the running pass (a kill after the pass
#   ended counts as a rerun; then the next moment is taken earlier).
# - repeated PASS: PASS run twice more after its success (config also once more
#   after all four passes): exit 0 and the same state every time.
# - refused_commit ROW: a deferred constraint trigger refuses the COMMIT of one
#   row: a copied visit record (visit_record) or an approval process of the
#   records pass (approval_process) or of the incremental one
#   (incremental_approval_process): exit 1 with the refusal's text, the status
#   not finished; the trigger dropped, the rerun exits 0 with every row once.
# The moments come from $RANDOM seeded with VSU_SEED (printed; set it to replay).
# Exit 0 pass, 1 fail.
set -uo pipefail

CASE=$1
[[ $CASE == killed || $CASE == repeated || $CASE == refused_commit ]] && { PASS=$2; shift; }
HOST=$2 ROOT=$3
BIN=$(dirname "$HOST")
set -a
# shellcheck disable=SC1091
. "${VSU_PG_DIR:?}/env"
set +a
DIR=${VSU_RESUME_DIR:?}
PASSES=(config records config-incr records-incr)
SCALE=6000 KILLS=${VSU_KILLS:-10} MAX_TRIALS=40
SEED=${VSU_SEED:-$((RANDOM * 32768 + RANDOM))}
RANDOM=$SEED
WORK=$(mktemp -d /tmp/vsu-resume.XXXXXXXX)
DBS=()
cleanup() {
    for db in "${DBS[@]}"; do dropdb --force --if-exists "$db" 2>/dev/null; done
    rm -rf -- "$WORK"
}
trap cleanup EXIT
exec {SNOOZE_FD}<> <(:)
snooze() { read -rt "$1" -u "$SNOOZE_FD" || true; }

LABEL="$CASE${PASS:+ $PASS}"
fail() { echo "FAIL [$LABEL] (VSU_SEED=$SEED): $*"; exit 1; }
q() { psql -X -At -v ON_ERROR_STOP=1 -d "$1" -c "$2" || fail "query failed on $1: $2"; }
PSQL=(psql -X -q -o /dev/null -v ON_ERROR_STOP=1)
module_db() { echo "e2e_resume_module_$1"; }
incr_db() { echo "e2e_resume_incr_$1"; }
pass_index() {
    local i
    for i in "${!PASSES[@]}"; do [[ ${PASSES[$i]} == "$1" ]] && { echo "$i"; return; }; done
    fail "unknown pass $1"
}

# Rows the incremental database gains meanwhile, beyond the shared seed, so that
# its two passes last long enough to be hit: templates of every type to move,
# and appointments that get processes of their own (marks 1, 0, -1, NULL) or
# take over the module database's flow number (2, 3).
EXTRA_INCREMENTAL="
INSERT INTO visitor.emailtemplate (id, template_type, name, subject, content, createtime, updatetime, receiver, isdeleted)
SELECT 200 + g, g % 7, 'Added template ' || g, 'Subject ' || g,
       'Body \${VisitorName} ' || g || CASE WHEN g % 7 IN (3, 6) THEN ' \${H5URL} \${DynamicQrcodeUrl}' ELSE '' END,
       '2024-06-02 00:00:00', '2024-06-02 00:00:00', 'host', CASE WHEN g % 10 = 0 THEN 1 ELSE 0 END
FROM generate_series(1, 150) g;
SELECT setval('visitor.emailtemplate_id_seq', 350);
INSERT INTO visitor.visitor_appoint_record (id, object_guid, visitor_id, interviewee_id, visit_reason_id,
    visit_reason_detail, appointment_status, start_valid_time, end_valid_time, create_time, update_time, is_deleted,
    row_status_implicit_upgrade)
SELECT CASE WHEN g <= 100 THEN 9 + g ELSE 1000010 + g END,
       CASE WHEN g <= 100 THEN 'appoint-' || (9 + g) ELSE 'appoint-added-' || g END,
       1 + g % 1000, 2000 + g % 50, 1 + g % 4, 'added ' || g, g % 2, t, t + interval '1 hour', t, t, 0,
       CASE WHEN g <= 100 THEN 2 + g % 2 ELSE (ARRAY[1, 0, -1, NULL])[1 + g % 4] END
FROM generate_series(1, 400) g, LATERAL (SELECT timestamp '2024-08-01' + g * interval '1 hour') x(t);"

# state MODULE INCR FILE: the state of both databases, sorted, each line led by the database's role.
state() {
    local map
    map=$(q "$1" "SELECT coalesce(json_object_agg(id, template_type || '|' || name || '|' || subject), '{}')
                  FROM visitor.emailtemplate")
    { state_of "$1" module && state_of "$2" incr; } | LC_ALL=C sort >"$3" || fail "state of $1 and $2"
}
state_of() {
    psql -X -q -At -v ON_ERROR_STOP=1 -v tmap="$map" -d "$1" -f "$ROOT/tests/e2e/resume_state.sql" | sed "s/^/$2|/"
}
# expect_state N WHAT: both databases of this case hold the state after pass N-1.
expect_state() {
    state "$M" "$I" "$WORK/state"
    diff "$DIR/state.$1" "$WORK/state" >"$WORK/diff" && return 0
    echo "--- first differing lines (< uninterrupted run, > this run):"
    grep '^[<>]' "$WORK/diff" | head -n 12
    echo "($(grep -c '^[<>]' "$WORK/diff") differing lines in all)"
    fail "$2: the state differs from the uninterrupted run's"
}
# copy_before N: M and I (dropped first) as copies of the databases before pass N.
copy_before() {
    dropdb --force --if-exists "$M" 2>/dev/null && dropdb --force --if-exists "$I" 2>/dev/null &&
        createdb -T "$(module_db "$1")" "$M" && createdb -T "$(incr_db "$1")" "$I" ||
        fail "copies of the databases before pass $1"
}
# fresh N: this case's own databases as copies of those before pass N.
fresh() {
    M=e2e_resume_$$_m I=e2e_resume_$$_i
    DBS=("$M" "$I")
    copy_before "$1"
}

# start P: the host runs pass P on M and I in the background (pid PID).
start() {
    rm -f "$WORK/log"
    "$HOST" run --from 0.0.0 --pass "$1" --db1 "dbname=$M" --db3 "dbname=$I" --workdir "$ROOT/fixtures" \
        --log-file "$WORK/log" --log-level 3 >"$WORK/out" 2>"$WORK/err" &
    PID=$!
}
# Sessions of a killed host end when their server processes notice; a run before
# that would meet the module lock.
sessions_gone() {
    local n
    for _ in $(seq 1 600); do
        n=$(q postgres "SELECT count(*) FROM pg_stat_activity WHERE backend_type = 'client backend'
                        AND datname IN ('$M', '$I')")
        [[ $n == 0 ]] && return 0
        snooze 0.05
    done
    fail "sessions of a killed host still open on $M or $I after 30 s"
}
# run P: pass P to its end; RC its exit code. A lock still held by a dying session is waited for.
run() {
    for _ in 1 2 3; do
        start "$1"
        wait "$PID"
        RC=$?
        [[ $RC -eq 2 ]] && grep -q 'another upgrade of module' "$WORK/err" || return 0
        sessions_gone
    done
}
expect_rc() { [[ $RC -eq $1 ]] || fail "$2 exited $RC, expected $1: $(grep -v '^visitor-upgrade: .* [0-9]*s | ' "$WORK/err")"; }
# usecs: seconds (text) as microseconds; secs: the reverse.
usecs() { awk -v s="$1" 'BEGIN { printf "%d", s * 1000000 }'; }
secs() { printf '%d.%06d' $(($1 / 1000000)) $(($1 % 1000000)); }

# marks DB: how many marks of work done DB holds.
marks() { psql -X -At -d "$1" -c "SELECT count(*) FROM visitor.module_upgrade_marker" 2>/dev/null || echo 0; }
# kill_at P US: runs pass P and kills it US microseconds after its first log line.
# KILLED=1 when the kill hit the running pass (STEP: where it was); RC the exit code.
kill_at() {
    KILLED=0
    for _ in 1 2 3; do
        start "$1"
        local since=$SECONDS
        while [[ ! -s $WORK/log ]] && kill -0 "$PID" 2>/dev/null; do
            ((SECONDS - since < 60)) || fail "no log line of $1 within 60 s"
            snooze 0.001
        done
        [[ -s $WORK/log ]] && snooze "$(secs "$2")"
        kill -KILL "$PID" 2>/dev/null
        wait "$PID" 2>/dev/null
        RC=$?
        sessions_gone
        [[ $RC -eq 2 ]] && grep -q 'another upgrade of module' "$WORK/err" || break
    done
    # A kill after the pass's "finished" line only cut the host's exit short: the pass is done.
    [[ $RC -eq 137 ]] && grep -q "^visitor-upgrade: pass $1 finished" "$WORK/err" && RC=0
    if [[ $RC -eq 137 && -s $WORK/log ]]; then
        KILLED=1
        # Where it was: the step named last in the log (not every step logs), the
        # module's status row, the marks of work done in both databases.
        STEP=$(grep -oE 'UnifiedUpgradeComponent::C(Raw|[0-9]+)ToC?[0-9]+' "$WORK/log" | tail -n 1)
        STEP="${STEP#*::} step_ver $(q "$M" "SELECT string_agg(step_ver || ' status ' || status, ',')
                                             FROM platform.module_version_status"), marks $(marks "$M")+$(marks "$I")"
        STEP=${STEP# }
    fi
}

case $CASE in
setup)
    m0=$(module_db 0) i0=$(incr_db 0)
    "$ROOT/fixtures/build-at" 0.0.0 --db "$m0" --scale $SCALE --bin "$BIN" >"$WORK/build.out" 2>&1 ||
        { cat "$WORK/build.out"; fail "build-at 0.0.0"; }
    dropdb --if-exists "$i0" && createdb -T e2e_chain_incr_template "$i0" || fail "copy of the incremental database"
    "${PSQL[@]}" -d "$i0" -c "$EXTRA_INCREMENTAL" || fail "rows added to the incremental database"
    mkdir -p "$DIR" && rm -f "$DIR"/state.* "$DIR"/seconds.*
    M=$m0 I=$i0
    state "$M" "$I" "$DIR/state.0"
    for i in "${!PASSES[@]}"; do
        pass=${PASSES[$i]} M=$(module_db $((i + 1))) I=$(incr_db $((i + 1)))
        copy_before "$i"
        run "$pass"
        expect_rc 0 "uninterrupted $pass"
        sed -n "s/^visitor-upgrade: pass $pass finished in \([0-9.]*\) s$/\1/p" "$WORK/err" >"$DIR/seconds.$pass"
        state "$M" "$I" "$DIR/state.$((i + 1))"
        echo "$pass: $(cat "$DIR/seconds.$pass") s, $(wc -l <"$DIR/state.$((i + 1))") lines of state"
    done
    ;;

cleanup)
    for i in 0 1 2 3 4; do dropdb --if-exists "$(module_db $i)"; dropdb --if-exists "$(incr_db $i)"; done
    rm -rf -- "$DIR"
    ;;

killed)
    index=$(pass_index "$PASS")
    total=$(usecs "$(cat "$DIR/seconds.$PASS")")
    ((total >= 10000)) || total=10000 # the host prints hundredths
    echo "seed $SEED; $PASS took $(secs "$total") s uninterrupted"
    # A trial kills the first run in another tenth of the pass's reference duration
    # than the trials before, and its first rerun anywhere in it; later reruns go to
    # the end. A kill that comes after the pass ended halves the next moment.
    slots=(0 1 2 3 4 5 6 7 8 9)
    for ((s = 9; s > 0; s--)); do
        r=$((RANDOM % (s + 1))) && t=${slots[s]} && slots[s]=${slots[r]} && slots[r]=$t
    done
    hits=0 trial=0 scale=1000
    declare -A steps=()
    while ((hits < KILLS)); do
        ((trial < MAX_TRIALS)) || fail "only $hits kills in $trial trials hit the running pass"
        fresh "$index"
        report="" kills=0 RC=137
        while ((RC != 0)); do
            if ((kills == 0)); then
                us=$(((slots[trial % 10] * 1000 + RANDOM % 1000) * total / 10000 * scale / 1000))
            else
                us=$((RANDOM % 1000 * total / 1000 * scale / 1000))
            fi
            if ((kills < 2)); then
                kills=$((kills + 1))
                kill_at "$PASS" "$us"
                if ((KILLED)); then
                    hits=$((hits + 1)) scale=1000
                    steps[$STEP]=$((${steps[$STEP]:-0} + 1))
                    report+=" killed at $(secs "$us") s in $STEP;"
                else
                    scale=$((scale / 2))
                    report+=" the run ended (exit $RC) before a kill at $(secs "$us") s;"
                fi
            else
                run "$PASS"
                KILLED=0
                report+=" rerun;"
            fi
            ((RC == 0 || KILLED)) ||
                fail "trial $trial:$report the run exited $RC: $(grep -v '^visitor-upgrade: .* [0-9]*s | ' "$WORK/err")"
        done
        echo "trial $trial:$report exit 0"
        expect_state $((index + 1)) "trial $trial:$report"
        trial=$((trial + 1))
    done
    echo "$hits kills hit the running $PASS in $trial trials, by step:" \
        "$(for s in "${!steps[@]}"; do echo "$s: ${steps[$s]}"; done | sort | paste -sd";" -)"
    ;;

repeated)
    index=$(pass_index "$PASS")
    fresh $((index + 1))
    for time in second third; do
        run "$PASS"
        expect_rc 0 "$PASS run a $time time"
        expect_state $((index + 1)) "$PASS run a $time time"
    done
    if [[ $PASS == config ]]; then
        # As a host does when a later step failed: the configuration pass again after the others.
        copy_before 4
        run config
        expect_rc 0 "config run again after all four passes"
        expect_state 4 "config run again after all four passes"
    fi
    ;;

refused_commit)
    # A deferred trigger on TABLE of the database DB (M or I) refuses the row (NEW)
    # that meets CONDITION when PASS commits it.
    linked_to() { echo "EXISTS (SELECT 1 FROM visitor.visitor_appoint_record a WHERE a.object_guid = '$1'
                                AND a.appoint_approval_flow_id = NEW.process_num)"; }
    case $PASS in
    visit_record) pass=records db=M table=visitor.visitor_record condition="NEW.object_guid = md5('1234')" ;;
    approval_process) pass=records db=M table=officeworkflow.approve_process condition=$(linked_to appoint-150) ;;
    incremental_approval_process)
        pass=records-incr db=I table=officeworkflow.approve_process condition=$(linked_to appoint-added-102) ;;
    *) fail "unknown refusal" ;;
    esac
    index=$(pass_index "$pass")
    fresh "$index"
    db=${!db}
    "${PSQL[@]}" -d "$db" -c "CREATE FUNCTION public.resume_test_refuse() RETURNS trigger LANGUAGE plpgsql AS
        \$\$ BEGIN IF $condition THEN RAISE EXCEPTION 'refused by the resume test'; END IF; RETURN NULL; END \$\$;
        CREATE CONSTRAINT TRIGGER resume_test_refuse AFTER INSERT ON $table DEFERRABLE INITIALLY DEFERRED
        FOR EACH ROW EXECUTE FUNCTION public.resume_test_refuse();" || fail "trigger"
    run "$pass"
    expect_rc 1 "$pass with a refused COMMIT"
    grep -q "^visitor-upgrade: pass $pass failed: error .*refused by the resume test" "$WORK/err" ||
        fail "the failure line lacks the refusal: $(cat "$WORK/err")"
    # The records pass ends by marking the module finished; the incremental one leaves the status as it is.
    [[ $pass == records-incr ]] || [[ $(q "$M" "SELECT count(*) FROM platform.module_version_status
                                               WHERE status = 1 AND step_ver = '1.16.0'") == 0 ]] ||
        fail "the status says finished after a refused COMMIT"
    "${PSQL[@]}" -d "$db" -c "DROP TRIGGER resume_test_refuse ON $table; DROP FUNCTION public.resume_test_refuse()" ||
        fail "drop trigger"
    run "$pass"
    expect_rc 0 "$pass after the trigger was dropped"
    expect_state $((index + 1)) "$pass after the trigger was dropped"
    ;;

*)
    fail "unknown case"
    ;;
esac
echo "PASS [$LABEL]"
