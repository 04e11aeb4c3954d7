// The generated pages and their data: URLs: a data: URL decodes back to its page byte for
// byte, and what a page quotes from its input is escaped (no raw markup character, every '&'
// an entity) and unescapes back to the input.
// Input: bytes 0-3 = the error code, then the URL, a zero byte, the error text.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "policy/pages.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "pages_fuzzer: %s\n", what), std::abort();
}

// Percent-decoding (upper-case hex), then base64 decoding, each strict.
std::string DecodePayload(std::string_view escaped) {
  static const auto kValue = [] {
    std::array<int, 256> v;
    v.fill(-1);
    for (int i = 0; i < 64; ++i)
      v["ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[i]] = i;
    return v;
  }();
  constexpr std::string_view kHex = "0123456789ABCDEF";
  std::string b64, out;
  for (size_t i = 0; i < escaped.size(); ++i) {
    Check(std::string_view("+/=").find(escaped[i]) == std::string_view::npos,
          "a base64 character left unescaped");
    if (escaped[i] != '%') {
      b64 += escaped[i];
      continue;
    }
    const size_t hi = i + 2 < escaped.size() ? kHex.find(escaped[i + 1]) : kHex.npos;
    const size_t lo = i + 2 < escaped.size() ? kHex.find(escaped[i + 2]) : kHex.npos;
    Check(hi != kHex.npos && lo != kHex.npos, "malformed percent escape");
    b64 += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  Check(b64.size() % 4 == 0, "base64 text of a length that is no multiple of 4");
  const size_t pad = b64.size() - std::min(b64.size(), b64.find_last_not_of('=') + 1);
  Check(pad <= 2 && b64.find('=') >= b64.size() - pad, "padding other than at the end");
  uint32_t v = 0;
  for (size_t i = 0; i < b64.size(); ++i) {
    const int x = b64[i] == '=' ? 0 : kValue[static_cast<unsigned char>(b64[i])];
    Check(x >= 0, "a character outside the base64 alphabet");
    v = v << 6 | static_cast<uint32_t>(x);
    if (i % 4 == 3)
      out += {static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
  }
  return out.substr(0, out.size() - pad);
}

void CheckDataURL(std::string_view page, std::string_view mime) {
  const std::string url = trb::MakeDataURL(page, mime);
  const std::string prefix = "data:" + std::string(mime) + ";base64,";
  Check(url.starts_with(prefix), "data: URL without its prefix");
  Check(DecodePayload(std::string_view(url).substr(prefix.size())) == page,
        "data: URL does not decode back to the page");
}

// Quoted input: no raw < > " ', each '&' starts one of the five entities, and undoing them
// gives back the input.
void CheckEscaped(std::string_view quoted, std::string_view input) {
  static constexpr std::string_view kEntities[][2] = {
      {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}};
  std::string back;
  for (size_t i = 0; i < quoted.size();) {
    Check(std::string_view("<>\"'").find(quoted[i]) == std::string_view::npos,
          "raw markup character from the input");
    if (quoted[i] != '&') {
      back += quoted[i++];
      continue;
    }
    const auto* e = std::find_if(std::begin(kEntities), std::end(kEntities),
                                 [&](const auto& e) { return quoted.substr(i).starts_with(e[0]); });
    Check(e != std::end(kEntities), "a bare '&' from the input");
    back += (*e)[1];
    i += (*e)[0].size();
  }
  Check(back == input, "escaped text does not unescape to the input");
}

// The middle of `page` between the head and tail of the page of empty inputs.
std::string_view Between(std::string_view page, std::string_view head, std::string_view tail) {
  Check(page.starts_with(head) && page.ends_with(tail) && page.size() >= head.size() + tail.size(),
        "page does not keep its fixed head and tail");
  return page.substr(head.size(), page.size() - head.size() - tail.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  int32_t code;
  std::memcpy(&code, data, sizeof code);
  const std::string_view rest(reinterpret_cast<const char*>(data) + 4, size - 4);
  const size_t zero = rest.find('\0');
  const std::string_view url = rest.substr(0, zero);
  const std::string_view text = zero == std::string_view::npos ? "" : rest.substr(zero + 1);
  CheckDataURL(rest, "text/html");
  CheckDataURL(url, "text/plain");
  CheckDataURL(trb::kDefaultPageHtml, trb::kHtmlMimeType);

  const std::string denied_empty = trb::AccessDeniedPage("");
  const size_t cut = denied_empty.find("<strong>") + 8;
  const std::string denied = trb::AccessDeniedPage(url);
  CheckEscaped(Between(denied, denied_empty.substr(0, cut), denied_empty.substr(cut)), url);
  CheckDataURL(denied, trb::kHtmlMimeType);

  const std::string error_empty = trb::LoadErrorPage("", "", code);
  const size_t head_end = error_empty.find("<strong>") + 8;
  const std::string_view middle = "</strong> could not be loaded.</p><p>Error: ";
  const std::string tail = " (" + std::to_string(code) + ").</p></body></html>";
  Check(error_empty == error_empty.substr(0, head_end) + std::string(middle) + tail,
        "load error page of empty inputs has an unexpected shape");
  const std::string error = trb::LoadErrorPage(url, text, code);
  const std::string_view inner = Between(error, error_empty.substr(0, head_end), tail);
  const size_t split = inner.find(middle);  // escaped text never holds "</strong>"
  Check(split != std::string_view::npos, "load error page lost its middle");
  CheckEscaped(inner.substr(0, split), url);
  CheckEscaped(inner.substr(split + middle.size()), text);
  CheckDataURL(error, trb::kHtmlMimeType);
  return 0;
}
