#include "reply_plan.h"

#include <variant>

#include "pipe/command_language.h"
#include "policy/split.h"

namespace trbctl {
namespace {

constexpr std::string_view kGetUrlPrefix = "GETURL ";
constexpr std::string_view kIsHiddenPrefix = "ISHIDDEN ";
constexpr std::string_view kReportPrefix = "GEOMETRY ";

// True when `have` and `want` agree on their common length.
bool AgreesWith(std::string_view have, std::string_view want) {
  size_t n = std::min(have.size(), want.size());
  return have.substr(0, n) == want.substr(0, n);
}

bool IsDecimalInt(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  if (text.empty() || text.size() > 10) return false;
  if (text.size() > 1 && text.front() == '0') return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

std::vector<std::string> SplitInput(std::string_view text) { return trb::SplitAtSemicolons(text); }

std::string MarkerPiece(std::string_view nonce) {
  // "#" is no command word, so the browser answers this piece with a syntax error.
  std::string piece = "#trbrowserctl-";
  piece += nonce;
  return piece;
}

Plan PlanPiece(std::string_view piece, std::string_view nonce) {
  Plan plan;
  plan.wire = std::string(piece) + ";";
  std::optional<trb::Command> command = trb::ParseCommand(piece);
  if (!command) {
    plan.kind = ReplyKind::kSyntaxError;
    plan.expected = trb::SyntaxErrorReply(piece);
  } else if (std::holds_alternative<trb::command::IsHidden>(*command)) {
    plan.kind = ReplyKind::kIsHidden;
  } else if (std::holds_alternative<trb::command::GetUrl>(*command)) {
    plan.kind = ReplyKind::kGetUrl;
    std::string marker = MarkerPiece(nonce);
    plan.wire += marker + ";";
    plan.expected = trb::SyntaxErrorReply(marker);
  } else if (std::holds_alternative<trb::command::Quit>(*command)) {
    plan.kind = ReplyKind::kFinalReport;
  }
  return plan;
}

TakeStatus ReplyBuffer::Take(const Plan& plan, std::string& reply) {
  switch (plan.kind) {
    case ReplyKind::kIsHidden: {
      if (!AgreesWith(data_, kIsHiddenPrefix)) return TakeStatus::kMismatch;
      if (data_.size() < kIsHiddenPrefix.size() + 1) return TakeStatus::kIncomplete;
      char flag = data_[kIsHiddenPrefix.size()];
      if (flag != '0' && flag != '1') return TakeStatus::kMismatch;
      reply = data_.substr(0, kIsHiddenPrefix.size() + 1);
      data_.erase(0, reply.size());
      return TakeStatus::kComplete;
    }
    case ReplyKind::kSyntaxError: {
      if (!AgreesWith(data_, plan.expected)) return TakeStatus::kMismatch;
      if (data_.size() < plan.expected.size()) return TakeStatus::kIncomplete;
      reply = plan.expected;
      data_.erase(0, reply.size());
      return TakeStatus::kComplete;
    }
    case ReplyKind::kGetUrl: {
      if (!AgreesWith(data_, kGetUrlPrefix)) return TakeStatus::kMismatch;
      size_t end = data_.find(plan.expected, kGetUrlPrefix.size());
      if (end == std::string::npos) return TakeStatus::kIncomplete;
      reply = data_.substr(0, end);
      data_.erase(0, end + plan.expected.size());
      return TakeStatus::kComplete;
    }
    case ReplyKind::kNone:
    case ReplyKind::kFinalReport:
      break;
  }
  return TakeStatus::kMismatch;
}

bool IsFinalReport(std::string_view text) {
  if (text.substr(0, kReportPrefix.size()) != kReportPrefix) return false;
  std::vector<std::string_view> numbers;
  std::string_view rest = text.substr(kReportPrefix.size());
  while (true) {
    size_t space = rest.find(' ');
    numbers.emplace_back(rest.substr(0, space));
    if (space == std::string_view::npos) break;
    rest.remove_prefix(space + 1);
  }
  if (numbers.size() != 4) return false;
  for (std::string_view number : numbers)
    if (!IsDecimalInt(number)) return false;
  return true;
}

std::optional<std::string> ReplyBuffer::TakeFinalReport() {
  if (!IsFinalReport(data_)) return std::nullopt;
  std::string report = std::move(data_);
  data_.clear();
  return report;
}

bool ReplyBuffer::MayBeFinalReport() const { return AgreesWith(data_, kReportPrefix); }

}  // namespace trbctl
