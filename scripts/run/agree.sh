# shellcheck shell=bash
# ./run agree: the doctor's verdicts against the real browser's on generated layouts.
# Sourced by ./run, which sets ROOT, JOBS and log().

# agree [--seed S] [--cases N] [--only I,J]: the doctor's verdicts against
# the real browser's on generated layouts; a failure prints its seed and layout.
agree() {
  local seed=1 cases=40 only=
  while [ $# -gt 0 ]; do
    case "$1" in
      --seed) seed="${2:-}" ;;
      --cases) cases="${2:-}" ;;
      --only) only="${2:-}" ;;
      *) log "agree takes --seed S, --cases N and --only I,J, not '$1'"; exit 2 ;;
    esac
    shift 2 || { log "$1 needs a value"; exit 2; }
  done
  [[ "$seed" =~ ^[0-9]+$ && "$cases" =~ ^[1-9][0-9]*$ && "$only" =~ ^[0-9,]*$ ]] ||
    { log "--seed and --cases take whole numbers, --only a list of them"; exit 2; }
  ensure_packages "${NATIVE_PACKAGES[@]}" "${BROWSER_PACKAGES[@]}" xvfb
  build linux orvendel-doctor doctor_agreement_tests
  as_root env ORVENDEL_AGREE_SEED="$seed" ORVENDEL_AGREE_CASES="$cases" ORVENDEL_AGREE_ONLY="$only" \
    "$ROOT/build/linux/bin/doctor_agreement_tests" --gtest_filter=DoctorAgreementTest.GeneratedLayouts
}
