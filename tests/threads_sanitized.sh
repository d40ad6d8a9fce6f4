#!/bin/sh
# The stress suite and the races with four judging threads, every program
# built with ThreadSanitizer: a report from any of them fails the test. The
# supervisor's descriptors are not counted here: the sanitizer's runtime
# opens its own.
#   threads_sanitized.sh E2E_TESTS
set -u
logs=$(mktemp -d) || exit 1
trap 'rm -rf "$logs"' EXIT
TSAN_OPTIONS="log_path=$logs/report" SANDBOX_JUDGING_THREADS=4 "$1" \
  --gtest_filter='Stress.*:EscapeRaces.*-Stress.SupervisorLeaksNoDescriptors'
status=$?
for report in "$logs"/report.*; do
  [ -e "$report" ] || continue
  cat "$report"
  status=1
done
exit "$status"
