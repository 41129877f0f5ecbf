#include "platform/dynamic_library.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <utility>

namespace tessel {
namespace {

using AddFunction = int (*)(int, int);
using CountFunction = int (*)();

// The sample plugin is built next to the test programs.
std::string PluginPath() {
  char buffer[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length <= 0 || length == static_cast<ssize_t>(sizeof buffer)) return {};
  std::string path(buffer, static_cast<size_t>(length));
  return path.substr(0, path.rfind('/') + 1) + "libsample_plugin.so";
}

TEST(DynamicLibraryTest, LoadsAndCallsAnExportedFunction) {
  CDynamicLibraryHandle library;
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_EQ(library.Symbol("tessel_sample_add"), nullptr);

  const std::string path = PluginPath();
  ASSERT_TRUE(library.Load(path)) << library.LastError();
  EXPECT_TRUE(library.IsLoaded());
  EXPECT_EQ(library.Path(), path);
  EXPECT_TRUE(library.LastError().empty());

  auto add = library.FunctionSymbol<AddFunction>("tessel_sample_add");
  ASSERT_NE(add, nullptr) << library.LastError();
  EXPECT_EQ(add(40, 2), 42);

  EXPECT_EQ(library.Symbol("tessel_sample_missing"), nullptr);
  EXPECT_NE(library.LastError().find("tessel_sample_missing"), std::string::npos)
      << library.LastError();
  EXPECT_NE(library.Symbol("tessel_sample_calls"), nullptr);  // data symbols resolve too
  EXPECT_TRUE(library.LastError().empty());

  library.Close();
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_TRUE(library.Path().empty());
}

TEST(DynamicLibraryTest, MovedHandleKeepsTheLibraryLoaded) {
  CDynamicLibraryHandle first;
  ASSERT_TRUE(first.Load(PluginPath())) << first.LastError();
  auto* count = first.FunctionSymbol<CountFunction>("tessel_sample_count");
  ASSERT_NE(count, nullptr);
  const int before = count();

  CDynamicLibraryHandle second(std::move(first));
  EXPECT_FALSE(first.IsLoaded());
  first.Close();  // must not unload what `second` now owns
  ASSERT_TRUE(second.IsLoaded());
  EXPECT_EQ(count(), before + 1);  // the same copy, still mapped

  CDynamicLibraryHandle third;
  third = std::move(second);
  EXPECT_EQ(third.FunctionSymbol<CountFunction>("tessel_sample_count"), count);
  EXPECT_EQ(count(), before + 2);
}

TEST(DynamicLibraryTest, MissingFileFailsWithTheLoaderText) {
  CDynamicLibraryHandle library;
  const std::string path = PluginPath() + ".missing";
  EXPECT_FALSE(library.Load(path));
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_TRUE(library.Path().empty());
  EXPECT_NE(library.LastError().find(path), std::string::npos) << library.LastError();

  // A file that exists but is no library fails the same way.
  EXPECT_FALSE(library.Load("/proc/self/status"));
  EXPECT_FALSE(library.LastError().empty());
}

}  // namespace
}  // namespace tessel
