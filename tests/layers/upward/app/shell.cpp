// Above everything: may include any folder.
#include "ui/view.h"
