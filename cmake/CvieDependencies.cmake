# Libraries from Debian packages (scripts/install-deps.sh installs them).
find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
pkg_check_modules(HS REQUIRED IMPORTED_TARGET libhs)
pkg_check_modules(PSL REQUIRED IMPORTED_TARGET libpsl)
pkg_check_modules(BROTLIDEC REQUIRED IMPORTED_TARGET libbrotlidec)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(CLI11 CONFIG QUIET)
find_package(Boost 1.74 REQUIRED)
find_package(benchmark QUIET)

# Shared test data (real pages, the big rule list) lives beside the repository;
# tests and benchmarks read it in place and skip when it is absent.
get_filename_component(_cvie_shared ${CMAKE_SOURCE_DIR}/../shared ABSOLUTE)
set(CVIE_SHARED_DIR ${_cvie_shared} CACHE PATH "Folder of shared corpus and rules")
