#include "app/startup_checks.h"

#include <unistd.h>

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/graphics_choice.h"

namespace trb {
namespace {

QtMessageHandler g_previous_handler = nullptr;
QtMessageHandler g_before_graphics_filter = nullptr;
QString g_held_warning;
bool g_toolkit_starting = false;
struct HeldMessage {
  QtMsgType type;
  QByteArray category;
  QString text;
};
std::vector<HeldMessage> g_held_messages;  // while the toolkit starts, other than qt.qpa's
std::string g_platform;

bool EnvSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

void StartupMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
  if (type == QtFatalMsg) {
    QString reason = msg.section('\n', 0, 0);
    if (!g_held_warning.isEmpty()) reason = g_held_warning + " (" + reason + ")";
    const char* hint = g_platform.rfind("wayland", 0) == 0
                           ? "check WAYLAND_DISPLAY and that Qt's Wayland plugin (package "
                             "qt6-wayland) is installed"
                           : "check DISPLAY and the Qt WebEngine installation";
    std::fprintf(stderr, "trbrowser: cannot start the display or the browser engine: %s; %s\n",
                 reason.toLocal8Bit().constData(), hint);
    std::fflush(stderr);
    _exit(1);
  }
  // The first warning names the cause; what follows reports its consequences.
  if (context.category != nullptr && QByteArray(context.category).startsWith("qt.qpa")) {
    if (g_held_warning.isEmpty()) g_held_warning = msg.section('\n', 0, 0);
    return;
  }
  if (g_toolkit_starting && (type == QtWarningMsg || type == QtCriticalMsg)) {
    if (g_held_warning.isEmpty()) g_held_warning = msg.section('\n', 0, 0);
    g_held_messages.push_back({type, context.category, msg});
    return;
  }
  if (g_previous_handler != nullptr) g_previous_handler(type, context, msg);
}

void GraphicsNoticeFilter(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
  if (type != QtFatalMsg && IsSoftwareGraphicsNotice(msg.toStdString())) return;
  if (g_before_graphics_filter != nullptr) g_before_graphics_filter(type, context, msg);
}

}  // namespace

bool CheckCanStart(const CommandLine& cl) {
  if (!cl.error.empty()) {
    std::fprintf(stderr, "trbrowser: %s\n", cl.error.c_str());
    return false;
  }
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

void BeginStartup(const CommandLine& cl) {
  g_platform = PlatformName(cl);
  g_toolkit_starting = true;
  g_previous_handler = qInstallMessageHandler(StartupMessageHandler);
}

void ToolkitStarted() {
  g_toolkit_starting = false;
  for (const HeldMessage& held : g_held_messages) {
    QMessageLogContext context(nullptr, 0, nullptr, held.category.constData());
    if (g_previous_handler != nullptr) g_previous_handler(held.type, context, held.text);
  }
  g_held_messages.clear();
}

void HideSoftwareGraphicsNotices() {
  g_before_graphics_filter = qInstallMessageHandler(GraphicsNoticeFilter);
}

void StartupDone() {
  qInstallMessageHandler(g_previous_handler);
  g_previous_handler = nullptr;
}

}  // namespace trb
