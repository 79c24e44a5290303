#include "core/RelPath.h"

namespace Pondar::Core {

bool NormalizeRelPath(std::string_view APath, RawUtf8& AOut) {
  if (APath.empty() || APath.find("..") != std::string_view::npos) return false;
  RawUtf8 path(APath);
  size_t componentStart = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size()) {
      if (path[i] == '\0') return false;
      if (path[i] == '\\') path[i] = '/';
      if (path[i] != '/') continue;
    }
    // An empty component is a leading, doubled or trailing separator; ".." was refused above.
    const std::string_view component(path.data() + componentStart, i - componentStart);
    if (component.empty() || component == ".") return false;
    componentStart = i + 1;
  }
  AOut = std::move(path);
  return true;
}

}  // namespace Pondar::Core
