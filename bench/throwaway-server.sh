# Sourced by the benchmarks' run_bench.sh: starts a throwaway PostgreSQL in a new
# temporary directory WORK (named after $1), stops and removes both on exit, and
# exports libpq's PG* variables for it. Needs ROOT (the repository root).
WORK=$(mktemp -d "/tmp/vsu-$1-bench.XXXXXXXX")
"$ROOT/scripts/pgtmp" start "$WORK/pg" >/dev/null
trap '"$ROOT/scripts/pgtmp" stop "$WORK/pg" >/dev/null 2>&1; rm -rf -- "$WORK"' EXIT
set -a
# shellcheck disable=SC1091
. "$WORK/pg/env"
set +a
