// Planted: a durable record reaching up into the runs that write it.
#include "engine/base/record_file.h"
#include "engine/runs/action_run.h"
