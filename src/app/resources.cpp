#include <QtGlobal>

// The icons are compiled into the core library; a static library's resources must be pulled in
// explicitly (from global scope, as the macro requires).
void orvaneInitResources() {
    Q_INIT_RESOURCE(orvane);
}
