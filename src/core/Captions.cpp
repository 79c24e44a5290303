#include "core/Captions.h"

#include <stdexcept>
#include <string>

namespace Pondar::Core {

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
        out += *text;
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
