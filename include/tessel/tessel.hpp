#pragma once

// Everything of the C++ API: tessel::Loader loads PNG and SVG images in confined worker
// processes and gives back tessel::Image pixels.
#include "tessel/error.h"
#include "tessel/image.h"
#include "tessel/loader.h"
#include "tessel/version.h"
