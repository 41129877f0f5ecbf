/* A codec library that lacks only TesselLoadSVGFromData. Binding it fails before any entry point
 * is called, so these need not do anything. */
void TesselLoadPNG(void) {}
void TesselInitSVG(void) {}
void TesselLoadSVG(void) {}
void TesselGetSGVBuffer(void) {}
void TesselFreeSVG(void) {}
