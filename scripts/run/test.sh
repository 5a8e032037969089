# shellcheck shell=bash
# ./run test: every suite, the builds one after another and the suites in the background, and the table of steps.
# Sourced by ./run, which sets ROOT, JOBS and log().

# The test run's steps: one line each in $STEPS (name, wall seconds, CPU
# seconds, status).
STEPS="$ROOT/build/test-run/steps"

SUITE_PIDS=()

# CPU seconds (user + system) of this shell's finished children, in CPU.
# `times` runs in this shell, not in a command substitution's subshell,
# which has children of its own.
children_cpu() {
  local file
  file=$(mktemp)
  times >"$file"
  CPU=$(tail -n 1 "$file" | sed 's/[ms]/ /g' | awk '{ printf "%d", $1 * 60 + $2 + $3 * 60 + $4 }')
  rm -f "$file"
}

# run_step NAME COMMAND...: the command, timed and recorded. In a subshell
# of its own, whose children are the step's alone (a suite that ends meanwhile
# is the main shell's child); the command is started as a job so that set -e
# holds inside it: it is ignored in anything tested with ||.
run_step() {
  (
    name="$1" start=$SECONDS rc=0
    shift
    "$@" &
    wait $! || rc=$?
    children_cpu
    printf '%s\t%s\t%s\t%s\n' "$name" $((SECONDS - start)) "$CPU" "$rc" >>"$STEPS"
    exit $rc
  )
}

# suite [--yield] NAME COMMAND...: a test suite in the background, its output
# in build/test-run/NAME.log, while the next build goes on. A suite that
# yields runs at a lower priority: the builds, which the later suites wait
# for, and the Windows tests, the longest, go first. Wine's processes and
# server used far more CPU for the same tests when other work kept taking
# the cores from them; the native suites mostly wait on time-outs.
suite() {
  local yield=
  if [ "$1" = --yield ]; then yield=1; shift; fi
  local name="$1"
  shift
  log "started in the background: $name"
  (
    if [ -n "$yield" ]; then renice -n 10 -p "$BASHPID" >/dev/null; fi
    run_step "$name" "$@"
  ) >"$ROOT/build/test-run/$name.log" 2>&1 </dev/null &
  SUITE_PIDS+=($!)
}

# failed_output LOG: what ctest showed of each failed test (its result line
# and the output after it, up to the next result), 200 lines at most each.
failed_output() {
  awk '/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / { show = /\*\*\*|Failed|Timeout|Exception/; n = 0 }
       show && n++ < 200' "$1"
}

# Waits for every suite; shows the log of each that failed, then the table.
finish_suites() {
  local pid failed=0 name rc
  for pid in "${SUITE_PIDS[@]}"; do wait "$pid" || failed=1; done
  while IFS=$'\t' read -r name _ _ rc; do
    [ "$rc" = 0 ] && continue
    [ -f "$ROOT/build/test-run/$name.log" ] || continue
    log "$name failed (status $rc); its failed tests' output, then the end of build/test-run/$name.log:"
    failed_output "$ROOT/build/test-run/$name.log" >&2
    tail -n 60 "$ROOT/build/test-run/$name.log" >&2
  done <"$STEPS"
  return $failed
}

# machine_busy: the CPU seconds the whole machine has been busy since boot,
# in BUSY. Wine's servers and the services they start are not our children,
# so only this counts all the run's work (and anything else running).
machine_busy() {
  BUSY=$(awk -v hz="$(getconf CLK_TCK)" '/^cpu / { printf "%d", ($2 + $3 + $4 + $7 + $8 + $9) / hz }' /proc/stat)
}

# The table of steps (suites overlap the builds after them), and how much of
# one core the whole run used: our own processes, and the whole machine.
step_table() {
  local cpu busy
  children_cpu
  cpu=$CPU
  machine_busy
  busy=$((BUSY - BUSY_AT_START))
  {
    printf '\n%-28s %8s %8s  %s\n' step "wall s" "CPU s" result
    awk -F'\t' '{ printf "%-28s %8d %8d  %s\n", $1, $2, $3, ($4 == 0 ? "ok" : "FAILED (" $4 ")") }' "$STEPS"
    printf '%-28s %8d %8d  %d%% of one core\n' "whole run" "$SECONDS" "$cpu" $((SECONDS ? 100 * cpu / SECONDS : 0))
    printf '%-28s %8d %8d  %d%% of one core, %d cores\n' "machine busy" "$SECONDS" "$busy" \
      $((SECONDS ? 100 * busy / SECONDS : 0)) "$(nproc)"
    restarts_line
  } >&2
}

# Hosts the tests started again after a relay's start line was lost (the
# test fixture's budget is 20 starts), per build.
restarts_line() {
  local preset file counts=
  for preset in mingw64 mingw linux linux-tsan linux-asan; do
    file="$ROOT/build/$preset/bin/host-restarts.log"
    [ -f "$file" ] && counts+="${counts:+, }$preset $(wc -l <"$file")"
  done
  printf '%-28s %s\n' "hosts started again" "${counts:-none}"
}

# Every suite. The builds take both cores one after another, the longest
# suites' first; each build's suite then runs in the background while the
# next one builds, since most of a suite's time is spent waiting on
# time-outs, Wine and the browser.
test_all() {
  machine_busy
  BUSY_AT_START=$BUSY
  mkdir -p "$ROOT/build/test-run"
  rm -f "$ROOT/build/test-run/"* "$ROOT"/build/*/bin/host-restarts.log
  run_step install ensure_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${BROWSER_PACKAGES[@]}" \
    "${FUZZ_PACKAGES[@]}"
  run_step node ensure_node
  signing_configured || throwaway_certificate
  wine_paths_line
  build_step mingw64 && sign_build mingw64 &&
    suite "wine64 tests" wine_suite 64 &&
    build_step linux-tsan &&
    suite --yield "tsan tests" ctest --preset linux-tsan -j 4 &&
    build_step linux &&
    suite --yield "linux tests" ctest --preset linux -j 4 &&
    build_step linux-asan &&
    suite --yield "asan tests" ctest --preset linux-asan -j 3 &&
    if wine32_runs; then
      build_step mingw && sign_build mingw && suite "wine32 tests" wine_suite 32
    else
      build_step mingw product && suite --yield "pe check" ctest --preset mingw -L '^pe$'
    fi &&
    suite --yield "msi and signing" msi_tests &&
    suite --yield "reproducible build" bash "$ROOT/packaging/tests/reproducible-test.sh" &&
    build_step fuzz ||
    BUILD_FAILED=1
  # The fuzzers run for a time, not a number of inputs: alone, so that a
  # busy machine does not cut the inputs they try.
  if finish_suites && [ -z "${BUILD_FAILED:-}" ] && run_step fuzz fuzz_run 12; then
    step_table
    log "all tests passed"
  else
    step_table
    log "some steps failed"
    return 1
  fi
}

# build_step PRESET [TARGET...]: a timed build; a failed one ends the run
# once the suites already started have ended.
build_step() {
  local preset="$1"
  shift
  run_step "build $preset${1:+ (product)}" build "$preset" "$@"
}
