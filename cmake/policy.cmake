# Navigation policy core: no toolkit, no OS calls. The allow-list matches with RE2 and PCRE2:
# Debian's libre2-dev and libpcre2-dev here; cmake/windows.cmake builds them from Debian's
# sources and names them in TRB_REGEX_LIBRARIES.
if(NOT TRB_REGEX_LIBRARIES)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(RE2 REQUIRED IMPORTED_TARGET re2)
  pkg_check_modules(PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
  set(TRB_REGEX_LIBRARIES PkgConfig::RE2 PkgConfig::PCRE2)
endif()
add_library(trb_policy STATIC
  src/policy/split.cc
  src/policy/pages.cc
  src/policy/pattern_scanner.cc
  src/policy/pattern_reader.cc
  src/policy/pattern_translation.cc
  src/policy/origin_pattern.cc
  src/policy/allowed_origins.cc
  src/policy/decisions.cc
  src/policy/hand_off_limiter.cc
  src/policy/crash_reloads.cc
)
target_include_directories(trb_policy PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(trb_policy PUBLIC Threads::Threads PRIVATE ${TRB_REGEX_LIBRARIES})

# The tests' reference algorithms, shared by the tests, the fuzz targets and the benchmark.
add_library(trb_test_oracles INTERFACE)
target_include_directories(trb_test_oracles INTERFACE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(trb_test_oracles INTERFACE trb_policy)

if(TRBROWSER_CORE_TESTS)
  add_executable(policy_tests tests/unit/policy_test.cc)
  target_link_libraries(policy_tests PRIVATE trb_test_oracles GTest::gtest_main)
  gtest_discover_tests(policy_tests NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60)
endif()

if(TRBROWSER_BENCH)
  add_executable(bench_allowed_origins bench/allowed_origins.cc)
  target_link_libraries(bench_allowed_origins PRIVATE trb_test_oracles)
endif()
