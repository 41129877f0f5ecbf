#include <new>
#include <string>

#include "sdk/internal.h"
#include "tessel/tessel.h"

// The C API is the C++ one behind opaque handles; every exception stops here.
struct tessel_loader {
  tessel::Loader loader;
  explicit tessel_loader(tessel::LoaderOptions options) : loader(std::move(options)) {}
};

struct tessel_image {
  tessel::Image image;
};

struct tessel_load {
  tessel::PendingLoad pending;
};

namespace {

thread_local std::string t_message;

tessel_error Told(const tessel::LoadError& error) {
  t_message = error.Message();
  return static_cast<tessel_error>(error.Code());
}

tessel_error Invalid(const char* what) {
  t_message = what;
  return TESSEL_ERROR_INVALID_ARGUMENT;
}

tessel_error OutOfMemory() {
  t_message = "out of memory";
  return TESSEL_ERROR_SYSTEM;
}

tessel::LoadOptions ToLoadOptions(const tessel_load_options* options) {
  tessel::LoadOptions load;
  if (options != nullptr) {
    load.width = options->width;
    load.height = options->height;
    load.alpha = options->alpha == TESSEL_ALPHA_STRAIGHT ? tessel::AlphaMode::kStraight
                                                         : tessel::AlphaMode::kPremultiplied;
  }
  return load;
}

tessel::Source WithFormat(tessel::Source source, const tessel_load_options* options) {
  if (options != nullptr &&
      (options->format == TESSEL_FORMAT_PNG || options->format == TESSEL_FORMAT_SVG))
    source.Format(static_cast<tessel::ImageFormat>(options->format));
  return source;
}

tessel_error LoadSync(tessel_loader* loader, const tessel::Source& source,
                      const tessel_load_options* options, tessel_image** image) {
  if (image == nullptr) return Invalid("image is NULL");
  *image = nullptr;
  if (loader == nullptr) return Invalid("loader is NULL");
  try {
    auto made = std::make_unique<tessel_image>();
    const tessel::LoadError error =
        loader->loader.Load(source, made->image, ToLoadOptions(options));
    if (!error) return Told(error);
    *image = made.release();
    return Told(error);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

tessel_error LoadAsync(tessel_loader* loader, const tessel::Source& source,
                       const tessel_load_options* options, tessel_callback done, void* user,
                       tessel_load** load) {
  if (load != nullptr) *load = nullptr;
  if (loader == nullptr || done == nullptr) return Invalid("loader or callback is NULL");
  try {
    auto handle = load != nullptr ? std::make_unique<tessel_load>() : nullptr;
    tessel::PendingLoad pending = loader->loader.LoadAsync(
        source, ToLoadOptions(options), [done, user](tessel::LoadError error, tessel::Image image) {
          tessel_image* given = nullptr;
          if (error) given = new (std::nothrow) tessel_image{std::move(image)};
          if (error && given == nullptr)
            error = tessel::LoadError(tessel::ErrorCode::kSystem, "out of memory");
          done(user, static_cast<tessel_error>(error.Code()), given, error.Message().c_str());
        });
    if (handle) {
      handle->pending = std::move(pending);
      *load = handle.release();
    }
    t_message.clear();
    return TESSEL_OK;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

tessel_error Info(tessel_loader* loader, const tessel::Source& source, tessel_image_info* info) {
  if (loader == nullptr || info == nullptr) return Invalid("loader or info is NULL");
  try {
    tessel::ImageInfo found;
    const tessel::LoadError error = loader->loader.Info(source, found);
    *info = {static_cast<tessel_format>(found.format), found.width, found.height};
    return Told(error);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

tessel::Source Bytes(const void* data, size_t size) {
  return tessel::Source::FromBytes(std::span(static_cast<const std::byte*>(data), size));
}

}  // namespace

extern "C" {

void tessel_loader_options_init(tessel_loader_options* options) {
  if (options != nullptr) *options = tessel_loader_options{};
}

void tessel_load_options_init(tessel_load_options* options) {
  if (options != nullptr) *options = tessel_load_options{};
}

tessel_error tessel_loader_create(const tessel_loader_options* options, tessel_loader** loader) {
  if (loader == nullptr) return Invalid("loader is NULL");
  *loader = nullptr;
  tessel::LoaderOptions made;
  if (options != nullptr) {
    made.workers = options->workers;
    if (options->worker_path != nullptr) made.workerPath = options->worker_path;
    if (options->confinement < TESSEL_CONFINEMENT_REQUIRE ||
        options->confinement > TESSEL_CONFINEMENT_OFF)
      return Invalid("confinement is not one of tessel_confinement");
    made.confinement = static_cast<tessel::Confinement>(options->confinement);
    if (options->max_pixel_bytes != 0) made.maxPixelBytes = options->max_pixel_bytes;
    if (options->timeout_ms != 0) made.timeout = std::chrono::milliseconds(options->timeout_ms);
    if (options->log_folder != nullptr) made.logFolder = options->log_folder;
  }
  if (made.maxPixelBytes > (uint64_t{4095} << 20))
    return Invalid("max_pixel_bytes is over 4095 MiB");
  try {
    *loader = new tessel_loader(std::move(made));
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
  t_message.clear();
  return TESSEL_OK;
}

void tessel_loader_destroy(tessel_loader* loader) {
  delete loader;
}

tessel_error tessel_load_file(tessel_loader* loader, const char* path,
                              const tessel_load_options* options, tessel_image** image) {
  if (path == nullptr) return Invalid("path is NULL");
  return LoadSync(loader, WithFormat(tessel::Source::FromPath(path), options), options, image);
}

tessel_error tessel_load_memory(tessel_loader* loader, const void* data, size_t size,
                                const tessel_load_options* options, tessel_image** image) {
  if (data == nullptr && size != 0) return Invalid("data is NULL");
  return LoadSync(loader, WithFormat(Bytes(data, size), options), options, image);
}

tessel_error tessel_load_fd(tessel_loader* loader, int fd, const tessel_load_options* options,
                            tessel_image** image) {
  return LoadSync(loader, WithFormat(tessel::Source::FromFd(fd), options), options, image);
}

tessel_error tessel_load_file_async(tessel_loader* loader, const char* path,
                                    const tessel_load_options* options, tessel_callback done,
                                    void* user, tessel_load** load) {
  if (path == nullptr) return Invalid("path is NULL");
  return LoadAsync(loader, WithFormat(tessel::Source::FromPath(path), options), options, done, user,
                   load);
}

tessel_error tessel_load_memory_async(tessel_loader* loader, const void* data, size_t size,
                                      const tessel_load_options* options, tessel_callback done,
                                      void* user, tessel_load** load) {
  if (data == nullptr && size != 0) return Invalid("data is NULL");
  return LoadAsync(loader, WithFormat(Bytes(data, size), options), options, done, user, load);
}

void tessel_load_cancel(tessel_load* load) {
  if (load != nullptr) load->pending.Cancel();
}

void tessel_load_release(tessel_load* load) {
  delete load;
}

tessel_error tessel_info_file(tessel_loader* loader, const char* path, tessel_image_info* info) {
  if (path == nullptr) return Invalid("path is NULL");
  return Info(loader, tessel::Source::FromPath(path), info);
}

tessel_error tessel_info_memory(tessel_loader* loader, const void* data, size_t size,
                                tessel_image_info* info) {
  if (data == nullptr && size != 0) return Invalid("data is NULL");
  return Info(loader, Bytes(data, size), info);
}

uint32_t tessel_image_width(const tessel_image* image) {
  return image != nullptr ? image->image.Width() : 0;
}

uint32_t tessel_image_height(const tessel_image* image) {
  return image != nullptr ? image->image.Height() : 0;
}

size_t tessel_image_stride(const tessel_image* image) {
  return image != nullptr ? image->image.Stride() : 0;
}

tessel_alpha tessel_image_alpha(const tessel_image* image) {
  return image != nullptr && image->image.Alpha() == tessel::AlphaMode::kStraight
             ? TESSEL_ALPHA_STRAIGHT
             : TESSEL_ALPHA_PREMULTIPLIED;
}

tessel_image_info tessel_image_get_info(const tessel_image* image) {
  const tessel::ImageInfo info = image != nullptr ? image->image.Info() : tessel::ImageInfo{};
  return {static_cast<tessel_format>(info.format), info.width, info.height};
}

const uint8_t* tessel_image_pixels(const tessel_image* image) {
  return image != nullptr ? reinterpret_cast<const uint8_t*>(image->image.Pixels().data())
                          : nullptr;
}

void tessel_image_destroy(tessel_image* image) {
  delete image;
}

const char* tessel_last_error_message(void) {
  return t_message.c_str();
}

const char* tessel_error_name(tessel_error error) {
  return tessel::ErrorCodeName(static_cast<tessel::ErrorCode>(error));
}

}  // extern "C"
