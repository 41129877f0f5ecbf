// Loads each image named on the command line in a confined worker and prints its format, its size
// and the BGRA value of its centre pixel.
#include <cstdio>
#include <tessel/tessel.hpp>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s IMAGE...\n", argv[0]);
    return 2;
  }
  tessel::Loader loader;
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    tessel::Image image;
    const tessel::LoadError error = loader.Load(tessel::Source::FromPath(argv[i]), image);
    if (!error) {
      std::fprintf(stderr, "%s: %s\n", argv[i], error.Message().c_str());
      status = 1;
      continue;
    }
    const auto pixel =
        image.Pixels().subspan((image.Height() / 2) * image.Stride() + (image.Width() / 2) * 4, 4);
    std::printf("%s: %s, %u x %u; centre BGRA %u %u %u %u\n", argv[i],
                image.Info().format == tessel::ImageFormat::kSvg ? "SVG" : "PNG", image.Width(),
                image.Height(), static_cast<unsigned>(pixel[0]), static_cast<unsigned>(pixel[1]),
                static_cast<unsigned>(pixel[2]), static_cast<unsigned>(pixel[3]));
  }
  return status;
}
