#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo: a simulated modem on port 5 and one
# module serving it in the foreground (Ctrl-C ends both), against a demo home directory
# (./demo) with its own SQLite database, made on the first run and reused afterwards.
#   ./run.sh                 the module with the demo settings (send and receive on COM5)
#   ./run.sh "<settings>"    the module with that settings argument instead
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$top/scripts/install-deps"
"$top/scripts/build"
bin="${PELORIN_BUILD_DIR:-$top/build}"
admin="$bin/tools/admin/pelorin-admin"
modemsim="$bin/tools/modemsim/pelorin-modemsim"
module="$bin/src/app/pelorin"

export PELORIN_HOME="${PELORIN_HOME:-$top/demo}"
export PELORIN_DEVICE_DIR="$PELORIN_HOME"
export PELORIN_VERBOSE=1
mkdir -p "$PELORIN_HOME"
settings="${1:-com=5#modem=WAVECOM#baudrate=115200#center=CENTER#sender=SENDER}"

if [ ! -f "$PELORIN_HOME/dbtavrin.db" ]; then
  "$admin" init
  "$admin" port 5 nomor=081200000005 stat=DISABLE statsender=SENDER errinfo=-
  "$admin" insert autorespondset "formatsms=HALO APA KABAR" "replysms=Kabar baik, terima kasih!" onlyphonebook=0
  "$admin" insert twoway nomor= "url=http://crm.example/in?from=@@MOBILE@@&text=@@MESSAGE@@"
else
  echo "reusing the demo database $PELORIN_HOME/dbtavrin.db"
fi

work="$(mktemp -d)"
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$work}"
sim_pid=""
watch_pid=""
cleanup() {
  [ -n "$watch_pid" ] && kill "$watch_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
  return 0
}
trap cleanup EXIT

# Prints every row that appears in the queue, the sent log and the received messages.
watch_tables() {
  for table in qsms smsout smsin; do "$admin" show "$table" | tail -n +2 | sort >"$work/$table"; done
  while sleep 1; do
    for table in qsms smsout smsin; do
      "$admin" show "$table" 2>/dev/null | tail -n +2 | sort >"$work/$table.new" || continue
      comm -13 "$work/$table" "$work/$table.new" | sed "s/^/[$table] /"
      mv "$work/$table.new" "$work/$table"
    done
  done
}
"$modemsim" --dir "$PELORIN_DEVICE_DIR" --port 5 >/dev/null &
sim_pid=$!
for _ in $(seq 1 100); do
  "$modemsim" ctl "$PELORIN_DEVICE_DIR/COM5.ctl" ping >/dev/null 2>&1 && break
  sleep 0.1
done
echo "simulated modem ready on $PELORIN_DEVICE_DIR/COM5"

watch_tables &
watch_pid=$!
# One message to send and one to receive ("Halo apa kabar" from 08123456789), which the
# sample rule answers.
"$admin" queue tujuan=08123456789 "isipesan=Selamat datang di Pelorin" pidcom=5
"$modemsim" ctl "$PELORIN_DEVICE_DIR/COM5.ctl" store ME 0 \
  07912618485400F9040B818021436587F90000628021013504820EC830FB0D0AC3C3A075581C9603 >/dev/null

echo "module starting with \"$settings\"; Ctrl-C ends it"
# The module's log (standard error): its progress and the modem conversation, the polling
# that repeats every cycle shown once.
status=0
set +e
"$module" "$settings"
status=$?
set -e
echo "module ended with status $status; port row now:"
"$admin" show cs
exit "$status"
