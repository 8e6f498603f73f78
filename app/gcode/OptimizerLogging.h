#pragma once

#include <QLoggingCategory>

// "RMOptimizeTask": the optimizer's messages (the pass's timing).
Q_DECLARE_LOGGING_CATEGORY(Optimizer)
