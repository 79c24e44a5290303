#include "core/Captions.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace Pondar::Core {

namespace {

// The length of the valid UTF-8 sequence that AText starts with, and its code point in ACode;
// 0 when it starts with none (a stray or missing continuation byte, an overlong form, a
// surrogate, a code point beyond U+10FFFF).
size_t DecodeUtf8(std::string_view AText, char32_t& ACode) {
  const auto byte = [&](size_t AIndex) { return static_cast<uint8_t>(AText[AIndex]); };
  const uint8_t lead = byte(0);
  size_t length = 1;
  char32_t code = lead;
  char32_t least = 0;
  if (lead >= 0xF0 && lead < 0xF8) {
    length = 4, code = lead & 0x07u, least = 0x10000;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    length = 3, code = lead & 0x0Fu, least = 0x800;
  } else if (lead >= 0xC0 && lead < 0xE0) {
    length = 2, code = lead & 0x1Fu, least = 0x80;
  } else if (lead >= 0x80) {
    return 0;
  }
  if (AText.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (byte(i) & 0x3Fu);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  ACode = code;
  return length;
}

// Characters that end a line, or make the rest of it read in another order than it is written.
bool BreaksALine(char32_t ACode) {
  return ACode < 0x20 || (ACode >= 0x7F && ACode <= 0x9F) || ACode == 0x061C || ACode == 0x200E ||
         ACode == 0x200F || ACode == 0x2028 || ACode == 0x2029 ||
         (ACode >= 0x202A && ACode <= 0x202E) || (ACode >= 0x2066 && ACode <= 0x2069);
}

// A backslash, AKind and the last ADigits hexadecimal digits of ACode, in lower case.
void AppendHex(RawUtf8& AOut, char AKind, char32_t ACode, int ADigits) {
  static constexpr char Hex[] = "0123456789abcdef";
  AOut += '\\';
  AOut += AKind;
  for (int shift = (ADigits - 1) * 4; shift >= 0; shift -= 4) AOut += Hex[(ACode >> shift) & 0xFu];
}

void AppendEscaped(RawUtf8& AOut, std::string_view AText) {
  while (!AText.empty()) {
    char32_t code = 0;
    const size_t length = DecodeUtf8(AText, code);
    if (length == 0) {
      AppendHex(AOut, 'x', static_cast<uint8_t>(AText[0]), 2);
      AText.remove_prefix(1);
      continue;
    }
    if (!BreaksALine(code)) {
      AOut.append(AText.substr(0, length));
    } else if (code < 0x80) {
      AppendHex(AOut, 'x', code, 2);
    } else {
      AppendHex(AOut, 'u', code, 4);  // every one of them is below U+10000
    }
    AText.remove_prefix(length);
  }
}

}  // namespace

RawUtf8 EscapeForLog(std::string_view AText) {
  RawUtf8 out;
  out.reserve(AText.size());
  AppendEscaped(out, AText);
  return out;
}

RawUtf8 FormatCaption(std::string_view ACaption, std::initializer_list<TCaptionArg> AArgs) {
  if (AArgs.size() > MaxCaptionArgs) {
    throw std::invalid_argument("FormatCaption: " + std::to_string(AArgs.size()) +
                                " arguments given, at most 31 are accepted");
  }
  if (AArgs.size() == 0) return RawUtf8(ACaption);

  RawUtf8 out;
  out.reserve(ACaption.size() + 32);
  auto next = AArgs.begin();
  for (char c : ACaption) {
    if (c != '%') {
      out += c;
    } else if (next != AArgs.end()) {
      if (const auto* text = std::get_if<std::string_view>(&*next)) {
        AppendEscaped(out, *text);
      } else {
        out += std::to_string(std::get<int64_t>(*next));
      }
      ++next;
    }
    // a "%" beyond the last argument is dropped
  }
  return out;
}

}  // namespace Pondar::Core
