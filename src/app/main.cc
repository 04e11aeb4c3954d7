// The browser process: parses the command line, starts the toolkit and the engine, creates
// the main browser and runs the UI loop until the main browser has closed.
#include <QApplication>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/graphics_probe.h"
#include "app/host_app.h"
#include "app/quit_signals.h"
#include "app/runtime_dir.h"
#include "app/session_platform.h"
#include "app/startup_checks.h"
#include "host/qt/qt_engine.h"
#include "pipe/event_writer.h"
#include "pipe/pipe_thread.h"
#include "pipe/socket_path.h"
#include "pipe/ui_calls.h"

int main(int argc, char** argv) {
  // A controller may stop the browser at any moment, start-up included.
  trb::CatchQuitSignals();
  trb::CommandLine cl = trb::ParseCommandLine(std::vector<std::string>(argv, argv + argc));
  if (cl.help || cl.version) {
    std::fputs((cl.help ? trb::UsageText() : trb::VersionText()).c_str(), stdout);
    return 0;
  }
  trb::ApplyPlatform(
      cl, trb::ChoosePlatform(cl, {std::getenv("QT_QPA_PLATFORM"), std::getenv("DISPLAY"),
                                   std::getenv("WAYLAND_DISPLAY")}));
  if (!trb::CheckCanStart(cl)) return 1;
  trb::EnsureRuntimeDir();
  // Before the toolkit and the engine start: both read their graphics path once.
  if (trb::ChooseGraphics(&cl)) trb::HideSoftwareGraphicsNotices();

  std::vector<std::string> toolkit_args = trb::ToolkitArgv(cl);
  std::vector<char*> toolkit_argv;
  for (std::string& arg : toolkit_args) toolkit_argv.push_back(arg.data());
  toolkit_argv.push_back(nullptr);
  int toolkit_argc = static_cast<int>(toolkit_args.size());

  // Connects on a thread of its own, beside the command pipe; what happens before it has
  // connected waits in its queue.
  std::shared_ptr<trb::EventWriter> events;
  if (cl.events_pipe) {
    events = std::make_shared<trb::EventWriter>(trb::SocketPathCandidates(*cl.events_pipe));
  }

  trb::BeginStartup(cl);
  // The engine's start-up banner is not ours to print; QT_LOGGING_RULES still overrides this.
  QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
  trb::host::QtEngine::RegisterSchemes();
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(toolkit_argc, toolkit_argv.data());
  trb::ToolkitStarted();
  // Closing the last visible popup while the main window is hidden must not end anything:
  // only the main browser's close does.
  QApplication::setQuitOnLastWindowClosed(false);

  trb::SetUiWaker([] {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { trb::DrainUiCalls(); }, Qt::QueuedConnection);
  });
  trb::SetPipeSwitchValue(cl.named_pipe);

  int code = 0;
  {
    trb::host::QtEngine engine;
    trb::HostApp host(engine, trb::PipeThreadControl{trb::StartPipeThread, trb::StopPipeThread},
                      events);
    bool quit_requested = false;
    trb::WatchQuitSignals([&] {
      quit_requested = true;
      host.RequestQuit();  // before the main browser exists, this just ends the loop
    });
    QTimer::singleShot(0, &app, [&] {
      // After a signal there is nothing to start: the loop is already ending.
      if (!quit_requested) host.OnContextInitialized(cl);
      trb::StartupDone();
    });
    code = QApplication::exec();
    // The close sequence has normally stopped the pipe thread already; this is for a loop
    // that ended any other way.
    trb::StopPipeThread();
  }
  // What the last moments reported still goes out, within the writer's short grace.
  if (events) events->Stop();
  return code == 0 ? 0 : 1;
}
