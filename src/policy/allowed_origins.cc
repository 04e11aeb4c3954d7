#include "policy/allowed_origins.h"

#include <re2/re2.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "policy/origin_pattern.h"

namespace trb {

// Every pattern of one Replace, compiled; shared by all checks until the next Replace.
//
// RE2 answers for all the patterns it can run at once, in one pass whose cost hardly grows
// with the list; but its worst case (a DFA that builds a new state at every byte) is about
// 10 ns per NFA position alive per byte, which a hostile list and URL can make seconds.
// So RE2 gets only as much of the URL as that worst case allows, and PCRE2, whose work is
// counted step by step, decides what RE2 could not: the patterns only PCRE2 can run, and
// all of them when RE2 had to stop short of the URL's end.
class CompiledOriginList {
 public:
  explicit CompiledOriginList(const std::vector<std::string>& patterns) {
    compiled_.reserve(patterns.size());
    std::string alternation;
    for (const std::string& p : patterns) {
      const OriginPattern& o = compiled_.emplace_back(RewritePattern(p));
      if (o.use() != OriginPattern::Use::kBoth) continue;
      const Translation& t = o.translation();
      if (!alternation.empty()) alternation += '|';
      alternation += "(?:" + t.re2 + ")";
      // A bounded pattern's positions are alive at a few offsets each, whatever the URL's
      // length; an unbounded one's at every byte, and a wild one's DFA may need a new state
      // at every byte, which costs several times more.
      if (t.bounded) {
        head_work_ = Saturate(head_work_ + Saturate(t.size * (t.width_spread + 1)));
      } else {
        work_per_byte_ = Saturate(work_per_byte_ + Saturate(t.size * (t.tame ? 1 : 8)));
      }
    }
    if (alternation.empty() || head_work_ > kMaxRe2Work) return;
    RE2::Options options;
    options.set_encoding(RE2::Options::EncodingLatin1);
    options.set_log_errors(false);
    options.set_never_capture(true);
    options.set_max_mem(int64_t{64} << 20);
    auto re2 = std::make_unique<RE2>(alternation, options);
    if (re2->ok()) re2_ = std::move(re2);
  }

  bool empty() const { return compiled_.empty(); }

  bool Matches(std::string_view url) const noexcept {
    if (compiled_.empty()) return false;
    // The ":443" rule only ever shortens the URL; skip the copy when it changes nothing.
    std::string rewritten;
    std::string_view v = url;
    if (url.starts_with("https://") && url.find(":443") != std::string_view::npos) {
      try {
        rewritten = RewriteUrl(url);
      } catch (const std::bad_alloc&) {
        return false;
      }
      v = rewritten;
    }
    const size_t last_break = LastLineBreak(v);
    // How far RE2 has read without finding a match; it runs the prefix forms, right only
    // for a URL without line breaks.
    size_t re2_read = 0;
    if (re2_ && last_break == std::string_view::npos) {
      const size_t span = Re2Span(v.size());
      if (span > 0 && re2_->Match(v, 0, span, RE2::ANCHOR_START, nullptr, 0)) return true;
      re2_read = span;
    }
    PcreBudget budget{kMaxPcreSteps, last_break == std::string_view::npos ? 0 : last_break + 1};
    for (const OriginPattern& p : compiled_) {
      if (p.use() == OriginPattern::Use::kNever) continue;
      // RE2 has answered for the patterns it runs when it read the whole URL, and for those
      // whose matches cannot be longer than what it read.
      if (p.use() == OriginPattern::Use::kBoth && re2_read > 0 &&
          (re2_read == v.size() ||
           (p.translation().bounded && p.translation().max_width <= re2_read)))
        continue;
      switch (p.Matches(v, &budget)) {
        case OriginPattern::Result::kYes:
          return true;
        case OriginPattern::Result::kOutOfSteps:
          return false;  // out of time: not covered
        case OriginPattern::Result::kNo:
          break;
      }
    }
    return false;
  }

 private:
  // The position of the URL's last CR or LF. Engines never produce one (they percent-encode
  // them), so the common answer, none, comes from two fast scans.
  static size_t LastLineBreak(std::string_view v) {
    if (std::memchr(v.data(), '\n', v.size()) == nullptr &&
        std::memchr(v.data(), '\r', v.size()) == nullptr)
      return std::string_view::npos;
    return v.find_last_of("\r\n");
  }

  static uint64_t Saturate(uint64_t v) { return std::min<uint64_t>(v, uint64_t{1} << 50); }

  // How much of a URL of `size` bytes RE2 may read within its share of the check. RE2 reads
  // with the whole URL as context, so "$" and "\b" at the end of that span see what follows.
  size_t Re2Span(size_t size) const {
    const uint64_t left = kMaxRe2Work - head_work_;
    if (work_per_byte_ == 0 || size <= left / work_per_byte_) return size;
    return static_cast<size_t>(left / work_per_byte_);
  }

  std::vector<OriginPattern> compiled_;
  std::unique_ptr<RE2> re2_;
  uint64_t head_work_ = 0;
  uint64_t work_per_byte_ = 0;
};

namespace {

constexpr std::string_view kHttpsPrefix = "https://";
constexpr std::string_view kDefaultHttpsPort = ":443";

std::string DropDefaultPort(std::string_view text) {
  if (!text.starts_with(kHttpsPrefix)) return std::string(text);
  std::string stripped;
  stripped.reserve(text.size());
  size_t from = 0;
  for (size_t at; (at = text.find(kDefaultHttpsPort, from)) != std::string_view::npos;) {
    stripped.append(text.substr(from, at - from));
    from = at + kDefaultHttpsPort.size();
  }
  stripped.append(text.substr(from));
  return stripped;
}

}  // namespace

std::string RewriteUrl(std::string_view url) { return DropDefaultPort(url); }

std::string RewritePattern(std::string_view pattern) {
  const std::string q = DropDefaultPort(pattern);
  static constexpr std::string_view kWildcard = "//*.";
  std::string r = "^";
  r.reserve(q.size() + 4);
  size_t from = 0;
  for (size_t at; (at = q.find(kWildcard, from)) != std::string::npos;) {
    r.append(q, from, at - from);
    r += "//.*";
    from = at + kWildcard.size();
  }
  r.append(q, from);
  r += ".*$";
  return r;
}

AllowedOrigins::AllowedOrigins() = default;
AllowedOrigins::~AllowedOrigins() = default;

void AllowedOrigins::Replace(const std::vector<std::string>& patterns) {
  // Compile outside any lock: a check never waits for a compile.
  list_.store(std::make_shared<const CompiledOriginList>(patterns));
}

void AllowedOrigins::Clear() { list_.store(nullptr); }

std::shared_ptr<const CompiledOriginList> AllowedOrigins::Load() const { return list_.load(); }

bool AllowedOrigins::IsEmpty() const {
  const auto list = Load();
  return !list || list->empty();
}

bool AllowedOrigins::Matches(std::string_view url) const {
  const auto list = Load();
  return list && list->Matches(url);
}

AllowedOrigins::Verdict AllowedOrigins::Check(std::string_view url) const {
  const auto list = Load();
  if (!list || list->empty()) return {true, false};
  return {false, list->Matches(url)};
}

}  // namespace trb
