# libFuzzer targets for the portable core (opt-in: -DTRBROWSER_FUZZ=ON, clang only). The
# libraries they exercise are instrumented for coverage; the sanitizers come from
# TRBROWSER_SANITIZE, which the fuzz build needs. tests/fuzz/run.sh configures and runs them.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "TRBROWSER_FUZZ needs clang's libFuzzer: configure with CXX=clang++")
endif()
if(NOT TRBROWSER_SANITIZE)
  message(FATAL_ERROR "TRBROWSER_FUZZ needs -DTRBROWSER_SANITIZE=ON (ASan + UBSan)")
endif()

# The pipe target explores the pipe; the allow-list behind SET-ALLOWED-ORIGINS is the origins
# target's ground. So the pipe library is traced over an untraced policy library, and compiling
# a list costs the pipe target no coverage tracing per input; the origins and pages targets
# link a traced copy of the policy library.
target_compile_options(trb_pipe PRIVATE -fsanitize=fuzzer-no-link)
get_target_property(policy_sources trb_policy SOURCES)
add_library(trb_policy_traced STATIC ${policy_sources})
target_include_directories(trb_policy_traced PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(trb_policy_traced PUBLIC Threads::Threads PRIVATE ${TRB_REGEX_LIBRARIES})
target_compile_options(trb_policy_traced PRIVATE -fsanitize=fuzzer-no-link)

add_custom_target(fuzzers)
foreach(name pipe origins pages)
  # The target itself is not instrumented: its oracles are not what is explored, and tracing
  # them would cost every input.
  add_executable(${name}_fuzzer tests/fuzz/${name}_fuzzer.cc)
  target_link_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name}_fuzzer PRIVATE $<IF:$<STREQUAL:${name},pipe>,trb_pipe,trb_policy_traced>)
  add_dependencies(fuzzers ${name}_fuzzer)
endforeach()
