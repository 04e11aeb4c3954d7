// One controller session over an accepted connection: sending the commands one by one,
// waiting for exactly the replies they produce, printing them, and ending cleanly with QUIT
// and the final report.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "browser_process.h"
#include "event_stream.h"
#include "options.h"
#include "reply_plan.h"

namespace trbctl {

class Session {
 public:
  // `browser` is null with --no-launch; `events` is null when the session needs no events.
  // The session owns `fd` from here on.
  Session(const Options& options, BrowserProcess* browser, int fd, EventStream* events = nullptr);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Runs the steps, then stdin when no -c was given, then ends the session. Returns the
  // exit code of the tool.
  int Run();

 private:
  using Clock = std::chrono::steady_clock;
  // Set when the session is over: the tool's exit code.
  using Result = std::optional<int>;
  enum class ReadStatus { kData, kEof, kTimeout, kInterrupted, kEvents };

  Result RunText(std::string_view text);
  Result RunPiece(std::string_view piece);
  Result WaitUrl(const std::string& prefix);
  Result WaitLoad(const std::string& prefix);
  // A pause between two looks of a wait step, until `until` or (with `until_events`) the
  // next events; a result when the session ended meanwhile.
  Result PauseWaiting(Clock::time_point until, bool until_events);
  // A wait step that ran out of time: says so and ends the session (exit code 8 when the
  // end itself went well).
  int WaitTimedOut(const std::string& message);
  Result RunStdin();

  Result AwaitReply(const Plan& plan, std::string_view piece, std::string& reply);
  int Quit();
  int Finish(bool quit_sent);
  int EndBrowser();
  int Fail(int code, const std::string& message);
  int Abort();

  bool Send(std::string_view bytes);
  // Waits until bytes arrive (appended to buffer_), the connection ends, the deadline
  // passes, or InterruptCount() reaches `abort_at`. Events that arrive meanwhile are taken
  // in; with `until_events`, their arrival ends the wait too.
  ReadStatus ReadMore(Clock::time_point deadline, int abort_at, bool until_events = false);
  Clock::time_point Deadline() const;

  const Options& options_;
  BrowserProcess* browser_;
  int fd_;
  EventStream* events_;
  ReplyBuffer buffer_;
};

// Prints a reply as one line on stdout, at once.
void PrintReply(std::string_view reply);

// `text` made safe for a one-line message: control bytes escaped, long texts shortened.
std::string Printable(std::string_view text);

}  // namespace trbctl
