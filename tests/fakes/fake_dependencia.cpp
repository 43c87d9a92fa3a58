// A library that a fake plug-in links against; it is found only in the
// plug-in's own folder.
#include "fake_comum.h"

FAKE_EXPORT int fake_dependencia_valor() { return 7; }
