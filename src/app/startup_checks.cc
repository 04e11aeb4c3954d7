#include "app/startup_checks.h"

#include <unistd.h>

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace trb {
namespace {

QtMessageHandler g_previous_handler = nullptr;
QString g_held_warning;

bool EnvSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

std::string PlatformName(const CommandLine& cl) {
  for (size_t i = 1; i + 1 < cl.toolkit_args.size(); ++i) {
    if (cl.toolkit_args[i] == "-platform") return cl.toolkit_args[i + 1];
  }
  const char* env = std::getenv("QT_QPA_PLATFORM");
  return env != nullptr ? env : "";
}

void StartupMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
  if (type == QtFatalMsg) {
    QString reason = msg.section('\n', 0, 0);
    if (!g_held_warning.isEmpty()) reason = g_held_warning + " (" + reason + ")";
    std::fprintf(stderr,
                 "trbrowser: cannot start the display or the browser engine: %s; check DISPLAY "
                 "and the Qt WebEngine installation\n",
                 reason.toLocal8Bit().constData());
    std::fflush(stderr);
    _exit(1);
  }
  if (context.category != nullptr && QByteArray(context.category).startsWith("qt.qpa")) {
    g_held_warning = msg.section('\n', 0, 0);
    return;
  }
  if (g_previous_handler != nullptr) g_previous_handler(type, context, msg);
}

}  // namespace

bool CheckCanStart(const CommandLine& cl) {
  if (SandboxRefusesRoot(cl, geteuid(), std::getenv("QTWEBENGINE_DISABLE_SANDBOX"),
                         std::getenv("QTWEBENGINE_CHROMIUM_FLAGS"))) {
    std::fputs(
        "trbrowser: the engine's sandbox does not run as root; run as an ordinary user or pass "
        "--no-sandbox\n",
        stderr);
    return false;
  }
  std::string platform = PlatformName(cl);
  bool needs_x = platform.rfind("xcb", 0) == 0;
  bool needs_any = platform.empty();
  if ((needs_x && !EnvSet("DISPLAY")) ||
      (needs_any && !EnvSet("DISPLAY") && !EnvSet("WAYLAND_DISPLAY"))) {
    std::fputs("trbrowser: no display to open; set DISPLAY (for example run it under xvfb-run)\n",
               stderr);
    return false;
  }
  return true;
}

void BeginStartup() { g_previous_handler = qInstallMessageHandler(StartupMessageHandler); }

void StartupDone() {
  qInstallMessageHandler(g_previous_handler);
  g_previous_handler = nullptr;
}

}  // namespace trb
