#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

// The worker finds the codec library next to itself and binds six names; nothing else of the
// library may leak into the processes that load it.
TEST(CodecExportsTest, LibraryExportsTheSixEntryPointsOnly) {
  const std::string path =
      std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/libTessel.so";
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name : {"TesselLoadPNG", "TesselInitSVG", "TesselLoadSVG", "TesselGetSGVBuffer",
                           "TesselFreeSVG", "TesselLoadSVGFromData"}) {
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  }
  // Internal functions stay hidden.
  EXPECT_EQ(dlsym(library, "_ZN6tessel5codec21PremultiplyRgbaToBgraEPhm"), nullptr);
  EXPECT_EQ(dlsym(library, "_ZN6tessel5codec9CSvgTable8InstanceEv"), nullptr);
  dlclose(library);
}

}  // namespace
