/* A codec library for the image tests: forwards the entry points to libTessel.so in the same
 * folder and counts the calls. Built a second time without TesselLoadSVGFromData, as a codec
 * library that lacks one export. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "codec/tessel_codec.h"

enum { kLoadPng, kInitSvg, kLoadSvg, kGetSvgBuffer, kFreeSvg, kLoadSvgFromData, kEntryCount };
static const char* const kNames[kEntryCount] = {"TesselLoadPNG", "TesselInitSVG",
                                                "TesselLoadSVG", "TesselGetSGVBuffer",
                                                "TesselFreeSVG", "TesselLoadSVGFromData"};
static int g_calls[kEntryCount];
static void* g_codec;

static void* Real(int entry) {
  ++g_calls[entry];
  if (g_codec == NULL) {
    Dl_info info;
    char path[4096];
    if (dladdr((void*)&Real, &info) == 0 || info.dli_fname == NULL) return NULL;
    const char* slash = strrchr(info.dli_fname, '/');
    int folder = slash == NULL ? 0 : (int)(slash - info.dli_fname + 1);
    snprintf(path, sizeof path, "%.*slibTessel.so", folder, info.dli_fname);
    g_codec = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (g_codec == NULL) return NULL;
  }
  return dlsym(g_codec, kNames[entry]);
}

/* How often an entry point has been called in this process. */
int TesselTestCalls(const char* name) {
  for (int i = 0; i < kEntryCount; ++i) {
    if (strcmp(kNames[i], name) == 0) return g_calls[i];
  }
  return -1;
}

uint8_t TesselLoadPNG(const void* data, uint32_t length, ImageDescriptor* descriptor, void** pixels,
                      uint32_t* pixelsSize) {
  uint8_t (*real)(const void*, uint32_t, ImageDescriptor*, void**, uint32_t*) = Real(kLoadPng);
  return real(data, length, descriptor, pixels, pixelsSize);
}

void TesselInitSVG(void) {
  void (*real)(void) = Real(kInitSvg);
  real();
}

uint8_t TesselLoadSVG(const char* utf8Path, ImageDescriptor* descriptor) {
  uint8_t (*real)(const char*, ImageDescriptor*) = Real(kLoadSvg);
  return real(utf8Path, descriptor);
}

void* TesselGetSGVBuffer(uint32_t handle, uint32_t width, uint32_t height,
                         RasterAllocator allocator) {
  void* (*real)(uint32_t, uint32_t, uint32_t, RasterAllocator) = Real(kGetSvgBuffer);
  return real(handle, width, height, allocator);
}

void TesselFreeSVG(uint32_t handle) {
  void (*real)(uint32_t) = Real(kFreeSvg);
  real(handle);
}

#ifndef TESSEL_TEST_WITHOUT_SVG_DATA
uint8_t TesselLoadSVGFromData(const void* data, uint32_t length, ImageDescriptor* descriptor) {
  uint8_t (*real)(const void*, uint32_t, ImageDescriptor*) = Real(kLoadSvgFromData);
  return real(data, length, descriptor);
}
#endif
