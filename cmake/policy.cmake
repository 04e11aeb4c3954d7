# Navigation policy core: no toolkit, no OS calls.
add_library(trb_policy STATIC
  src/policy/split.cc
  src/policy/pages.cc
  src/policy/regex_syntax.cc
  src/policy/regex_program.cc
  src/policy/origin_pattern.cc
  src/policy/allowed_origins.cc
  src/policy/decisions.cc
  src/policy/hand_off_limiter.cc
)
target_include_directories(trb_policy PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(trb_policy PUBLIC Threads::Threads)

add_executable(policy_tests
  tests/unit/split_test.cc
  tests/unit/pages_test.cc
  tests/unit/allowed_origins_test.cc
  tests/unit/regex_program_test.cc
  tests/unit/decisions_test.cc
  tests/unit/hand_off_limiter_test.cc
)
target_link_libraries(policy_tests PRIVATE trb_policy GTest::gtest_main)
gtest_discover_tests(policy_tests DISCOVERY_TIMEOUT 60)

if(TRBROWSER_BENCH)
  add_executable(bench_allowed_origins bench/allowed_origins.cc)
  target_link_libraries(bench_allowed_origins PRIVATE trb_policy)
endif()
