# Third-party dependencies, gathered behind one interface target, nv_deps.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(NV_ARROW REQUIRED IMPORTED_TARGET arrow arrow-compute arrow-acero parquet)
pkg_check_modules(NV_CURL REQUIRED IMPORTED_TARGET libcurl)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_library(NV_PG_QUERY_LIB NAMES pg_query REQUIRED)
find_path(NV_PG_QUERY_INCLUDE pg_query.h REQUIRED)

add_library(nv_deps INTERFACE)
target_link_libraries(nv_deps INTERFACE
  PkgConfig::NV_ARROW PkgConfig::NV_CURL nlohmann_json::nlohmann_json OpenSSL::Crypto
  ${NV_PG_QUERY_LIB} Threads::Threads ${CMAKE_DL_LIBS})
target_include_directories(nv_deps INTERFACE ${NV_PG_QUERY_INCLUDE})

# For the local service, the tests and the benchmarks only; never linked into the library.
find_library(NV_DUCKDB_LIB NAMES duckdb)
find_path(NV_DUCKDB_INCLUDE duckdb.hpp)
pkg_check_modules(NV_HTTPLIB IMPORTED_TARGET cpp-httplib)
