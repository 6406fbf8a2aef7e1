#include "ui/resources.h"

#include <QtGlobal>

void orvaneInitResources() {
    Q_INIT_RESOURCE(orvane);
}
