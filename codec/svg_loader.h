#pragma once

#include "codec/svg_side.h"
#include "codec/tessel_codec.h"

namespace tessel::codec {

// The SVG side, loaded from the folder of libTessel.so at the first call in the process (once,
// whichever thread asks first; it is never unloaded). Null when it cannot be had: the
// descriptor, when given, then says why.
const SvgSide* LoadedSvgSide(ImageDescriptor* descriptor);

}  // namespace tessel::codec
