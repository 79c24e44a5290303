// The one rule for relative paths that come from peers, applied alike to a file list, a file
// request and a delete notice, so that the path a peer names is the file that gets touched.
#pragma once

#include <string_view>

#include "core/Types.h"

namespace Pondar::Core {

// Checks a relative path a peer sent and gives it in our form, with "/" between components
// ("\" separates components too: Windows peers may send either). Refused, with false and AOut
// untouched: the empty path; a NUL byte (it would cut the name short at the system call); a
// leading separator (an absolute path); an empty, "." or ".." component (each would let two
// spellings name one file, or climb out of the shared folder); and ".." anywhere, also inside a
// name such as "a..b", which every peer refuses, so such a name could never be shared anyway.
bool NormalizeRelPath(std::string_view APath, RawUtf8& AOut);

}  // namespace Pondar::Core
