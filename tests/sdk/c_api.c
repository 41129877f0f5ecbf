/* The C API as a C program uses it; the test program calls tessel_c_api_checks and reports what
 * failed. */
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "tessel/tessel.h"

struct outcome {
  pthread_mutex_t mutex;
  pthread_cond_t changed;
  int calls;
  tessel_error error;
  uint32_t width;
};

static void on_done(void* user, tessel_error error, tessel_image* image, const char* message) {
  struct outcome* outcome = (struct outcome*)user;
  (void)message;
  pthread_mutex_lock(&outcome->mutex);
  outcome->calls++;
  outcome->error = error;
  outcome->width = tessel_image_width(image);
  pthread_cond_broadcast(&outcome->changed);
  pthread_mutex_unlock(&outcome->mutex);
  tessel_image_destroy(image);
}

static void wait_for(struct outcome* outcome) {
  pthread_mutex_lock(&outcome->mutex);
  while (outcome->calls == 0) pthread_cond_wait(&outcome->changed, &outcome->mutex);
  pthread_mutex_unlock(&outcome->mutex);
}

#define CHECK(condition)                                                        \
  do {                                                                          \
    if (!(condition)) {                                                         \
      snprintf(failure, failure_size, "line %d: %s (%s)", __LINE__, #condition, \
               tessel_last_error_message());                                    \
      goto done;                                                                \
    }                                                                           \
  } while (0)

/* `png`: a 3 x 2 PNG image; `slow`: an SVG document that takes seconds to render. Returns 0 when
 * every check passed, else 1 with `failure` saying which did not. */
int tessel_c_api_checks(const void* png, size_t png_size, const char* slow, size_t slow_size,
                        char* failure, size_t failure_size) {
  int failed = 1;
  tessel_loader* loader = NULL;
  tessel_image* image = NULL;
  tessel_load* running = NULL;
  tessel_load* queued = NULL;
  struct outcome first = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, TESSEL_OK, 0};
  struct outcome second = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, TESSEL_OK, 0};
  tessel_loader_options options;
  tessel_load_options load;
  tessel_image_info info;

  tessel_loader_options_init(&options);
  options.workers = 1;
  CHECK(tessel_loader_create(&options, &loader) == TESSEL_OK);

  tessel_load_options_init(&load);
  load.alpha = TESSEL_ALPHA_STRAIGHT;
  CHECK(tessel_load_memory(loader, png, png_size, &load, &image) == TESSEL_OK);
  CHECK(tessel_image_width(image) == 3 && tessel_image_height(image) == 2);
  CHECK(tessel_image_stride(image) == 12 && tessel_image_pixels(image) != NULL);
  CHECK(tessel_image_alpha(image) == TESSEL_ALPHA_STRAIGHT);
  CHECK(tessel_image_get_info(image).format == TESSEL_FORMAT_PNG);
  tessel_image_destroy(image);
  image = NULL;

  CHECK(tessel_info_memory(loader, png, png_size, &info) == TESSEL_OK);
  CHECK(info.format == TESSEL_FORMAT_PNG && info.width == 3 && info.height == 2);

  CHECK(tessel_load_memory(loader, "plain text", 10, NULL, &image) ==
        TESSEL_ERROR_UNSUPPORTED_FORMAT);
  CHECK(image == NULL && strstr(tessel_last_error_message(), "neither a PNG nor an SVG") != NULL);
  CHECK(strcmp(tessel_error_name(TESSEL_ERROR_CORRUPT_DATA), "corrupt data") == 0);

  /* One worker: the second load waits behind the first, is cancelled there and never runs; the
   * first is cancelled while it renders. */
  CHECK(tessel_load_memory_async(loader, slow, slow_size, NULL, on_done, &first, &running) ==
        TESSEL_OK);
  CHECK(tessel_load_memory_async(loader, png, png_size, NULL, on_done, &second, &queued) ==
        TESSEL_OK);
  tessel_load_cancel(queued);
  CHECK(second.calls == 1 && second.error == TESSEL_ERROR_CANCELLED); /* called here, at once */
  tessel_load_cancel(running);
  wait_for(&first);
  CHECK(first.calls == 1 && first.error == TESSEL_ERROR_CANCELLED);

  CHECK(tessel_load_memory_async(loader, png, png_size, NULL, on_done, &second, NULL) == TESSEL_OK);
  pthread_mutex_lock(&second.mutex);
  while (second.calls < 2) pthread_cond_wait(&second.changed, &second.mutex);
  pthread_mutex_unlock(&second.mutex);
  CHECK(second.error == TESSEL_OK && second.width == 3);
  failed = 0;

done:
  tessel_image_destroy(image);
  tessel_load_release(running);
  tessel_load_release(queued);
  tessel_loader_destroy(loader);
  return failed;
}
