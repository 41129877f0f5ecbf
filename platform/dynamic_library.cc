#include "platform/dynamic_library.h"

#include <dlfcn.h>

#include <utility>

namespace tessel {

namespace {

std::string TakeLoaderError(const char* fallback) {
  const char* text = ::dlerror();
  return text != nullptr ? std::string(text) : std::string(fallback);
}

}  // namespace

CDynamicLibraryHandle::CDynamicLibraryHandle(CDynamicLibraryHandle&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      path_(std::move(other.path_)),
      last_error_(std::move(other.last_error_)) {
  other.path_.clear();
}

CDynamicLibraryHandle& CDynamicLibraryHandle::operator=(CDynamicLibraryHandle&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, nullptr);
    path_ = std::move(other.path_);
    last_error_ = std::move(other.last_error_);
    other.path_.clear();
  }
  return *this;
}

bool CDynamicLibraryHandle::Load(const std::string& path, bool keepMapped) {
  Close();
  ::dlerror();
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | (keepMapped ? RTLD_NODELETE : 0));
  if (handle_ == nullptr) {
    last_error_ = TakeLoaderError("cannot load library");
    return false;
  }
  path_ = path;
  last_error_.clear();
  return true;
}

void* CDynamicLibraryHandle::Symbol(const char* name) {
  if (handle_ == nullptr) {
    last_error_ = "no library loaded";
    return nullptr;
  }
  // A symbol may legitimately be null; only dlerror() tells a failed lookup apart.
  ::dlerror();
  void* address = ::dlsym(handle_, name);
  const char* error = ::dlerror();
  if (error != nullptr) {
    last_error_ = error;
    return nullptr;
  }
  last_error_.clear();
  return address;
}

void CDynamicLibraryHandle::Close() {
  if (handle_ != nullptr) ::dlclose(std::exchange(handle_, nullptr));
  path_.clear();
}

}  // namespace tessel
