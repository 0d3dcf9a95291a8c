// Planted: the scheduler reaching up into the engine.
#include "engine/action/action.h"
#include "support/logger.h"
