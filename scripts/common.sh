# Shared by the scripts in this folder: where the build root lives and whether it is needed.
NV_BUILDROOT=${NV_BUILDROOT:-/var/lib/norvale/buildroot}
NV_SCRIPTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
NV_TOP=$(cd "$NV_SCRIPTS/.." && pwd)

# Native build when the host already has every dependency.
nv_host_has_deps() {
  command -v pkg-config >/dev/null 2>&1 || return 1
  pkg-config --exists arrow arrow-compute arrow-acero parquet libcurl 2>/dev/null || return 1
  command -v g++ >/dev/null 2>&1 || return 1
  local major
  major=$(g++ -dumpversion 2>/dev/null | cut -d. -f1)
  [ "${major:-0}" -ge 13 ] || return 1
  command -v cmake >/dev/null 2>&1 || return 1
  [ -e /usr/include/nlohmann/json.hpp ] || return 1
  [ -e /usr/include/pg_query.h ] || return 1
  [ -e /usr/include/httplib.h ] || return 1
  [ -e /usr/include/duckdb.hpp ] || return 1
  [ -e /usr/include/gtest/gtest.h ] || return 1
  [ -e /usr/include/histedit.h ] || return 1
  [ -e /usr/include/benchmark/benchmark.h ] || return 1
  return 0
}

nv_package_list() {
  grep -v -E '^\s*(#|$)' "$NV_SCRIPTS/packages.txt"
}
