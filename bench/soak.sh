#!/usr/bin/env bash
# Soak: n modules, each with its own simulated modem, sending and receiving on one SQLite file
# while one process queues messages, another delivers messages to the modems, and a chaos loop
# stops modules (SIGTERM or kill -9) and starts them again. Afterwards the modules drain, and
# the tables and the modems' logs are checked: nothing lost, nothing twice.
#
#   bench/soak.sh [SECONDS]           default 600
#     SOAK_MODULES=n                  modules (default 10)
#     SOAK_QUEUE_RATE / SOAK_DELIVER_RATE   messages per second (default 2 / 2)
#     SOAK_CHAOS=s                    mean seconds between two stops (default 5; 0: no stops)
#     SOAK_DRAIN=s                    longest wait for the queue and the modems to empty (default 300)
#     SOAK_SEED=x                     seed of the texts and of the chaos (default: the time)
#     SOAK_KEEP=1                     keep the work directory even when every check passed
#     SOAK_BACKEND=postgres           a throwaway PostgreSQL server (scripts/test-postgres) instead
#                                     of the SQLite file
#     SOAK_PG_RESTART=s               PostgreSQL only: restart the server every s seconds (default 0: never)
# Programs come from $PELORIN_BUILD_DIR (default build-bench beside this folder); nothing is built.
# Exit status: 0 when every invariant held, 1 when one failed, 2 when the run could not start.
set -euo pipefail

duration="${1:-600}"
count="${SOAK_MODULES:-10}"
queue_rate="${SOAK_QUEUE_RATE:-2}"
deliver_rate="${SOAK_DELIVER_RATE:-2}"
chaos_every="${SOAK_CHAOS:-5}"
drain_limit="${SOAK_DRAIN:-300}"
seed="${SOAK_SEED:-$(date +%s)}"
backend="${SOAK_BACKEND:-sqlite}"
pg_restart_every="${SOAK_PG_RESTART:-0}"

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
helper="$top/bench/soak/soak.py"
bin="${PELORIN_BUILD_DIR:-$top/build-bench}"
module="$bin/src/app/pelorin"
admin="$bin/tools/admin/pelorin-admin"
sim="$bin/tools/modemsim/pelorin-modemsim"
for program in "$module" "$admin" "$sim"; do
  [ -x "$program" ] || { echo "missing $program: build pelorin, pelorin-admin and pelorin-modemsim first" >&2; exit 2; }
done
command -v python3 >/dev/null || { echo "python3 is needed" >&2; exit 2; }

work="$(mktemp -d -t pelorin-soak.XXXXXX)"
declare -a module_pids sim_pids
producer_pids=()
result=2

stop_all() {
  local pid
  for pid in "${producer_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  # Modules before their modems, so that none sees its modem vanish.
  for pid in "${module_pids[@]}"; do [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null || true; done
  for _ in $(seq 100); do
    local alive=0
    for pid in "${module_pids[@]}" "${producer_pids[@]}"; do [ -n "$pid" ] && alive "$pid" && alive=1; done
    [ "$alive" = 0 ] && break
    sleep 0.1
  done
  for pid in "${module_pids[@]}" "${producer_pids[@]}"; do [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true; done
  for pid in "${sim_pids[@]}"; do [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null || true; done
  sleep 0.3
  for pid in "${sim_pids[@]}"; do [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ "$backend" = postgres ] && "$top/scripts/test-postgres" stop "$pgdir"
  if [ "$result" = 0 ] && [ "${SOAK_KEEP:-0}" != 1 ]; then
    rm -rf "$work"
  else
    echo "work directory kept: $work (module logs module<port>.log, chaos.log, queued/delivered.jsonl)"
  fi
}
trap stop_all EXIT
trap 'exit 130' INT TERM HUP

export PELORIN_HOME="$work/home" PELORIN_DEVICE_DIR="$work/dev" XDG_RUNTIME_DIR="$work/run" PELORIN_VERBOSE=1
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$PELORIN_HOME" "$PELORIN_DEVICE_DIR"
mkdir -m 700 "$XDG_RUNTIME_DIR"
db="$PELORIN_HOME/dbtavrin.db"
if [ "$backend" = postgres ]; then
  # Beside the work directory, which only its owner may enter; the server runs as another user.
  pgdir="$(mktemp -u -d -t pelorin-soak-pg.XXXXXX)"
  server="$("$top/scripts/test-postgres" start "$pgdir")" || { echo "no PostgreSQL server" >&2; exit 2; }
  psql "$server" -X -q -c "CREATE DATABASE soak"
  db="${server%/*}/soak"
  export PELORIN_DATABASE="$db"
fi
chaos_log="$work/chaos.log"
echo "# epoch port what status submitted-PDUs-after" >"$chaos_log"

# --- The database: ports, an auto-responder rule, a remote sender with a broadcast command
# and the contacts it reaches (numbers and names shared with the helper).
"$admin" init >/dev/null
for n in $(seq "$count"); do
  "$admin" port "$n" "nomor=0811000000$(printf %02d "$n")" stat=DISABLE statsender=SENDER errinfo=-
done
"$admin" insert autorespondset "formatsms=AR <any>" "replysms=RE <any>" pengirim= onlyphonebook=0 groupphonebook=
"$admin" insert remotehp phonenumber=081299990000 infoname=soak
"$admin" insert remotecommand "command=bc <param1>,<param2>#<message>" sender= \
  param1field=groupdata param1criteria== param2field=nama param2criteria=LIKE
"$admin" insert phonebook msisdn=081500000001 nama=Ani alamat=Jalan1 groupdata=SOAK
"$admin" insert phonebook msisdn=081500000002 nama=Budi alamat=Jalan2 groupdata=SOAK
"$admin" insert phonebook msisdn=081500000003 nama=Citra alamat=Jalan3 groupdata=SOAK

# --- Modems.
for n in $(seq "$count"); do
  "$sim" --dir "$PELORIN_DEVICE_DIR" --port "$n" >"$work/sim$n.log" 2>&1 &
  sim_pids[n]=$!
done
for n in $(seq "$count"); do
  for _ in $(seq 100); do
    "$sim" ctl "$PELORIN_DEVICE_DIR/COM$n.ctl" ping >/dev/null 2>&1 && continue 2
    sleep 0.1
  done
  echo "simulator of port $n did not start:" >&2; cat "$work/sim$n.log" >&2; exit 2
done

ctl() { "$sim" ctl "$PELORIN_DEVICE_DIR/COM$1.ctl" "${@:2}"; }
submitted_count() { ctl "$1" submitted 2>/dev/null | tail -n 1; }

# --- Modules. Each start appends to module<port>.log, every line stamped with the time
# (mawk reads a pipe in blocks unless told to take it line by line).
stamp_lines=(awk)
awk -W version 2>/dev/null | grep -q mawk && stamp_lines=(awk -W interactive)
start_module() {
  local n=$1
  echo "=== start $(date +%T.%N | cut -c1-12)" >>"$work/module$n.log"
  "$module" "com=$n#modem=WAVECOM#baudrate=115200#center=CENTER#sender=SENDER" \
    > >("${stamp_lines[@]}" '{ print strftime("%H:%M:%S"), $0; fflush() }' >>"$work/module$n.log") 2>&1 &
  module_pids[n]=$!
}
# A child that ended stays a zombie until it is waited for: only the state tells.
alive() {
  local s
  s="$(cat "/proc/$1/stat" 2>/dev/null)" || return 1
  s="${s##*) }"
  [ "${s%% *}" != Z ]
}
# Waits up to $2 seconds for module $1 to end; sets `reaped` to its exit status, or "running".
reap() {
  local n=$1 limit=$2 pid=${module_pids[$1]}
  for _ in $(seq $((limit * 10))); do
    alive "$pid" || break
    sleep 0.1
  done
  if alive "$pid"; then reaped=running; return; fi
  reaped=0
  wait "$pid" 2>/dev/null || reaped=$?
  module_pids[n]=""
}
note() { echo "$(date +%s.%N) $*" >>"$chaos_log"; }
say() { echo "[$(date +%T)] $*"; }

for n in $(seq "$count"); do start_module "$n"; done

python3 "$helper" queue --admin "$admin" --ports "$count" --seconds "$duration" --rate "$queue_rate" \
  --log "$work/queued.jsonl" --seed "$seed" 2>"$work/queuer.err" &
producer_pids+=("$!")
python3 "$helper" deliver --sim "$sim" --dev "$PELORIN_DEVICE_DIR" --ports "$count" --seconds "$duration" \
  --rate "$deliver_rate" --log "$work/delivered.jsonl" --seed "$((seed + 1))" 2>"$work/deliverer.err" &
producer_pids+=("$!")
say "soak of $count modules for $duration s (seed $seed, work $work)"

# --- Chaos: one module at a time is stopped, then started again a moment later. A module that
# ended without being told is noted and started again too.
RANDOM=$((seed % 32768))
end=$(( $(date +%s) + duration ))
next_restart=$(( $(date +%s) + pg_restart_every ))
check_ended() {
  local n status
  for n in $(seq "$count"); do
    if [ -n "${module_pids[n]}" ] && ! alive "${module_pids[n]}"; then
      reap "$n" 1; status=$reaped
      note "$n ENDED $status -"
      say "port $n ended by itself with status $status; row: $(python3 "$helper" row --db "$db" --port "$n")"
      tail -n 5 "$work/module$n.log" | sed 's/^/    /'
      sleep 1
      start_module "$n"
    fi
  done
}
while [ "$(date +%s)" -lt "$end" ]; do
  # Between half and one and a half times the mean, in tenths of a second.
  pause=$(( chaos_every > 0 ? chaos_every * 5 + RANDOM % (chaos_every * 10 + 1) : 10 ))
  sleep "$((pause / 10)).$((pause % 10))"
  check_ended
  [ "$(date +%s)" -lt "$end" ] || break
  if [ "$backend" = postgres ] && [ "$pg_restart_every" -gt 0 ] && [ "$(date +%s)" -ge "$next_restart" ]; then
    note "0 PGRESTART - -"
    "$top/scripts/test-postgres" restart "$pgdir" && say "database server restarted" || say "database server restart FAILED"
    next_restart=$(( $(date +%s) + pg_restart_every ))
    continue
  fi
  [ "$chaos_every" -gt 0 ] || continue
  n=$(( RANDOM % count + 1 ))
  if (( RANDOM % 2 )); then
    note "$n term-sent - -"
    kill -TERM "${module_pids[n]}" 2>/dev/null || true
    reap "$n" 70; status=$reaped
    if [ "$status" = running ]; then
      say "port $n did not end within 70 s of SIGTERM; killing it"
      kill -KILL "${module_pids[n]}" 2>/dev/null || true
      reap "$n" 5; status="hung-$reaped"
    fi
    note "$n TERM $status $(submitted_count "$n")"
    [ "$status" = 0 ] || say "port $n ended with status $status after SIGTERM; row: $(python3 "$helper" row --db "$db" --port "$n")"
  else
    kill -KILL "${module_pids[n]}" 2>/dev/null || true
    reap "$n" 5; status=$reaped
    # What the modem had taken when the module died; bytes still on the line are read by now.
    sleep 0.5
    note "$n KILL $status $(submitted_count "$n")"
  fi
  sleep "0.$(( RANDOM % 10 ))"
  sleep "$(( RANDOM % 3 ))"
  start_module "$n"
done
say "load ends; waiting for the queuer and the deliverer"
for pid in "${producer_pids[@]}"; do wait "$pid" || true; done
producer_pids=()
check_ended

# --- Drain: every module runs; wait until nothing is queued for them and the modems hold nothing.
say "draining (at most $drain_limit s)"
drain_end=$(( $(date +%s) + drain_limit ))
drained=0 queued=? stranded=? stored=?
while [ "$(date +%s)" -lt "$drain_end" ]; do
  check_ended
  read -r queued stranded stored < <(python3 "$helper" pending --db "$db" --sim "$sim" \
                                       --dev "$PELORIN_DEVICE_DIR" --ports "$count") || true
  if [ "$queued" = 0 ] && [ "$stored" = 0 ]; then drained=1; break; fi
  sleep 2
done
say "drain $([ "$drained" = 1 ] && echo complete || echo "INCOMPLETE: $queued queued, $stored in the modems")"

# --- Stop: every module gets SIGTERM and must end with status 0.
for n in $(seq "$count"); do kill -TERM "${module_pids[n]}" 2>/dev/null || true; done
for n in $(seq "$count"); do
  reap "$n" 70; status=$reaped
  if [ "$status" = running ]; then
    kill -KILL "${module_pids[n]}" 2>/dev/null || true
    reap "$n" 5; status="hung-$reaped"
  fi
  note "$n FINAL $status -"
done
for n in $(seq "$count"); do
  ctl "$n" submitted | sed '$d' >"$work/submitted$n.txt"
done
"$admin" show cs >"$work/cs.txt"

set +e
python3 "$helper" check --work "$work" --ports "$count" --db "$db"
result=$?
set -e
if [ "$result" != 0 ]; then
  echo "--- chaos log: $chaos_log; module logs: $work/module<port>.log"
  [ -s "$work/queuer.err" ] && { echo "--- queuer:"; tail -5 "$work/queuer.err"; }
  [ -s "$work/deliverer.err" ] && { echo "--- deliverer:"; tail -5 "$work/deliverer.err"; }
fi
exit "$result"
