#pragma once
// Planted: shots and printing sit on one row.
#include "engine/base/run_host.h"
#include "engine/printing/print_desk.h"
