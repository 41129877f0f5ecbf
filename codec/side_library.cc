#include "codec/side_library.h"

#include <dlfcn.h>

namespace tessel::codec {

std::string CodecFolder() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(&CodecFolder), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  const std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace tessel::codec
