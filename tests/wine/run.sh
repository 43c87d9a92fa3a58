#!/bin/bash
# Runs one test program of the Windows build under wine: run.sh WINE PROGRAM ARGS...
#
# Now and then wine 8 drops a new process before the program's first
# instruction: its first read from the wine server fails ("wine client
# error:0: recvmsg: Connection reset by peer"), or finds the connection closed,
# and the process ends, with an error or, worse, with status 0, having run
# nothing. Every test program creates the file named in DL_WINE_STARTED before
# main (tests/wine/started.cpp), so an end without that file is wine's refusal,
# not the test's result: the program is started again, at most three times in
# all. Once the program has started, its status is the test's, whatever it is.
set -u
wine=$1; shift
program=${1##*/}
marker_dir=$(mktemp -d "${TMPDIR:-/tmp}/dl-wine-start.XXXXXX")
trap 'rm -rf "$marker_dir"' EXIT
export DL_WINE_STARTED="Z:$marker_dir/started"
attempts=3
for ((attempt = 1; attempt <= attempts; ++attempt)); do
  "$wine" "$@"
  status=$?
  if [[ -e $marker_dir/started ]]; then
    exit "$status"
  fi
  echo "run.sh: wine ended $program (status $status) before the program started (attempt $attempt of $attempts)" >&2
done
echo "run.sh: wine did not start $program in $attempts attempts" >&2
exit 1
