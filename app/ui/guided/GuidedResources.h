#pragma once

#include <QtGlobal>

// The images of the guided procedures (guided.qrc). Resources of a static
// library register only when asked to, and the declaration that
// Q_INIT_RESOURCE makes must be in the global namespace.
inline void initGuidedResources()
{
    Q_INIT_RESOURCE(guided);
}
