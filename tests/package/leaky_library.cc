// A library that exports an internal class of namespace tessel beside the public C entry point:
// the export check must refuse it, so that a change that leaks the internals cannot pass.
namespace tessel {

class __attribute__((visibility("default"))) Session {
 public:
  int Start();
};

int Session::Start() { return 1; }

}  // namespace tessel

extern "C" __attribute__((visibility("default"))) const char* tessel_version(void) {
  return "0.0.0";
}
