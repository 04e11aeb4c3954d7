#include "policy/pages.h"

#include <array>

namespace trb {
namespace {

constexpr std::string_view kAccessDeniedHead =
    "<html><head><title>Tavrin Browser - URL Not Allowed</title><style>body { color: white; "
    "background-color: #404040; font-family: Arial, sans-serif; text-align: center; padding: "
    "50px; }h1 { font-size: 2em; margin-bottom: 20px; }p { font-size: 1.2em; }</style></head>"
    "<body><h1>Access Denied</h1><p>The URL <strong>";
constexpr std::string_view kAccessDeniedTail =
    "</strong> is not whitelisted and cannot be accessed.</p></body></html>";
constexpr std::string_view kLoadErrorHead =
    "<html><head><title>Tavrin Browser - Load Error</title><style>body { color: white; "
    "background-color: #404040; font-family: Arial, sans-serif; text-align: center; padding: "
    "50px; }h1 { font-size: 2em; margin-bottom: 20px; }p { font-size: 1.2em; }</style></head>"
    "<body><h1>Failed to Load URL</h1><p>The URL <strong>";
constexpr std::string_view kLoadErrorMiddle = "</strong> could not be loaded.</p><p>Error: ";
constexpr std::string_view kLoadErrorCodeOpener = " (";
constexpr std::string_view kLoadErrorTail = ").</p></body></html>";

static_assert(kDefaultPageHtml.size() == 89);
static_assert(kAccessDeniedHead.size() == 310 && kAccessDeniedTail.size() == 70);
static_assert(kLoadErrorHead.size() == 310 && kLoadErrorMiddle.size() == 44);
static_assert(kLoadErrorCodeOpener.size() == 2 && kLoadErrorTail.size() == 20);

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Appends one base64 character in its URL-escaped form.
void AppendEscaped(std::string& out, char c) {
  switch (c) {
    case '+':
      out += "%2B";
      break;
    case '/':
      out += "%2F";
      break;
    case '=':
      out += "%3D";
      break;
    default:
      out += c;
  }
}

}  // namespace

std::string MakeDataURL(std::string_view data, std::string_view mime_type) {
  static constexpr std::string_view kSeparator = ";base64,";
  std::string out;
  // Worst case every base64 character is escaped to three bytes.
  out.reserve(5 + mime_type.size() + kSeparator.size() + (data.size() + 2) / 3 * 4 * 3);
  out += "data:";
  out += mime_type;
  out += kSeparator;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6)
      AppendEscaped(out, kBase64Alphabet[(v >> shift) & 63]);
  }
  const size_t rest = data.size() - i;
  if (rest > 0) {
    uint32_t v = uint32_t{bytes[i]} << 16;
    if (rest == 2) v |= uint32_t{bytes[i + 1]} << 8;
    AppendEscaped(out, kBase64Alphabet[(v >> 18) & 63]);
    AppendEscaped(out, kBase64Alphabet[(v >> 12) & 63]);
    AppendEscaped(out, rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : '=');
    AppendEscaped(out, '=');
  }
  return out;
}

std::string DefaultPageURL() { return MakeDataURL(kDefaultPageHtml, kHtmlMimeType); }

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string AccessDeniedPage(std::string_view refused_url) {
  std::string page;
  page.reserve(kAccessDeniedHead.size() + refused_url.size() + kAccessDeniedTail.size());
  page += kAccessDeniedHead;
  page += EscapeHtml(refused_url);
  page += kAccessDeniedTail;
  return page;
}

std::string LoadErrorPage(std::string_view failed_url, std::string_view error_text,
                          int32_t error_code) {
  std::string page;
  page += kLoadErrorHead;
  page += EscapeHtml(failed_url);
  page += kLoadErrorMiddle;
  page += EscapeHtml(error_text);
  page += kLoadErrorCodeOpener;
  page += std::to_string(error_code);
  page += kLoadErrorTail;
  return page;
}

}  // namespace trb
