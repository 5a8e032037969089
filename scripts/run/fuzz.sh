# shellcheck shell=bash
# The fuzz targets: built with clang, each run for a time.
# Sourced by ./run, which sets ROOT, JOBS and log().

FUZZ_TARGETS=(request_fuzz format_fuzz tokenizer_fuzz logdecode_fuzz origin_fuzz policy_fuzz manifest_fuzz)

# Each target starts from a copy of its committed corpus, which stays as it
# is; crashes and what the run learned stay under build/fuzz/.
fuzz_targets() {
  ensure_packages "${NATIVE_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
  build fuzz
  fuzz_run "$1"
}

fuzz_run() {
  local seconds="$1" t rc=0 pids=() names=() i
  # One fuzzer a core: each runs for a time, so more at once would each try
  # fewer inputs.
  for t in "${FUZZ_TARGETS[@]}"; do
    if [ "${#pids[@]}" -ge "$JOBS" ]; then
      fuzz_wait "${pids[0]}" "${names[0]}" || rc=1
      pids=("${pids[@]:1}") names=("${names[@]:1}")
    fi
    fuzz_one "$t" "$seconds" &
    pids+=($!) names+=("$t")
  done
  for i in "${!pids[@]}"; do fuzz_wait "${pids[$i]}" "${names[$i]}" || rc=1; done
  # A crashed request_fuzz leaves its folder and shared memory behind.
  rm -rf /tmp/orv-request-fuzz-* /tmp/orv-policy-fuzz-* 2>/dev/null || true
  rm -f /dev/shm/orvendel.fzorv-request-fuzz-* 2>/dev/null || true
  return $rc
}

# fuzz_one TARGET SECONDS: one fuzzer from a copy of its corpus, its output
# in its work folder.
fuzz_one() {
  local work="$ROOT/build/fuzz/run/$1"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp -n "$ROOT/fuzz/corpus/$1/"* "$work/corpus/" 2>/dev/null || true
  log "fuzzing $1 for ${2}s"
  "$ROOT/build/fuzz/bin/$1" -max_total_time="$2" -timeout=25 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1
}

# fuzz_wait PID TARGET: that fuzzer's end, and what it found.
fuzz_wait() {
  local work="$ROOT/build/fuzz/run/$2"
  if ! wait "$1"; then
    tail -n 40 "$work/log" >&2
    log "$2 failed; reproducer in $work/artifacts/"
    return 1
  fi
  printf '%s: %s\n' "$2" "$(grep -E '^stat::number_of_executed_units' "$work/log")" >&2
}
