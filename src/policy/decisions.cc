#include "policy/decisions.h"

#include "policy/pages.h"

namespace trb {

NavigationDecision DecideBeforeBrowse(std::string_view url, const AllowedOrigins& origins) {
  // Byte comparisons on purpose: the engine hands schemes over in lower case already, and a
  // look-alike such as "tavrinx:" must not leave the browser.
  if (url.starts_with(kOwnScheme)) return {NavigationDecision::Action::kHandToOs, {}};
  if (url.starts_with(kHtmlDataPrefix)) return {NavigationDecision::Action::kAllow, {}};
  const AllowedOrigins::Verdict verdict = origins.Check(url);
  if (!verdict.empty && !verdict.matches) {
    return {NavigationDecision::Action::kDeny, MakeDataURL(AccessDeniedPage(url), kHtmlMimeType)};
  }
  return {NavigationDecision::Action::kAllow, {}};
}

std::optional<std::string> DecideLoadError(std::string_view failed_url, std::string_view error_text,
                                           int32_t error_code) {
  if (error_code == kAbortedLoadCode) return std::nullopt;
  return MakeDataURL(LoadErrorPage(failed_url, error_text, error_code), kHtmlMimeType);
}

}  // namespace trb
