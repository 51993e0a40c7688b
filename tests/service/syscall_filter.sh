#!/usr/bin/env bash
# The unit's system-call filter against what modules really call: the installed program runs
# a modem port (a message sent, one received and deleted) and a menu listener (a connection
# accepted) under strace, and every system call they make must be one the unit allows. A
# call outside the filter would fail with EPERM only once the module runs as a service.
# Skipped (77) where strace or systemd-analyze is absent or cannot trace here.
set -euo pipefail
cmake="$1" build="$2"
fail() { echo "FAIL: $*"; exit 1; }
skip() { echo "skipped: $*"; exit 77; }
command -v systemd-analyze >/dev/null || skip "no systemd-analyze"
command -v strace >/dev/null || skip "no strace"
strace -f -qq -o /dev/null true 2>/dev/null || skip "strace cannot trace here"

work="$(mktemp -d)"
pids=()
cleanup() {
  pkill -KILL -f "^$work/prefix/" 2>/dev/null || true
  for pid in "${pids[@]}"; do pkill -KILL -P "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
prefix="$work/prefix"
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
unit="$prefix/lib/systemd/system/pelorin@.service"
sim="$build/tools/modemsim/pelorin-modemsim"
admin="$prefix/bin/pelorin-admin"
export PELORIN_HOME="$work/run/home" PELORIN_DEVICE_DIR="$work/run/dev"
unset DISPLAY WAYLAND_DISPLAY PELORIN_DATABASE
mkdir -p "$PELORIN_HOME" "$PELORIN_DEVICE_DIR"
# The unit runs modules as an unprivileged user; as root, libraries make calls they make only
# for root (SQLite hands its journal files to the database's owner), so run as nobody.
as_user() { "$@"; }
if [ "$(id -u)" -eq 0 ]; then
  command -v setpriv >/dev/null || skip "no setpriv to leave root"
  chmod 755 "$work"
  chown -R 65534:65534 "$work/run"
  as_user() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
fi

# Names of a filter's calls, groups expanded (the first line names the group itself).
expand() {
  systemd-analyze syscall-filter "$1" | sed -n 's/^[[:space:]]\{1,\}\([^#[:space:]].*\)$/\1/p' |
    while read -r item; do
      case "$item" in @*) expand "$item" ;; *) echo "$item" ;; esac
    done
}
allowed="$work/allowed" denied="$work/denied"
: >"$allowed"
: >"$denied"
while read -r line; do
  filter="${line#SystemCallFilter=}"
  target="$allowed"
  if [[ "$filter" == "~"* ]]; then target="$denied"; filter="${filter#\~}"; fi
  for item in $filter; do
    case "$item" in @*) expand "$item" ;; *) echo "$item" ;; esac
  done >>"$target"
done < <(grep '^SystemCallFilter=' "$unit")
[ -s "$allowed" ] || fail "the unit allows no system calls"

# Waits up to 30 s for a table to hold rows.
has_rows() {
  for _ in $(seq 300); do
    [ "$(as_user "$admin" show "$1" | wc -l)" -gt 1 ] && return 0
    sleep 0.1
  done
  fail "no $1 row; module said: $(cat "$work"/module*.log)"
}
traced() { # LOG SETTINGS: the installed module under strace, in the background
  as_user strace -f -qq -o "$work/run/trace.$1" "$prefix/bin/pelorin" "$2" >"$work/module$1.log" 2>&1 &
  pids+=("$!")
}

as_user "$admin" init >/dev/null
as_user "$admin" port 5 stat=DISABLE >/dev/null
as_user "$admin" port 6 stat=DISABLE >/dev/null
as_user "$sim" --dir "$PELORIN_DEVICE_DIR" --port 5 >"$work/sim.log" 2>&1 &
pids+=("$!")
for _ in $(seq 100); do [ -e "$PELORIN_DEVICE_DIR/COM5" ] && break; sleep 0.1; done
as_user "$admin" queue tujuan=08123 isipesan=halo pidcom=5 >/dev/null
as_user "$sim" ctl "$PELORIN_DEVICE_DIR/COM5.ctl" store ME 0 \
  07912618485400F9040B818021436587F90000628021013504820EC830FB0D0AC3 >/dev/null
traced 5 "com=5#modem=WAVECOM#baudrate=115200#center=CENTER#sender=SENDER"
has_rows smsout
has_rows smsin

port=$((20000 + RANDOM % 20000))
traced 6 "com=6#modem=MERL-CENTER#baudrate=$port#sender=SENDER#listen=127.0.0.1"
for _ in $(seq 300); do
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
  sleep 0.1
done
printf 'MSISDN=08123\r\nUSRINP1=PULSA\r\n\r\n' >"/dev/tcp/127.0.0.1/$port" || fail "no menu listener on $port"
sleep 1

# The modules end as a service manager ends them, and strace with them; then the simulator.
pkill -TERM -f "^$prefix/" || true
for pid in "${pids[@]:1}"; do wait "$pid" 2>/dev/null || true; done
pkill -TERM -P "${pids[0]}" 2>/dev/null || true
wait 2>/dev/null || true
pids=()

used="$work/used"
sed -n 's/^[0-9]\{1,\} \{1,\}\([a-z_0-9]\{1,\}\)(.*/\1/p' "$work"/run/trace.* | sort -u >"$used"
[ -s "$used" ] || fail "strace saw no system calls"
sort -u -o "$allowed" "$allowed"
sort -u -o "$denied" "$denied"
outside="$(comm -23 "$used" "$allowed" | tr '\n' ' ')"
refused="$(comm -12 "$used" "$denied" | tr '\n' ' ')"
[ -z "$outside" ] || fail "calls outside the unit's filter: $outside"
[ -z "$refused" ] || fail "calls the unit refuses: $refused"
echo "$(wc -l <"$used") system calls used, all allowed by the unit"
