// The navigation and load-error decisions, as pure functions the engine adapter calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "policy/allowed_origins.h"

namespace trb {

inline constexpr std::string_view kOwnScheme = "tavrin:";
inline constexpr std::string_view kHtmlDataPrefix = "data:text/html";
// The engine's code for an aborted load: a cancelled navigation reports it, so it shows nothing.
inline constexpr int32_t kAbortedLoadCode = -3;

struct NavigationDecision {
  enum class Action {
    kAllow,     // let the navigation proceed
    kHandToOs,  // cancel it and give the URL to the desktop's handler for the own scheme
    kDeny,      // cancel it and load `page_url` (the Access Denied page) into the same frame
  };
  Action action = Action::kAllow;
  std::string page_url;  // data: URL, set for kDeny only
};

// Before any frame navigates (main frame, subframe, redirect).
NavigationDecision DecideBeforeBrowse(std::string_view url, const AllowedOrigins& origins);

// When a load fails: the data: URL of the Load Error page for that frame, or nothing for an
// aborted load.
std::optional<std::string> DecideLoadError(std::string_view failed_url, std::string_view error_text,
                                           int32_t error_code);

}  // namespace trb
