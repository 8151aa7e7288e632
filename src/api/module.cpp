// Placeholder so the library targets have a source until the real modules land.
#include "tavelocam.h"
