#pragma once

#include <string>

namespace tessel {

// Owns one library loaded at run time (dlopen) and unloads it exactly once.
//
// The library is loaded with RTLD_NOW, so a library with unresolved symbols fails here rather
// than at its first call, and RTLD_LOCAL, so its symbols never satisfy lookups of libraries
// loaded later. Failures keep the loader's own text (dlerror) in LastError().
class CDynamicLibraryHandle {
 public:
  CDynamicLibraryHandle() = default;
  CDynamicLibraryHandle(const CDynamicLibraryHandle&) = delete;
  CDynamicLibraryHandle& operator=(const CDynamicLibraryHandle&) = delete;
  CDynamicLibraryHandle(CDynamicLibraryHandle&& other) noexcept;
  CDynamicLibraryHandle& operator=(CDynamicLibraryHandle&& other) noexcept;
  ~CDynamicLibraryHandle() { Close(); }

  // Unloads any library held, then loads `path`. A path without '/' is searched for the way
  // dlopen() searches; pass a full path to load one particular file.
  // With `keepMapped`, the library stays in the process after Close: for libraries that
  // register themselves process-wide and cannot be loaded a second time.
  bool Load(const std::string& path, bool keepMapped = false);

  // The address of an exported symbol; null when it is missing (LastError() says why) or when
  // nothing is loaded.
  void* Symbol(const char* name);

  template <typename Function>
  Function FunctionSymbol(const char* name) {
    return reinterpret_cast<Function>(Symbol(name));
  }

  // Unloads the library, when one is loaded, and forgets its path.
  void Close();

  bool IsLoaded() const { return handle_ != nullptr; }
  const std::string& Path() const { return path_; }
  // The loader's text for the last failure of Load or Symbol; empty after a success.
  const std::string& LastError() const { return last_error_; }

 private:
  void* handle_ = nullptr;
  std::string path_;
  std::string last_error_;
};

}  // namespace tessel
