// An include that runs back up the layers, for the layer check to refuse.
#include "app/shell.h"
#include "engine/fine.h"
