#!/usr/bin/env bash
# Runs a Windows program under Wine for ctest: wine-run.sh PREFIX PROGRAM [ARGS...]
# creates the Wine prefix PREFIX when missing, starts its persistent server and
# services detached from the caller's streams, then runs PROGRAM with its
# output in temporary files that are copied back, and exits with its status.
# wine-run.sh PREFIX --init only creates the prefix; wine-run.sh PREFIX --kill
# stops the prefix's server and every Wine process.
#
# Why: Wine's first process starts the server and services, which would inherit
# ctest's output pipe and make ctest wait for them (seconds per test, or a hang
# with ctest -j). The server's socket lives under TMPDIR, so one TMPDIR for every
# Wine process of the prefix, or a second server would start.
set -u
if [ $# -lt 2 ]; then
  echo "usage: $0 PREFIX PROGRAM [ARGS...] | $0 PREFIX --kill" >&2
  exit 2
fi
prefix=$1
shift
export WINEPREFIX=$prefix WINEARCH=win64 TMPDIR=/tmp
export WINEDEBUG=${NUVZUB_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
if [ -x /usr/lib/wine/wine64 ]; then
  loader=/usr/lib/wine/wine64
else
  loader=$(command -v wine64 || command -v wine)
fi
server=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

if [ "$1" = --kill ]; then
  [ -d "$prefix" ] && "$server" -k </dev/null >/dev/null 2>&1
  exit 0
fi

mkdir -p "$(dirname "$prefix")"
{
  flock 9
  # Every child gets the lock's descriptor closed: a server holding it would keep
  # every later caller waiting here.
  if [ ! -f "$prefix/system.reg" ]; then
    wineboot -i </dev/null >/dev/null 2>&1 9>&-
    "$server" -w </dev/null >/dev/null 2>&1 9>&-
  fi
  [ "$1" = --init ] && exit 0
  # Succeeds only when no server runs for the prefix; then one dummy program
  # starts the services, all on /dev/null.
  if "$server" -p </dev/null >/dev/null 2>&1 9>&-; then
    "$loader" cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&-
  fi
} 9>"$prefix.lock"

out=$(mktemp "${TMPDIR}/wine-run.out.XXXXXX")
err=$(mktemp "${TMPDIR}/wine-run.err.XXXXXX")
trap 'rm -f "$out" "$err"' EXIT
"$loader" "$@" >"$out" 2>"$err"
status=$?
# A failure without a single byte of output means the program never ran (a rare
# failed start of Wine's loader under load): start it once more, and say so.
if [ $status -ne 0 ] && [ ! -s "$out" ] && [ ! -s "$err" ]; then
  echo "wine-run: $1 ended with $status before any output; started again" >&2
  "$loader" "$@" >"$out" 2>"$err"
  status=$?
fi
cat "$out"
cat "$err" >&2
exit $status
