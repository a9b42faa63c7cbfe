// Open step: device choice and network loading.
#include "node/Tweenova.h"

void Tweenova::_open() { PlanarIop::_open(); }
