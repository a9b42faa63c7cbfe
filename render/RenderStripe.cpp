// One render call: from the host's plane request to the written output plane.
#include "node/Tweenova.h"

void Tweenova::renderStripe(DD::Image::ImagePlane& outputPlane) { (void)outputPlane; }
