/* Loads each image named on the command line in a confined worker and prints its format, its
 * size and the BGRA value of its centre pixel, through the C API. */
#include <stdio.h>
#include <tessel/tessel.h>

int main(int argc, char** argv) {
  tessel_loader* loader = NULL;
  int status = 0;
  if (argc < 2) {
    fprintf(stderr, "usage: %s IMAGE...\n", argv[0]);
    return 2;
  }
  if (tessel_loader_create(NULL, &loader) != TESSEL_OK) {
    fprintf(stderr, "%s\n", tessel_last_error_message());
    return 1;
  }
  for (int i = 1; i < argc; ++i) {
    tessel_image* image = NULL;
    if (tessel_load_file(loader, argv[i], NULL, &image) != TESSEL_OK) {
      fprintf(stderr, "%s: %s\n", argv[i], tessel_last_error_message());
      status = 1;
      continue;
    }
    const uint32_t width = tessel_image_width(image);
    const uint32_t height = tessel_image_height(image);
    const uint8_t* pixel =
        tessel_image_pixels(image) + (height / 2) * tessel_image_stride(image) + (width / 2) * 4;
    printf("%s: %s, %u x %u; centre BGRA %u %u %u %u\n", argv[i],
           tessel_image_get_info(image).format == TESSEL_FORMAT_SVG ? "SVG" : "PNG",
           (unsigned)width, (unsigned)height, pixel[0], pixel[1], pixel[2], pixel[3]);
    tessel_image_destroy(image);
  }
  tessel_loader_destroy(loader);
  return status;
}
