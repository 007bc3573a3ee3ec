#!/usr/bin/env bash
# Every pass from "0.0.0" broken off and run again, through the visitor-upgrade
# command, over a module database (--db1; --db2 left to reach the same one), an
# incremental database (--db3) and `lumo`:
#   resume_e2e.sh setup|cleanup          HOST ROOT
#   resume_e2e.sh killed PASS [bulk]     HOST ROOT
#   resume_e2e.sh transcript SCENARIO    HOST ROOT
#   resume_e2e.sh modes SCENARIO         HOST ROOT
# `setup` (a ctest fixture) seeds both databases at 0.0.0 and runs config,
# records, config-incr, records-incr once each, uninterrupted, keeping before
# pass N a copy of both databases (e2e_resume_{module,incr}_N) and after it the
# state (resume_state.sql) and the pass's own seconds, in $VSU_RESUME_DIR. The
# other cases copy those databases (createdb -T) and must end in those states:
# - killed PASS: SIGKILL of the host at random moments of PASS, measured from the
#   pass's first log line within its reference duration; each killed run is
#   followed by runs of the same pass, the next one killed too, until one exits
#   0. At least $KILLS kills must hit the running pass (a kill after the pass
#   ended counts as a rerun; then the next moment is taken earlier). Then PASS
#   runs once more (config also after all four passes): the same state. With
#   bulk, every run of the pass is a `run --bulk`.
# - transcript SCENARIO: see the case below; failing scenarios (a script that
#   fails, a refused COMMIT) exit 1 and leave a state that the rerun completes.
# The moments come from $RANDOM seeded with VSU_SEED (printed; set it to replay).
# Exit 0 pass, 1 fail.
set -uo pipefail

CASE=$1
BULK=()
[[ $CASE == killed || $CASE == transcript || $CASE == modes ]] && { PASS=$2; shift; }
[[ $CASE == killed && $2 == bulk ]] && { BULK=(--bulk); shift; }
HOST=$2 ROOT=$3
PASSES=(config records config-incr records-incr)
SCALE=6000 KILLS=${VSU_KILLS:-10} MAX_TRIALS=40
SEED=${VSU_SEED:-$((RANDOM * 32768 + RANDOM))}
RANDOM=$SEED
LABEL="$CASE${PASS:+ $PASS}${BULK:+ bulk} (VSU_SEED=$SEED)"
# shellcheck source=tests/e2e/lib.sh
. "$ROOT/tests/e2e/lib.sh"
DIR=${VSU_RESUME_DIR:?}
exec {SNOOZE_FD}<> <(:)
snooze() { read -rt "$1" -u "$SNOOZE_FD" || true; }
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
    psql -X -q -At -v ON_ERROR_STOP=1 -v tmap="$map" -v exact="${EXACT:-false}" -d "$1" -f "$ROOT/tests/e2e/resume_state.sql" | sed "s/^/$2|/"
}
# expect_state N WHAT [ERE]: both databases of this case hold the state after pass N-1 (this run's lines
# that match ERE left out).
expect_state() {
    state "$M" "$I" "$WORK/state"
    [[ -z ${3:-} ]] || sed -i -E "/$3/d" "$WORK/state"
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
# fresh N [TAG]: this case's own databases (TAG tells apart several) as copies of those before pass N.
fresh() {
    M=e2e_resume_$$_m${2:-} I=e2e_resume_$$_i${2:-}
    DBS+=("$M" "$I")
    copy_before "$1"
}

# start P: the host runs pass P on M and I in the background (pid PID).
start() {
    rm -f "$WORK/log"
    "$HOST" run --from 0.0.0 --pass "$1" --db1 "dbname=$M" --db3 "dbname=$I" --workdir "$ROOT/fixtures" \
        --log-file "$WORK/log" --log-level 3 "${BULK[@]}" >"$WORK/out" 2>"$WORK/err" &
    PID=$!
}
# Sessions of a killed host end when their server processes notice; a run before
# that would meet the module lock.
sessions_gone() {
    local since=$SECONDS
    until [[ $(q postgres "SELECT count(*) FROM pg_stat_activity WHERE backend_type = 'client backend'
                           AND datname IN ('$M', '$I')") == 0 ]]; do
        ((SECONDS - since < 300)) || fail "sessions of a killed host still open on $M or $I after 300 s"
        snooze 0.05
    done
}
# run P: pass P to its end; RC its exit code.
run() {
    start "$1"
    wait "$PID"
    RC=$?
}
# usecs: seconds (text) as microseconds; secs: the reverse.
usecs() { awk -v s="$1" 'BEGIN { printf "%d", s * 1000000 }'; }
secs() { printf '%d.%06d' $(($1 / 1000000)) $(($1 % 1000000)); }

# kill_at P US: runs pass P and kills it US microseconds after its first log line.
# KILLED=1 when the kill hit the running pass (STEP: where it was); RC the exit code.
kill_at() {
    KILLED=0
    start "$1"
    local since=$SECONDS
    while [[ ! -s $WORK/log ]] && kill -0 "$PID" 2>/dev/null; do
        ((SECONDS - since < 300)) || fail "no log line of $1 within 300 s"
        snooze 0.001
    done
    [[ -s $WORK/log ]] && snooze "$(secs "$2")"
    kill -KILL "$PID" 2>/dev/null
    wait "$PID" 2>/dev/null
    RC=$?
    sessions_gone
    # A kill after the pass's "finished" line only cut the host's exit short: the pass is done.
    [[ $RC -eq 137 ]] && grep -q "^visitor-upgrade: pass $1 finished" "$WORK/err" && RC=0
    if [[ $RC -eq 137 && -s $WORK/log ]]; then
        KILLED=1
        # Where it was: the step named last in the log (not every step logs), and the module's status row.
        STEP=$(grep -oE 'UnifiedUpgradeComponent::C(Raw|[0-9]+)ToC?[0-9]+' "$WORK/log" | tail -n 1)
        STEP="${STEP#*::} $(q "$M" "SELECT string_agg(step_ver || ' status ' || status, ',') FROM platform.module_version_status")"
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
    # No session may sit on a database that the cases copy (createdb -T refuses then), autovacuum included.
    for i in 0 1 2 3 4; do
        q postgres "ALTER DATABASE $(module_db $i) ALLOW_CONNECTIONS false;
                    ALTER DATABASE $(incr_db $i) ALLOW_CONNECTIONS false" >/dev/null
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
    # Run again after its success, the pass changes nothing; so does the configuration pass run
    # again after all four, as a host does when a later step failed.
    run "$PASS"
    expect_rc 0 "$PASS run again after success"
    expect_state $((index + 1)) "$PASS run again after success"
    if [[ $PASS == config ]]; then
        copy_before 4
        run config
        expect_rc 0 "config run again after all four passes"
        expect_state 4 "config run again after all four passes"
    fi
    ;;

transcript)
    # A pass over copies of the databases before it, compared as a transcript of what reached
    # the server and what was logged (tests/transcripts/normalise) with tests/expected/SCENARIO.out;
    # VSU_TRANSCRIPT_REWRITE=1 rewrites the file instead (review its diff). A scenario that fails
    # the pass then reruns it as it is, which must end as the uninterrupted run did.
    expected=$ROOT/tests/expected/$PASS.out workdir=$ROOT/fixtures db3=() refused=()
    case $PASS in
    config_records_from_0_0_0) fresh 0 && pass=config,records ;;
    # What bulk mode sends instead of one statement per row, both records passes.
    bulk_records) fresh 1 && pass=records BULK=(--bulk) ;;
    bulk_incremental_records) fresh 3 && pass=records-incr db3=(--db3 "dbname=$I") BULK=(--bulk) ;;
    incremental_passes) fresh 2 && pass=config-incr,records-incr db3=(--db3 "dbname=$I") ;;
    failing_script)
        # The script of the step 1.7.0 -> 1.8.0 (update_V1.4.0) fails in its second line: the pass line names
        # the script and the line, the records pass does not run.
        fresh 0 && pass=config,records workdir=$WORK/workdir
        mkdir -p "$workdir" && cp -r "$ROOT/fixtures/META_INFO" "$workdir/" || fail "workdir"
        sed -i '1a SELECT * FROM visitor.no_such_table;' "$workdir/${SCRIPTS#"$ROOT/fixtures/"}/update_V1.4.0/update.sql"
        ;;
    # A deferred constraint refuses the COMMIT of one row: a copied visit record, an approval
    # process of the records pass or of the incremental one.
    refused_commit_visit_record)
        fresh 1 && pass=records refused=("$M" visitor.visitor_record)
        refuse "${refused[@]}" "NEW.object_guid = md5('1234')" ;;
    refused_commit_approval_process)
        fresh 1 && pass=records refused=("$M" officeworkflow.approve_process)
        refuse "${refused[@]}" "$(linked_to appoint-150)" ;;
    refused_commit_incremental_approval)
        fresh 3 && pass=records-incr db3=(--db3 "dbname=$I") refused=("$I" officeworkflow.approve_process)
        refuse "${refused[@]}" "$(linked_to appoint-added-102)" ;;
    # A visit record refused at its INSERT in bulk mode: the range's set-based statement fails, is rolled
    # back, and the range is done again one row at a time up to the refused row.
    bulk_refused_visit_record)
        fresh 1 && pass=records BULK=(--bulk) refused=("$M" visitor.visitor_record)
        refuse "${refused[@]}" "object_guid = md5('1234')" check ;;
    *) fail "unknown scenario" ;;
    esac
    args=(--from 0.0.0 --pass "$pass" --db1 "dbname=$M" "${db3[@]}" "${BULK[@]}")
    # Days of the run, in UTC and local time: the plug-in writes times of either.
    days=(--day "$(date -u +%F)" --day "$(date +%F)")
    RC=0
    VSU_STATEMENT_TRACE=$WORK/raw "$HOST" run "${args[@]}" --workdir "$workdir" --log-file "$WORK/raw" --log-level 3 \
        >"$WORK/out" 2>"$WORK/err" || RC=$?
    [[ -f $WORK/raw ]] || fail "the host wrote nothing (exit $RC)"
    days+=(--day "$(date -u +%F)" --day "$(date +%F)")
    {
        echo "# visitor-upgrade run ${args[*]}" | sed "s/$M/<module>/g; s/$I/<incr>/g"
        echo "# exit $RC"
        "$ROOT/tests/transcripts/normalise" "$WORK/raw" --stderr "$WORK/err" --name "$M=module" --name "$I=incr" \
            --name "$workdir=workdir" --name "$PGHOST=socket" "${days[@]}"
    } | sed "s|$ROOT|<root>|g" >"$WORK/transcript"
    [[ ${PIPESTATUS[0]} -eq 0 ]] || fail "normalise"
    if [[ ${VSU_TRANSCRIPT_REWRITE:-0} == 1 ]]; then
        cp "$WORK/transcript" "$expected" || fail "cannot write $expected"
        echo "REWRITTEN $expected ($(wc -l <"$expected") lines)"
    elif [[ ! -f $expected ]]; then
        fail "no $expected (VSU_TRANSCRIPT_REWRITE=1 writes it)"
    elif ! diff -u --label "expected/$PASS.out" --label "this run" "$expected" "$WORK/transcript" >"$WORK/diff"; then
        head -n 80 "$WORK/diff"
        fail "the transcript differs from tests/expected/$PASS.out ($(grep -c '^[-+][^-+]' "$WORK/diff") lines)"
    fi
    [[ $PASS == failing_script || $PASS == *refused_* ]] || { echo "PASS [$LABEL]"; exit 0; }
    expect_rc 1 "$pass failing"
    pass=${pass%,records}
    # The records pass ends by marking the module finished, not after a failure; the incremental one leaves
    # the status as it is.
    [[ $pass == records-incr ]] || [[ $(q "$M" "SELECT count(*) FROM platform.module_version_status
                                          WHERE status = 1 AND step_ver = '1.16.0'") == 0 ]] ||
        fail "the status says finished after a failed pass"
    [[ ${#refused[@]} -eq 0 ]] || refuse "${refused[@]}"
    run "$pass"
    expect_rc 0 "$pass run again as it is"
    # The script history keeps the failure (of a script the uninterrupted run never saw) beside the success.
    expect_state $(($(pass_index "$pass") + 1)) "$pass run again as it is" \
        '^module\|row\|visitor.module_upgrade_script_history\|.*,failure,'
    ;;

modes)
    # The pass on copies of one start, without and with --bulk: the same exit, host and log lines, and
    # rows (EXACT: keys included). A row refused at its INSERT (a CHECK, whose error shows the row's key)
    # fails both alike; once let through, each rerun ends as the uninterrupted run, with the same keys.
    pass=records n=1 table=""
    case $PASS in
    same_rows) ;;
    same_rows_incremental) pass=records-incr n=3 ;;
    refused_visit_record) table=visitor.visitor_record ;;
    refused_approval_process | refused_review_process) table=officeworkflow.approve_process ;;
    set_form_refused) multi=t ;; # a site's trigger refuses a multi-row insert: bulk mode stands down once
    *) fail "unknown scenario" ;;
    esac
    for mode in default bulk; do
        fresh "$n" "_$mode"
        [[ $mode == bulk ]] && BULK=(--bulk)
        # Node keys apart from process keys, so that a key taken from the wrong draw shows.
        q "$M" "SELECT setval('officeworkflow.approve_process_node_id_seq', 5000)" >/dev/null
        # A process by its own values (bulk mode inserts a batch's processes before it links its records):
        # appointment 150's, or the first of a review of status 3 (a review batch redone with the ids drawn).
        [[ $table == visitor.* ]] && cond="object_guid = md5('1234')"
        [[ $PASS == refused_approval_process ]] && cond="create_time = '$(q "$M" "SELECT create_time FROM
            visitor.visitor_appoint_record WHERE object_guid = 'appoint-150'")'"
        [[ $PASS == refused_review_process ]] && cond="abnormal_cause = 3"
        [[ -z $table ]] || refuse "$M" "$table" "$cond" check
        [[ -z ${multi:-} ]] || q "$M" "CREATE SEQUENCE public.tries; CREATE FUNCTION public.one_row() RETURNS trigger
            LANGUAGE plpgsql AS \$\$ BEGIN IF (SELECT count(*) FROM n) > 1 THEN PERFORM nextval('public.tries');
            RAISE EXCEPTION 'one row at a time'; END IF; RETURN NULL; END \$\$; CREATE TRIGGER one_row AFTER INSERT ON
            officeworkflow.approve_process REFERENCING NEW TABLE AS n EXECUTE FUNCTION public.one_row()" >/dev/null
        run "$pass"
        echo "exit $RC" >"$WORK/$mode"
        grep -v '^visitor-upgrade: .* [0-9]*s | ' "$WORK/err" >"$WORK/err.$mode"
        "$ROOT/tests/transcripts/normalise" "$WORK/log" --stderr "$WORK/err.$mode" --name "$M=module" \
            --name "$I=incr" --name "$ROOT=root" --day "$(date -u +%F)" --day "$(date +%F)" >>"$WORK/$mode" ||
            fail "normalise"
        EXACT=true state "$M" "$I" "$WORK/state.$mode"
        if [[ -n ${multi:-} ]]; then # tries of the set form and lines that bulk mode stood down: once each in bulk mode
            tries="$(q "$M" "SELECT last_value * is_called::int FROM public.tries")/$(grep -c 'a set-based statement was refused' "$WORK/$mode" || :)"
            [[ $tries == "$([[ $mode == bulk ]] && echo 1/1 || echo 0/0)" ]] || fail "$mode mode: tries/lines $tries"
            sed -i '/bulk mode: a set-based statement was refused where/d' "$WORK/$mode"
        fi
        [[ -z $table ]] && { expect_rc 0 "$pass ($mode)"; continue; }
        expect_rc 1 "$pass ($mode) with a refused row"
        refuse "$M" "$table"
        run "$pass"
        expect_rc 0 "$pass ($mode) after the refused row is let through"
        expect_state $((n + 1)) "$pass ($mode) after the refused row is let through"
        EXACT=true state "$M" "$I" "$WORK/rerun.$mode"
        cat "$WORK/rerun.$mode" >>"$WORK/state.$mode"
    done
    diff -u --label default --label bulk "$WORK/default" "$WORK/bulk" | head -n 40
    cmp -s "$WORK/default" "$WORK/bulk" || fail "exit, host lines or log lines differ between the modes"
    diff "$WORK/state.default" "$WORK/state.bulk" | head -n 20
    cmp -s "$WORK/state.default" "$WORK/state.bulk" || fail "rows differ between the modes"
    ;;

*)
    fail "unknown case"
    ;;
esac
echo "PASS [$LABEL]"
