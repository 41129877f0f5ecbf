#pragma once

#include <string>

#include "platform/dynamic_library.h"

namespace tessel::codec {

// The folder this library was loaded from, with a trailing '/'; empty when the loader cannot
// tell, and side libraries are then searched for as dlopen() searches.
std::string CodecFolder();

// A side library of the codec: a library beside it that holds what only some images need, loaded
// from the codec's folder when it is first needed and never unloaded. It hands over a table of
// entry points (`Table`) whose first field is the size the table was built with.
template <typename Table>
class CSideLibrary {
 public:
  // `what` names the side in failures ("the SVG side").
  CSideLibrary(const char* name, const char* symbol, const char* what) {
    const std::string path = CodecFolder() + name;
    // A side's libraries may register themselves process-wide and refuse a second load.
    if (!library_.Load(path, /*keepMapped=*/true)) {
      failure_ = "cannot load " + path + ": " + library_.LastError();
      return;
    }
    using Getter = const Table* (*)();
    const auto get = library_.FunctionSymbol<Getter>(symbol);
    const Table* table = get != nullptr ? get() : nullptr;
    if (table == nullptr || table->size != sizeof(Table)) {
      failure_ = path + " is not " + what + " of this libTessel.so";
      return;
    }
    table_ = table;
  }

  // Null when the side could not be had; Failure() says why.
  const Table* Get() const { return table_; }
  const std::string& Failure() const { return failure_; }

 private:
  CDynamicLibraryHandle library_;
  const Table* table_ = nullptr;
  std::string failure_;
};

}  // namespace tessel::codec
