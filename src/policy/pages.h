// The pages the browser shows of its own (default, Access Denied, Load Error) and the
// data: URLs that carry them into a frame.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace trb {

// The blank dark-grey page every main browser starts on; 89 bytes.
inline constexpr std::string_view kDefaultPageHtml =
    "<html><head><title>Tavrin WebBrowser</title></head><body bgcolor=\"#404040\"></body></html>";

inline constexpr std::string_view kHtmlMimeType = "text/html";

// "data:" + mime + ";base64," + base64(data) with + / = percent-escaped (%2B %2F %3D).
std::string MakeDataURL(std::string_view data, std::string_view mime_type);

// The data: URL of the default page, as loaded after creation, on CLEAR and on close-to-hide.
std::string DefaultPageURL();

// & < > " ' as entities, everything else byte for byte. Page texts carry URLs and engine
// messages that a hostile page controls, so they never go into the markup raw.
std::string EscapeHtml(std::string_view text);

// The page that replaces a navigation the allow-list refused.
std::string AccessDeniedPage(std::string_view refused_url);

// The page that replaces a failed load: URL, the engine's error text and its net code.
std::string LoadErrorPage(std::string_view failed_url, std::string_view error_text,
                          int32_t error_code);

}  // namespace trb
