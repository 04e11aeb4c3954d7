// The generated pages and their data: URLs: the data: URL decodes back to the page byte for
// byte, and what a page quotes from its input is escaped (no raw markup characters, every
// '&' an entity) and unescapes back to the input.
//
// Input: bytes 0-3 = the error code, then the URL, a zero byte, the error text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "policy/pages.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "pages_fuzzer: %s\n", what);
    std::abort();
  }
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding, then base64 decoding, each strict: anything malformed aborts.
std::string DecodeDataPayload(std::string_view escaped) {
  std::string b64;
  for (size_t i = 0; i < escaped.size(); ++i) {
    const char c = escaped[i];
    if (c == '%') {
      Check(
          i + 2 < escaped.size() && HexValue(escaped[i + 1]) >= 0 && HexValue(escaped[i + 2]) >= 0,
          "malformed percent escape");
      b64 += static_cast<char>(HexValue(escaped[i + 1]) * 16 + HexValue(escaped[i + 2]));
      i += 2;
    } else {
      Check(c != '+' && c != '/' && c != '=', "a base64 character left unescaped");
      b64 += c;
    }
  }
  Check(b64.size() % 4 == 0, "base64 text of a length that is no multiple of 4");
  std::string out;
  for (size_t i = 0; i < b64.size(); i += 4) {
    const bool last = i + 4 == b64.size();
    int pad = 0;
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = b64[i + k];
      int x = 0;
      if (c == '=') {
        Check(last && k >= 2, "padding in the middle");
        ++pad;
      } else {
        Check(pad == 0, "data after padding");
        x = Base64Value(c);
        Check(x >= 0, "a character outside the base64 alphabet");
      }
      v = (v << 6) | static_cast<uint32_t>(x);
    }
    out += static_cast<char>(v >> 16);
    if (pad < 2) out += static_cast<char>((v >> 8) & 0xff);
    if (pad < 1) out += static_cast<char>(v & 0xff);
  }
  return out;
}

void CheckDataURL(std::string_view page, std::string_view mime) {
  const std::string url = trb::MakeDataURL(page, mime);
  const std::string prefix = "data:" + std::string(mime) + ";base64,";
  Check(url.starts_with(prefix), "data: URL without its prefix");
  Check(DecodeDataPayload(std::string_view(url).substr(prefix.size())) == page,
        "data: URL does not decode back to the page");
}

// Quoted input: no raw < > " ', each '&' starts one of the five entities, and undoing them
// gives back the input.
void CheckEscaped(std::string_view quoted, std::string_view input) {
  static constexpr std::string_view kEntities[][2] = {
      {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}};
  std::string back;
  for (size_t i = 0; i < quoted.size();) {
    const char c = quoted[i];
    Check(c != '<' && c != '>' && c != '"' && c != '\'', "raw markup character from the input");
    if (c != '&') {
      back += c;
      ++i;
      continue;
    }
    bool known = false;
    for (const auto& [entity, text] : kEntities) {
      if (quoted.substr(i).starts_with(entity)) {
        back += text;
        i += entity.size();
        known = true;
        break;
      }
    }
    Check(known, "a bare '&' from the input");
  }
  Check(back == input, "escaped text does not unescape to the input");
}

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

  // The fixed parts come from the page of an empty input; the input sits between them.
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
