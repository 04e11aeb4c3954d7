#include "policy/allowed_origins.h"

#include <regex>
#include <utility>

#include "policy/origin_pattern.h"

namespace trb {

// Every pattern of one Replace, compiled; shared by all checks until the next Replace.
class CompiledOriginList {
 public:
  explicit CompiledOriginList(const std::vector<std::string>& patterns) {
    compiled_.reserve(patterns.size());
    size_t budget = kMaxListInstructions;
    for (const std::string& p : patterns) compiled_.emplace_back(RewritePattern(p), &budget);
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
    uint64_t steps = kMaxCheckSteps;
    for (const OriginPattern& p : compiled_) {
      if (p.Matches(v, &steps)) return true;
      if (steps == 0) return false;  // out of time: not covered
    }
    return false;
  }

 private:
  std::vector<OriginPattern> compiled_;
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

bool ReferenceMatches(const std::vector<std::string>& patterns, std::string_view url) {
  const std::string v = RewriteUrl(url);
  for (const std::string& p : patterns) {
    try {
      const std::regex re(RewritePattern(p), std::regex::ECMAScript | std::regex::icase);
      if (std::regex_match(v, re)) return true;
    } catch (const std::regex_error&) {
      // Not a valid expression: it covers nothing.
    }
  }
  return false;
}

}  // namespace trb
