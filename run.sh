#!/usr/bin/env bash
# Installs what is missing, builds, and runs one module in the foreground against a demo
# home directory (./demo) with its own SQLite database.
#   ./run.sh                 the module on its embedded defaults
#   ./run.sh "<settings>"    the module with that settings argument, e.g.
#                            "com=5#modem=WAVECOM#baudrate=115200#center=CENTER#sender=SENDER"
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$top/scripts/install-deps"
"$top/scripts/build"
bin="${PELORIN_BUILD_DIR:-$top/build}"

export PELORIN_HOME="${PELORIN_HOME:-$top/demo}"
mkdir -p "$PELORIN_HOME"
admin="$bin/tools/admin/pelorin-admin"
if [ ! -f "$PELORIN_HOME/dbtavrin.db" ]; then
  "$admin" init
  "$admin" port 5 nomor=081200000005 stat=DISABLE statsender=SENDER errinfo=-
else
  echo "reusing the demo database $PELORIN_HOME/dbtavrin.db"
fi

echo "module starting (home $PELORIN_HOME); Ctrl-C ends it"
status=0
"$bin/src/app/pelorin" "$@" || status=$?
echo "module ended with status $status; port row now:"
"$admin" show cs
exit "$status"
