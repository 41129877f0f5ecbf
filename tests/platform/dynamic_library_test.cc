#include "platform/dynamic_library.h"

#include <gtest/gtest.h>

#include "platform/process.h"

namespace tessel {

TEST(DynamicLibraryTest, LoadsResolvesReportsWhatIsMissingAndSurvivesAMove) {
  const std::string plugin = ExecutableFolder() + "libsample_plugin.so";  // built beside the tests
  CDynamicLibraryHandle library;
  for (const std::string& bad : {plugin + ".missing", std::string("/proc/self/status")}) {
    EXPECT_FALSE(library.Load(bad));
    EXPECT_FALSE(library.IsLoaded());
    EXPECT_NE(library.LastError().find(bad), std::string::npos) << library.LastError();
  }
  ASSERT_TRUE(library.Load(plugin)) << library.LastError();
  EXPECT_EQ(library.Path(), plugin);
  auto add = library.FunctionSymbol<int (*)(int, int)>("tessel_sample_add");
  ASSERT_NE(add, nullptr) << library.LastError();
  EXPECT_EQ(add(40, 2), 42);
  EXPECT_EQ(library.Symbol("tessel_sample_missing"), nullptr);
  EXPECT_NE(library.LastError().find("tessel_sample_missing"), std::string::npos);
  EXPECT_NE(library.Symbol("tessel_sample_calls"), nullptr);  // data symbols resolve too
  EXPECT_TRUE(library.LastError().empty());

  CDynamicLibraryHandle moved(std::move(library));
  library.Close();  // must not unload what `moved` now owns
  EXPECT_EQ(add(2, 3), 5);
}

}  // namespace tessel
