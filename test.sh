#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest: the database tests run
# on SQLite and, on a throwaway PostgreSQL server started here, once more on PostgreSQL.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$top/scripts/install-deps"
"$top/scripts/build"
cd "${PELORIN_BUILD_DIR:-$top/build}"
if [ -z "${PELORIN_TEST_POSTGRES:-}" ]; then
  pgdir="$(mktemp -u -d -t pelorin-pg.XXXXXX)"
  trap '"$top/scripts/test-postgres" stop "$pgdir"' EXIT
  if url="$("$top/scripts/test-postgres" start "$pgdir")"; then
    export PELORIN_TEST_POSTGRES="$url"
  else
    echo "test.sh: no PostgreSQL server; its tests report themselves skipped" >&2
  fi
fi
# End-to-end tests spend most of their time waiting for modems, timers and peers, not on a
# core: twice as many as there are cores keep the machine busy.
ctest --output-on-failure -j "$(( $(nproc) * 2 ))" --timeout 300
