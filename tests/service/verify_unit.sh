#!/usr/bin/env bash
# The service unit as `cmake --install` places it, checked by systemd itself: every line
# understood, the program there. Skipped (77) where systemd-analyze is absent.
set -euo pipefail
unit="$1" module="$2"
command -v systemd-analyze >/dev/null || { echo "no systemd-analyze: skipped"; exit 77; }
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
# The installed path of the program is not there yet: point at the built one.
sed "s#^ExecStart=[^ ]*/pelorin #ExecStart=$module #" "$unit" >"$dir/pelorin@.service"
grep -q "^ExecStart=$module " "$dir/pelorin@.service" || { echo "no ExecStart line to check"; exit 1; }
cd "$dir"
# Warnings ("ignoring ...") do not change the exit status: any output is a failure.
out="$(systemd-analyze verify --man=no "$dir/pelorin@5.service" 2>&1)" && status=0 || status=$?
if [ "$status" -ne 0 ] || [ -n "$out" ]; then
  echo "$out"
  exit 1
fi
echo "pelorin@5.service verified"
