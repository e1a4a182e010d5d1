#!/bin/sh
# Run after the end-to-end and package tests: names every process they left
# behind, ends it, and fails. The tests' processes are those with
# PIXKEEP_TEST_RUN=MARKER in their environment (tests/e2e/harness.h): it is
# inherited by everything a test starts, also by daemons that detach from it
# (a session bus started for a program, an X server started by a compositor),
# whichever user they run as.
#
#     leftover_processes.sh MARKER
#
# A process that is ending as the tests end (a compositor's X server going
# down with it) has ten seconds to go; a zombie is gone already.
set -u
# Run from a test's environment, its own processes would carry the marker too.
[ -n "${PIXKEEP_TEST_RUN:-}" ] && exec env -u PIXKEEP_TEST_RUN "$0" "$@"
marker="PIXKEEP_TEST_RUN=$1"

# The marked processes that still run (a zombie's environment reads empty).
marked() {
  grep -lzxF -- "$marker" /proc/[0-9]*/environ 2>/dev/null | sed 's|^/proc/\([0-9]*\)/environ$|\1|'
}

# Whether any of the processes still runs (a zombie does not).
alive() {
  for pid in "$@"; do
    state=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | cut -c1)
    [ -n "$state" ] && [ "$state" != Z ] && return 0
  done
  return 1
}

left=$(marked)
end=$(($(date +%s) + 10))
while [ -n "$left" ] && [ "$(date +%s)" -lt $end ]; do
  sleep 0.1
  left=$(marked)
done
[ -z "$left" ] && exit 0

echo "Processes the tests left running:"
for pid in $left; do
  test=$( (tr '\0' '\n' <"/proc/$pid/environ") 2>/dev/null | sed -n 's/^PIXKEEP_TEST_CASE=//p')
  user=$(stat -c %U "/proc/$pid" 2>/dev/null)
  command=$( (tr '\0' ' ' <"/proc/$pid/cmdline") 2>/dev/null)
  echo "  $pid ($user) ${command:-?}, started in ${test:-the set-up of a test program}"
done
# They are ours: ended by their ids, so that they do not pile up.
kill $left 2>/dev/null
end=$(($(date +%s) + 5))
while [ "$(date +%s)" -lt $end ] && alive $left; do
  sleep 0.1
done
kill -KILL $left 2>/dev/null
exit 1
