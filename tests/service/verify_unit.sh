#!/usr/bin/env bash
# What `cmake --install --prefix X` leaves for running modules as a service, checked as an
# operator would: the unit starts X/bin/pelorin with nothing secret in its command line,
# systemd accepts it and rates its exposure 3.0 or less, and the example settings (which
# show where passwords go) are not readable by every local user. The systemd checks are
# skipped (77) where systemd-analyze is absent; the others run everywhere.
set -euo pipefail
cmake="$1" build="$2"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "FAIL: $*"; exit 1; }
unit="$prefix/lib/systemd/system/pelorin@.service"
[ -f "$unit" ] || fail "no unit at $unit"
exec_line="$(grep '^ExecStart=' "$unit")"
[ "$exec_line" = "ExecStart=$prefix/bin/pelorin" ] || fail "unit runs '$exec_line', not $prefix/bin/pelorin alone"
[ -x "$prefix/bin/pelorin" ] || fail "no program at $prefix/bin/pelorin"
# What pelorin becomes where a window can be seen or for a type that needs the network; it
# looks for them in the install's libexec.
for program in pelorin-window pelorin-net; do
  [ -x "$prefix/libexec/pelorin/$program" ] || fail "no $program in $prefix/libexec/pelorin"
done
for settings in "com=5#showme=1" "com=5#modem=MERL-SENDER#showme=0"; do
  looked="$(env -u QT_QPA_PLATFORM DISPLAY=:9999 PELORIN_HOME="$prefix" "$prefix/bin/pelorin" "$settings" 2>&1)" || true
  ! grep -q "is not installed beside" <<<"$looked" || fail "the installed pelorin does not find a program: $looked"
done
grep -q '^Environment=PELORIN_INSTANCE=%i$' "$unit" || fail "the unit does not tell the module its instance"
for f in lib/sysusers.d/pelorin.conf lib/tmpfiles.d/pelorin.conf; do
  [ -f "$prefix/$f" ] || fail "no $f"
done
example="$(find "$prefix/share/doc" -name example.conf)"
mode="$(stat -c %a "$example")"
[ "${mode: -1}" = 0 ] || fail "example.conf is readable by others (mode $mode)"
echo "installed unit starts $prefix/bin/pelorin; example.conf mode $mode"

command -v systemd-analyze >/dev/null || { echo "no systemd-analyze: systemd checks skipped"; exit 77; }
# The user and directories, made in a scratch root as a fresh machine would make them.
if [ "$(id -u)" -eq 0 ] && command -v systemd-sysusers >/dev/null && command -v systemd-tmpfiles >/dev/null; then
  root="$prefix/root"
  mkdir -p "$root/etc"
  systemd-sysusers --root="$root" "$prefix/lib/sysusers.d/pelorin.conf" >/dev/null 2>&1 || fail "systemd-sysusers"
  grep -q '^pelorin:' "$root/etc/passwd" || fail "no user pelorin"
  grep -q '^dialout:.*pelorin' "$root/etc/group" || fail "pelorin is not in dialout"
  systemd-tmpfiles --create --root="$root" "$prefix/lib/tmpfiles.d/pelorin.conf" >/dev/null 2>&1 || fail "systemd-tmpfiles"
  [ "$(stat -c %a "$root/var/lib/pelorin")" = 750 ] || fail "/var/lib/pelorin is not 0750"
  [ "$(stat -c %a "$root/etc/pelorin")" = 750 ] || fail "/etc/pelorin is not 0750"
  echo "user pelorin (in dialout), /var/lib/pelorin and /etc/pelorin made"
fi
cd "$prefix/lib/systemd/system"
# Warnings ("ignoring ...") do not change the exit status: any output is a failure.
out="$(systemd-analyze verify --man=no "$PWD/pelorin@5.service" 2>&1)" && status=0 || status=$?
if [ "$status" -ne 0 ] || [ -n "$out" ]; then
  echo "$out"
  fail "systemd-analyze verify"
fi
report="$(systemd-analyze security --offline=yes pelorin@5.service 2>&1)" || true
level="$(sed -n 's/.*Overall exposure level for pelorin@5.service: \([0-9.]*\).*/\1/p' <<<"$report")"
[ -n "$level" ] || { echo "$report"; fail "no exposure level"; }
awk -v l="$level" 'BEGIN { exit !(l <= 3.0) }' || { echo "$report" | grep '✗'; fail "exposure $level > 3.0"; }
echo "pelorin@5.service verified; exposure $level"
