# The pipe channel's portable sources, shared by the Linux build (cmake/pipe.cmake) and the
# Windows cross build (cmake/windows.cmake), which add their own platform files.
set(TRB_PIPE_PORTABLE_SOURCES
  src/pipe/framing.cc
  src/pipe/command_language.cc
  src/pipe/pipe_controller.cc
  src/pipe/target.cc
  src/pipe/ui_calls.cc
  src/pipe/pipe_thread.cc
  src/pipe/window_model.cc
  src/pipe/window_check.cc
)
