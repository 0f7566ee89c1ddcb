#!/usr/bin/env bash
# Runs the test suite again and again, each time as CI does: a clean clone of the current commit,
# built from nothing, with a fresh Wine prefix. Every failure is reported with its log.
#
#   scripts/repeat-tests.sh [--runs N] [--stress] [--keep-build] [-- ctest arguments...]
#
#   --runs N       how many runs (default 5)
#   --stress       two CPU-bound processes load the machine during every run
#   --keep-build   one clean clone and build, then only the tests again (faster; the first run
#                  still starts from nothing)
#   -- ARGS        passed to ctest, e.g. "-- -L e2e" for the end-to-end tests only
#
# Logs and a summary go to build-repeat/<time>/ in this checkout (run-<k>.log, summary.txt); the
# exit code is 0 only when every run passed.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

runs=5
stress=0
keep_build=0
ctest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --stress) stress=1; shift ;;
    --keep-build) keep_build=1; shift ;;
    --) shift; ctest_args=("$@"); break ;;
    *) echo "usage: scripts/repeat-tests.sh [--runs N] [--stress] [--keep-build] [-- ctest arguments...]" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh
commit=$(git rev-parse HEAD)
out="$top/build-repeat/$(date +%Y%m%d-%H%M%S)"
mkdir -p "$out"
work=$(mktemp -d /tmp/sentrel-repeat.XXXXXX)
load_pids=()

cleanup() {
  for pid in "${load_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ -d "$work/clone/build/wineprefix" ]; then
    WINEPREFIX="$work/clone/build/wineprefix" wineserver -k 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

if [ "$stress" = 1 ]; then
  for _ in 1 2; do
    # shellcheck disable=SC2016
    nice -n 0 sh -c 'while :; do :; done' &
    load_pids+=($!)
  done
  echo "repeat: two CPU-bound processes load the machine (pids ${load_pids[*]})"
fi

{
  echo "commit $commit, $runs runs$( [ "$stress" = 1 ] && echo ', under load (2 CPU-bound processes)')"
  echo "ctest arguments: ${ctest_args[*]:-(none)}"
} >"$out/summary.txt"

failed_runs=0
for k in $(seq 1 "$runs"); do
  if [ "$keep_build" = 0 ] || [ "$k" = 1 ]; then
    if [ -d "$work/clone/build/wineprefix" ]; then
      WINEPREFIX="$work/clone/build/wineprefix" wineserver -k 2>/dev/null || true
    fi
    rm -rf "$work/clone"
    git clone -q --no-hardlinks "$top" "$work/clone"
    git -C "$work/clone" checkout -q "$commit"
  else
    # Same build, fresh Wine prefix: what a first run on a new machine meets.
    WINEPREFIX="$work/clone/build/wineprefix" wineserver -k 2>/dev/null || true
    rm -rf "$work/clone/build/wineprefix"
  fi
  log="$out/run-$k.log"
  started=$(date +%s)
  set +e
  (cd "$work/clone" && bash scripts/test.sh "${ctest_args[@]}") >"$log" 2>&1
  code=$?
  set -e
  seconds=$(( $(date +%s) - started ))
  result=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1 || true)
  if [ "$code" = 0 ]; then
    line="run $k: passed in ${seconds} s: ${result:-no ctest summary}"
  else
    failed_runs=$((failed_runs + 1))
    line="run $k: FAILED (exit $code) in ${seconds} s: ${result:-no ctest summary}"
    # The names of the failed tests, and their output as ctest printed it (output on failure).
    grep -E '^\s+[0-9]+ - .* \((Failed|Timeout|Not Run|Exception|SEGFAULT|Subprocess aborted)\)' "$log" \
      | sed 's/^/    /' >>"$out/failures.txt" || true
    cp "$log" "$out/failed-run-$k.log"
  fi
  echo "$line"
  echo "$line" >>"$out/summary.txt"
  if [ "$code" != 0 ]; then
    grep -E '^\s+[0-9]+ - .* \(' "$log" | sed 's/^/    /' | tee -a "$out/summary.txt" || true
  fi
done

echo "repeat: $((runs - failed_runs)) of $runs runs passed; logs in $out"
echo "$((runs - failed_runs)) of $runs runs passed" >>"$out/summary.txt"
[ "$failed_runs" = 0 ]
