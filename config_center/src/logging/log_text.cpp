#include "logging/log_text.hpp"

namespace config_center {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// The length (2 to 4) of the well-formed UTF-8 sequence that `text` starts with, its code
// point in `code`; 0 when it starts with none (a stray continuation byte, an overlong form,
// a surrogate, a code point above U+10FFFF, a sequence cut short).
size_t Utf8Sequence(std::string_view text, char32_t* code) {
  const auto lead = static_cast<unsigned char>(text[0]);
  size_t length = 0;
  char32_t value = 0;
  // The range of the second byte; the later ones are always 0x80 to 0xBF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // below: overlong
    if (lead == 0xED) high = 0x9F;  // above: surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // below: overlong
    if (lead == 0xF4) high = 0x8F;  // above: beyond U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) return 0;
    value = (value << 6) | (byte & 0x3F);
  }
  *code = value;
  return length;
}

// Characters that are valid text but control how it is shown: C1 controls, the line and
// paragraph separators, the bidirectional overrides and isolates.
bool ShownEscaped(char32_t code) {
  return (code >= 0x80 && code <= 0x9F) || code == 0x2028 || code == 0x2029 ||
         (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

void AppendByte(std::string& out, unsigned char byte) {
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

void AppendCodePoint(std::string& out, char32_t code) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0x0F];
}

}  // namespace

void AppendLogText(std::string& out, std::string_view text, size_t bound) {
  size_t at = 0;
  while (at < text.size()) {
    const auto byte = static_cast<unsigned char>(text[at]);
    char32_t code = byte;
    // A byte that starts no valid sequence stands for itself, escaped.
    const size_t length = byte < 0x80 ? 1 : Utf8Sequence(text.substr(at), &code);
    const size_t taken = length == 0 ? 1 : length;
    if (at + taken > bound) break;
    if (length == 0) {
      AppendByte(out, byte);
    } else if (byte < 0x80) {
      switch (byte) {
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\\':
          out += "\\\\";
          break;
        default:
          if (byte < 0x20 || byte == 0x7F) {
            AppendByte(out, byte);
          } else {
            out += static_cast<char>(byte);
          }
      }
    } else if (ShownEscaped(code)) {
      AppendCodePoint(out, code);
    } else {
      out.append(text.substr(at, length));
    }
    at += taken;
  }
  if (at < text.size()) {
    out += "... [";
    out += std::to_string(text.size());
    out += " bytes in all]";
  }
}

bool IsPlainLogText(std::string_view text, size_t bound) {
  if (text.size() > bound) return false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F || byte == '\\') return false;
  }
  return true;
}

std::string LogText(std::string_view text, size_t bound) {
  std::string out;
  out.reserve(text.size() < bound ? text.size() : bound);
  AppendLogText(out, text, bound);
  return out;
}

}  // namespace config_center
