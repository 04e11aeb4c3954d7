// Quit signals are caught from the start of the process and reach the UI loop once it runs,
// whether they came before the loop existed or while it was running.
#include <gtest/gtest.h>

#include <signal.h>

#include <functional>
#include <ostream>
#include <string>

#include <QCoreApplication>
#include <QTimer>

#include "app/quit_signals.h"

namespace trb {
namespace {

// Runs a loop that watches the quit signals, with `during_loop` posted into it; returns how
// many times the watcher was called before the loop ended (it ends at the first call, or
// after a generous guard).
int WatchedCalls(const std::function<void()>& during_loop) {
  int argc = 1;
  char name[] = "quit_signals_test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  int calls = 0;
  WatchQuitSignals([&] {
    ++calls;
    QCoreApplication::exit(0);
  });
  QTimer::singleShot(0, &app, during_loop);
  QTimer::singleShot(30000, &app, [] { QCoreApplication::exit(1); });
  QCoreApplication::exec();
  return calls;
}

struct SignalCase {
  const char* name;
  int sig;
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class QuitSignals : public ::testing::TestWithParam<SignalCase> {};

TEST_P(QuitSignals, SignalBeforeTheLoopIsHeldForIt) {
  CatchQuitSignals();
  ASSERT_EQ(raise(GetParam().sig), 0);  // would end the process without the catch
  EXPECT_EQ(WatchedCalls([] {}), 1);
}

TEST_P(QuitSignals, SignalDuringTheLoopReachesIt) {
  CatchQuitSignals();
  const int sig = GetParam().sig;
  EXPECT_EQ(WatchedCalls([sig] { raise(sig); }), 1);
}

INSTANTIATE_TEST_SUITE_P(Each, QuitSignals,
                         ::testing::Values(SignalCase{"Term", SIGTERM}, SignalCase{"Int", SIGINT},
                                           SignalCase{"Hup", SIGHUP}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace trb
