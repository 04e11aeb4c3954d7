# libFuzzer targets for the portable core (opt-in: -DTRBROWSER_FUZZ=ON, clang only). The
# libraries they exercise are instrumented for coverage; the sanitizers come from
# TRBROWSER_SANITIZE, which the fuzz build needs. tests/fuzz/run.sh configures and runs them.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "TRBROWSER_FUZZ needs clang's libFuzzer: configure with CXX=clang++")
endif()
if(NOT TRBROWSER_SANITIZE)
  message(FATAL_ERROR "TRBROWSER_FUZZ needs -DTRBROWSER_SANITIZE=ON (ASan + UBSan)")
endif()

foreach(library trb_policy trb_pipe)
  target_compile_options(${library} PRIVATE -fsanitize=fuzzer-no-link)
endforeach()

# The pipe target explores the pipe; the allow-list behind SET-ALLOWED-ORIGINS is the origins
# target's ground. It links a traced copy of the pipe library (less the events, which it does
# not reach) over an untraced copy of the policy library, so that compiling a list costs no
# coverage tracing per input.
get_target_property(policy_sources trb_policy SOURCES)
add_library(trb_policy_untraced STATIC ${policy_sources})
target_include_directories(trb_policy_untraced PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(trb_policy_untraced PUBLIC Threads::Threads PRIVATE ${TRB_REGEX_LIBRARIES})
get_target_property(pipe_sources trb_pipe SOURCES)
list(FILTER pipe_sources EXCLUDE REGEX "/events?[._]")
add_library(trb_pipe_traced STATIC ${pipe_sources})
target_link_libraries(trb_pipe_traced PUBLIC trb_policy_untraced)
target_compile_options(trb_pipe_traced PRIVATE -fsanitize=fuzzer-no-link)

add_custom_target(fuzzers)
foreach(name pipe origins pages)
  # The target itself is not instrumented: its oracles are not what is explored, and tracing
  # them would cost every input.
  add_executable(${name}_fuzzer tests/fuzz/${name}_fuzzer.cc)
  target_link_options(${name}_fuzzer PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name}_fuzzer PRIVATE $<IF:$<STREQUAL:${name},pipe>,trb_pipe_traced,trb_pipe>)
  add_dependencies(fuzzers ${name}_fuzzer)
endforeach()
