#!/usr/bin/env bash
# Fuzzes the portable parsers with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer: a
# native clang build of the same sources (tests/fuzz). Installs nothing: run scripts/install-deps.sh
# first. Every mode stops by itself.
#   scripts/fuzz.sh --quick [target...]     each target for 10 s from its seed corpus (the test command's mode)
#   scripts/fuzz.sh --full [target...]      each target for 120,000 runs (at most 600 s), growing build/fuzz/corpus
#   scripts/fuzz.sh --coverage [target...]  line coverage of the parser files by seeds and grown corpus
#   scripts/fuzz.sh --build                 only the build
# Targets: settings policy auth_request ui_records mfa_answer log_tail (all by default).
# A crash, a sanitizer report or a failed property stops the target with exit status 1 and leaves
# its input in build/fuzz/findings/<target>/; replay it with build/fuzz/fuzz_<target> <file>.
# FUZZ_QUICK_SECONDS, FUZZ_FULL_RUNS and FUZZ_FULL_SECONDS change the bounds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=--quick
if [ $# -gt 0 ] && [[ $1 == --* ]]; then mode=$1; shift; fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(settings policy auth_request ui_records mfa_answer log_tail)

quick_seconds=${FUZZ_QUICK_SECONDS:-10}
full_runs=${FUZZ_FULL_RUNS:-120000}
full_seconds=${FUZZ_FULL_SECONDS:-600}

for tool in clang++ cmake ninja; do
  command -v $tool >/dev/null || { echo "fuzz: $tool is missing: run scripts/install-deps.sh" >&2; exit 2; }
done

build() {  # build dir, extra cmake arguments
  local dir=$1; shift
  # One build at a time (ctest runs the quick targets side by side).
  mkdir -p "$dir"
  (
    flock 9
    if [ ! -f "$dir/build.ninja" ]; then
      CXX=clang++ cmake -S tests/fuzz -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    fi
    cmake --build "$dir" >"$dir.log" 2>&1 || { tail -40 "$dir.log" >&2; echo "fuzz: the build failed" >&2; exit 2; }
  ) 9>"$dir.lock"
}

options_of() {  # libFuzzer options per target: the dictionary where the input is JSON, and the input size
  case $1 in
    settings)     echo "-dict=$root/tests/fuzz/json.dict -max_len=8192" ;;
    policy)       echo "-dict=$root/tests/fuzz/json.dict -max_len=70000" ;;
    mfa_answer)   echo "-dict=$root/tests/fuzz/json.dict -max_len=8192" ;;
    auth_request) echo "-max_len=9000" ;;
    ui_records)   echo "-max_len=4600" ;;
    log_tail)     echo "-max_len=20000" ;;
    *) echo "fuzz: unknown target $1" >&2; exit 2 ;;
  esac
}

# Runs one target; prints a summary line; returns libFuzzer's status.
run() {  # target, work corpus dir, libFuzzer bounds...
  local target=$1 work=$2; shift 2
  local seeds=$root/tests/fuzz/corpus/$target findings=$root/build/fuzz/findings/$target
  local log=$root/build/fuzz/logs/$target$mode.log
  mkdir -p "$work" "$findings" "$(dirname "$log")"
  local status=0
  # shellcheck disable=SC2046
  nice -n 10 "$root/build/fuzz/fuzz_$target" $(options_of "$target") "$@" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$seeds" >"$log" 2>&1 || status=$?
  local runs rate cov ft corp
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  corp=$(grep -o 'corp: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  if [ $status -eq 0 ]; then
    printf 'fuzz %-13s %s: %s runs, %s exec/s, cov %s, ft %s, corpus %s: no finding\n' \
      "$target" "$mode" "${runs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}"
  else
    printf 'fuzz %-13s %s: FINDING after %s runs (status %s); input in %s, log %s\n' \
      "$target" "$mode" "${runs:-?}" "$status" "$findings" "$log"
    grep -m5 -E 'ERROR|fuzz property failed|runtime error|SUMMARY' "$log" | sed 's/^/    /' || true
  fi
  return $status
}

status=0
case $mode in
  --build)
    build build/fuzz
    ;;
  --quick)
    build build/fuzz
    for t in "${targets[@]}"; do
      scratch=build/fuzz/quick/$t
      rm -rf "$scratch"
      run "$t" "$scratch" -max_total_time="$quick_seconds" || status=1
    done
    ;;
  --full)
    build build/fuzz
    for t in "${targets[@]}"; do
      run "$t" "build/fuzz/corpus/$t" -runs="$full_runs" -max_total_time="$full_seconds" || status=1
    done
    ;;
  --coverage)
    command -v llvm-cov >/dev/null || { echo "fuzz: llvm-cov is missing: run scripts/install-deps.sh" >&2; exit 2; }
    build build/fuzz-coverage -DSENTREL_FUZZ_COVERAGE=ON
    out=build/fuzz-coverage/profiles
    rm -rf "$out"; mkdir -p "$out"
    objects=()
    for t in "${targets[@]}"; do
      mkdir -p "build/fuzz/corpus/$t"
      # shellcheck disable=SC2046
      LLVM_PROFILE_FILE="$out/$t.profraw" build/fuzz-coverage/fuzz_$t $(options_of "$t") -runs=0 \
        "build/fuzz/corpus/$t" "tests/fuzz/corpus/$t" >/dev/null 2>&1
      objects+=(-object "build/fuzz-coverage/fuzz_$t")
    done
    llvm-profdata merge -sparse "$out"/*.profraw -o "$out/all.profdata"
    # The parser files only (not the harnesses or the stand-ins for Win32).
    llvm-cov report "${objects[@]:1}" -instr-profile="$out/all.profdata" \
      common/settings.cpp common/policy.cpp common/text.cpp common/auth_pipe.cpp common/canonical_path.cpp \
      service/rule_match.cpp common/ui_broker.cpp common/ui_broker_round.cpp common/mfa_client.cpp \
      ui/log_tail.cpp ui/auth_dialog_state.cpp ui/push_poll.cpp
    ;;
  *)
    echo "usage: scripts/fuzz.sh [--quick|--full|--coverage|--build] [target...]" >&2
    exit 2
    ;;
esac
exit $status
