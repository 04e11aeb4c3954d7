// What the tool sends for one command and which reply it then waits for. Replies carry no
// terminator on the wire, so every reply must be recognised from what was asked: the tool
// classifies each command with the browser's own command language and sends nothing else
// until the reply it expects is complete.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trbctl {

enum class ReplyKind {
  kNone,         // the command does not answer
  kIsHidden,     // "ISHIDDEN 0" or "ISHIDDEN 1": exactly 10 bytes
  kGetUrl,       // "GETURL " + URL, closed off by the marker reply (see Plan::marker)
  kSyntaxError,  // "ERROR Syntax Error: " + the piece: its length is known
  kFinalReport,  // QUIT: "GEOMETRY t l b r", then the browser closes the connection
};

struct Plan {
  std::string wire;  // the bytes to send: each piece followed by ";"
  ReplyKind kind = ReplyKind::kNone;
  // kSyntaxError: the whole reply expected. kGetUrl: the reply to the marker piece sent
  // right after GETURL; the URL is everything between "GETURL " and this text.
  std::string expected;
};

// The pieces of one input line or -c argument, cut at ";" as the browser cuts what it reads.
std::vector<std::string> SplitInput(std::string_view text);

// A piece the browser is sure to refuse, carrying `nonce`; its syntax-error reply ends a
// GETURL reply. A URL cannot hold a nonce that is drawn after the page was loaded.
std::string MarkerPiece(std::string_view nonce);

// The plan for one piece. `nonce` is used only for GETURL and must be fresh for each call.
Plan PlanPiece(std::string_view piece, std::string_view nonce);

// What came of waiting for a reply in the bytes read so far.
enum class TakeStatus {
  kComplete,    // `reply` holds the reply; its bytes are consumed
  kIncomplete,  // the bytes so far are a correct beginning: read more
  kMismatch,    // the bytes cannot be the expected reply
};

// The bytes received from the browser and not yet consumed as replies.
class ReplyBuffer {
 public:
  void Append(std::string_view bytes) { data_.append(bytes); }
  const std::string& pending() const { return data_; }

  // Takes the reply `plan` waits for off the front once it is complete. Not for
  // kFinalReport, which ends only with the connection (see TakeFinalReport).
  TakeStatus Take(const Plan& plan, std::string& reply);

  // At the end of the connection: the pending bytes when they are exactly one well-formed
  // final report, "GEOMETRY " and four decimal integers.
  std::optional<std::string> TakeFinalReport();

  // True when the pending bytes are, or may still become, the start of a final report: the
  // browser writes it unasked when its window is closed.
  bool MayBeFinalReport() const;

 private:
  std::string data_;
};

bool IsFinalReport(std::string_view text);

}  // namespace trbctl
