#!/usr/bin/env bash
# Configures, builds and tests every tier, going on past a failure, and ends by
# naming each that failed: "failed tiers: windows-build, tsan". A tier whose
# build failed is not tested. Presets may be named to run only those:
#   scripts/run-tiers.sh native tsan
set -uo pipefail
cd "$(dirname "$0")/.."

all_presets=(native windows sanitize fuzz tsan)
tested_presets=(native sanitize fuzz tsan)  # windows is tested under Wine by native's tiers
presets=("${@:-${all_presets[@]}}")
failed=()

# Runs one step, timed; a failure is recorded under `name` and the run goes on.
step() {
  local name=$1
  shift
  local started=$SECONDS
  echo "=== ${name}: $*"
  if "$@"; then
    echo "=== ${name}: passed in $((SECONDS - started)) s"
    return 0
  fi
  echo "=== ${name}: FAILED after $((SECONDS - started)) s"
  failed+=("$name")
  return 1
}

configure_and_build() {
  cmake --preset "$1" && cmake --build --preset "$1"
}

wanted() {
  local preset
  for preset in "${presets[@]}"; do [ "$preset" = "$1" ] && return 0; done
  return 1
}

# ThreadSanitizer writes each report to a file of its own (TSAN_OPTIONS in the
# tsan test preset), so that one in a program a test started and never
# checked, or one during a stop, fails the tier all the same.
tsan_reports=build/tsan/reports
tsan_tests() {
  rm -rf "$tsan_reports"
  mkdir -p "$tsan_reports"
  local passed=0
  ctest --preset tsan || passed=1
  local report
  for report in "$tsan_reports"/*; do
    [ -e "$report" ] || continue
    echo "--- ThreadSanitizer: $report"
    cat "$report"
    passed=1
  done
  return $passed
}

built=()
for preset in "${all_presets[@]}"; do
  wanted "$preset" || continue
  step "${preset}-build" configure_and_build "$preset" && built+=("$preset")
done

for preset in "${tested_presets[@]}"; do
  wanted "$preset" || continue
  if [[ " ${built[*]} " == *" ${preset} "* ]]; then
    if [ "$preset" = tsan ]; then step tsan tsan_tests; else step "$preset" ctest --preset "$preset"; fi
  else
    echo "=== ${preset}: not run, its build failed"
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  (IFS=,; echo "failed tiers: ${failed[*]}" | sed 's/,/, /g')
  exit 1
fi
echo "every tier passed: ${presets[*]}"
