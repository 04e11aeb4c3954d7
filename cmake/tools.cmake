# trbrowserctl, the controller tool, with its tests. Portable core only: no toolkit.
set(TRB_TOOLS_DIR ${CMAKE_CURRENT_LIST_DIR}/..)

add_library(trbctl_core STATIC
  ${TRB_TOOLS_DIR}/tools/options.cc
  ${TRB_TOOLS_DIR}/tools/reply_plan.cc
  ${TRB_TOOLS_DIR}/tools/listener.cc
  ${TRB_TOOLS_DIR}/tools/browser_process.cc
  ${TRB_TOOLS_DIR}/tools/signals.cc
  ${TRB_TOOLS_DIR}/tools/session.cc
  ${TRB_TOOLS_DIR}/tools/event_stream.cc
)
target_include_directories(trbctl_core PUBLIC ${TRB_TOOLS_DIR}/tools)
target_link_libraries(trbctl_core PUBLIC trb_pipe PRIVATE trb_version)
target_link_libraries(trbctl_core PRIVATE nlohmann_json::nlohmann_json)

add_executable(trbrowserctl ${TRB_TOOLS_DIR}/tools/main.cc)
target_link_libraries(trbrowserctl PRIVATE trbctl_core)

# A browser for the tool's tests: the real pipe server with the recording fake behind it.
add_executable(fake_trbrowser ${TRB_TOOLS_DIR}/tests/tool/fake_trbrowser.cc)
target_link_libraries(fake_trbrowser PRIVATE trb_pipe_testing)
target_include_directories(fake_trbrowser PRIVATE ${TRB_TOOLS_DIR}/tests/integration)

# The tool as a process against a fake browser over a real socket.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME tool_edge_cases
    COMMAND ${Python3_EXECUTABLE} -m unittest -v test_tool_edge_cases
    WORKING_DIRECTORY ${TRB_TOOLS_DIR}/tests/tool)
  set_tests_properties(tool_edge_cases PROPERTIES
    LABELS integration TIMEOUT 300
    ENVIRONMENT "TRBROWSERCTL=$<TARGET_FILE:trbrowserctl>;FAKE_TRBROWSER=$<TARGET_FILE:fake_trbrowser>")
endif()
