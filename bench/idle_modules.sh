#!/usr/bin/env bash
# Cost of idle modules: starts one simulated modem and one module per port (an empty queue,
# no display), lets them idle, then prints each module's CPU use (percent of one core, from
# utime+stime in /proc/<pid>/stat), peak resident memory (VmHWM), private memory (USS:
# Private_Clean + Private_Dirty of /proc/<pid>/smaps_rollup) and proportional share (Pss),
# with maximum, average and the total of all modules.
#
#   bench/idle_modules.sh [SECONDS]      default 60; the count of modules is
#                                        IDLE_MODULES (default 20)
# Programs come from $PELORIN_BUILD_DIR (default build-bench beside this folder).
# Exit status: 0 when every module stayed up and met both targets, 1 otherwise.
set -euo pipefail

duration="${1:-60}"
count="${IDLE_MODULES:-20}"
# Start-up (modem initialisation) is not idling: not measured. Many modules take longer.
settle=$(( count > 50 ? count / 10 : 5 ))
cpu_target=0.5          # percent of one core, each module
mem_target_kb=$((15 * 1024))   # VmHWM, each module
uss_target_kb=1946             # 1.9 MB, each module
total_cpu_target=25     # percent of one core, all modules together
total_pss_target_kb=$((1024 * 1024))

top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bin="${PELORIN_BUILD_DIR:-$top/build-bench}"
module="$bin/src/app/pelorin"
admin="$bin/tools/admin/pelorin-admin"
sim="$bin/tools/modemsim/pelorin-modemsim"
for program in "$module" "$admin" "$sim"; do
  [ -x "$program" ] || { echo "missing $program: build with -DPELORIN_BUILD_BENCH=ON first" >&2; exit 2; }
done

work="$(mktemp -d -t pelorin-idle.XXXXXX)"
sim_pids=()
module_pids=()

stop_all() {
  local pid
  # Modules first, so that none sees its modem vanish and reports an error.
  for pid in "${module_pids[@]}" "${sim_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for _ in $(seq 50); do
    local alive=0
    for pid in "${module_pids[@]}" "${sim_pids[@]}"; do
      kill -0 "$pid" 2>/dev/null && [ "$(state_of "$pid")" != Z ] && alive=1
    done
    [ "$alive" = 0 ] && break
    sleep 0.1
  done
  for pid in "${module_pids[@]}" "${sim_pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap stop_all EXIT
trap 'exit 130' INT TERM HUP

# Fields of /proc/<pid>/stat after the command name, which may hold blanks: $1 is the state.
stat_fields() { local s; s="$(cat "/proc/$1/stat" 2>/dev/null)" || return 1; echo "${s##*) }"; }
state_of() { local f; f="$(stat_fields "$1")" || { echo X; return; }; echo "${f%% *}"; }
cpu_ticks() { local f; f="$(stat_fields "$1")" || { echo 0; return; }; set -- $f; echo $(( ${12} + ${13} )); }
peak_kb() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
# "USS Pss" in kB.
private_kb() {
  awk '/^Private_(Clean|Dirty):/ {uss += $2} /^Pss:/ {pss = $2} END {print uss + 0, pss + 0}' \
    "/proc/$1/smaps_rollup" 2>/dev/null || echo "0 0"
}

export PELORIN_HOME="$work/home" PELORIN_DEVICE_DIR="$work/dev" XDG_RUNTIME_DIR="$work/run"
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$PELORIN_HOME" "$PELORIN_DEVICE_DIR"
mkdir -m 700 "$XDG_RUNTIME_DIR"
"$admin" init >/dev/null
for n in $(seq "$count"); do
  "$admin" port "$n" "nomor=08120000$(printf %04d "$n")" stat=DISABLE statsender=SENDER errinfo=-
done

for n in $(seq "$count"); do
  "$sim" --dir "$PELORIN_DEVICE_DIR" --port "$n" >"$work/sim$n.log" 2>&1 &
  sim_pids+=("$!")
  # A hundred programs starting at once on two cores: a little apart, so that none times out.
  if (( n % 10 == 0 )); then sleep 0.2; fi
done
for n in $(seq "$count"); do
  for _ in $(seq 100); do
    "$sim" ctl "$PELORIN_DEVICE_DIR/COM$n.ctl" ping >/dev/null 2>&1 && continue 2
    sleep 0.1
  done
  echo "simulator of port $n did not start:" >&2; cat "$work/sim$n.log" >&2; exit 2
done

for n in $(seq "$count"); do
  "$module" "com=$n#modem=WAVECOM#baudrate=115200#center=CENTER#sender=SENDER" >"$work/module$n.log" 2>&1 &
  module_pids+=("$!")
  sleep 0.05
done
sleep "$settle"

hz="$(getconf CLK_TCK)"
declare -a before
for i in "${!module_pids[@]}"; do before[i]="$(cpu_ticks "${module_pids[i]}")"; done
start_ns="$(date +%s%N)"
echo "$count idle modules, measuring for ${duration} s (after ${settle} s start-up)..."
sleep "$duration"
elapsed_ns=$(( $(date +%s%N) - start_ns ))

failed=0
printf '%-6s %-8s %10s %10s %8s %8s %10s\n' port pid "cpu %" "VmHWM MB" "USS MB" "Pss MB" "AT lines"
report="$(
  for i in "${!module_pids[@]}"; do
    pid="${module_pids[i]}"
    state="$(state_of "$pid")"
    if [ "$state" = Z ] || [ "$state" = X ]; then echo "$((i + 1)) $pid dead 0"; continue; fi
    # Lines the module sent its modem: proof that it was cycling, not stuck.
    lines="$("$sim" ctl "$PELORIN_DEVICE_DIR/COM$((i + 1)).ctl" log 2>/dev/null | tail -n 1)"
    echo "$((i + 1)) $pid $(( $(cpu_ticks "$pid") - before[i] )) $(peak_kb "$pid") $(private_kb "$pid") ${lines:-0}"
  done
)"
summary="$(awk -v hz="$hz" -v ns="$elapsed_ns" -v cpu_max="$cpu_target" -v mem_max="$mem_target_kb" \
  -v uss_max="$uss_target_kb" -v total_cpu_max="$total_cpu_target" -v total_pss_max="$total_pss_target_kb" '
  $3 == "dead" { printf "%-6s %-8s %10s\n", $1, $2, "ENDED"; dead++; next }
  {
    cpu = $3 / hz / (ns / 1e9) * 100; mb = $4 / 1024; uss = $5 / 1024; pss = $6 / 1024
    printf "%-6s %-8s %10.3f %10.1f %8.2f %8.2f %10d\n", $1, $2, cpu, mb, uss, pss, $7
    if ($7 == 0) stuck++
    n++; cs += cpu; ms += mb; us += uss; ps += pss
    if (cpu > cmax) cmax = cpu; if (mb > mmax) mmax = mb; if (uss > umax) umax = uss; if (pss > pmax) pmax = pss
    if (cpu >= cpu_max || $4 > mem_max || $5 > uss_max) missed++
  }
  END {
    if (n) {
      printf "%-15s %10.3f %10.1f %8.2f %8.2f\n", "maximum", cmax, mmax, umax, pmax
      printf "%-15s %10.3f %10.1f %8.2f %8.2f\n", "average", cs / n, ms / n, us / n, ps / n
      printf "%-15s %10.3f %10s %8.1f %8.1f\n", "total", cs, "-", us, ps
    }
    if (cs >= total_cpu_max || ps * 1024 >= total_pss_max) missed++
    printf "targets: each cpu < %s %% of one core, VmHWM <= %d MB, USS <= %.1f MB; all together cpu < %s %%, Pss < %d MB: %s\n",
           cpu_max, mem_max / 1024, uss_max / 1024, total_cpu_max, total_pss_max / 1024,
           (missed || dead || stuck) ? "MISSED" : "met"
    if (dead) printf "%d module(s) ended during the run\n", dead
    if (stuck) printf "%d module(s) never spoke to their modem\n", stuck
    exit (missed || dead || stuck) ? 1 : 0
  }' <<<"$report")" || failed=1
echo "$summary"
if [ "$failed" = 1 ]; then
  for n in $(seq "$count"); do [ -s "$work/module$n.log" ] && { echo "--- module $n:"; tail -5 "$work/module$n.log"; }; done
  "$admin" show cs
fi
exit "$failed"
