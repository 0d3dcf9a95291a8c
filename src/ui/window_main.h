#pragma once
#include "app/station_main.h"

namespace brisko {

// Runs the station with its window until the exit sequence ends it.
int RunWindowStation(const WindowStart& start, int& argc, char** argv);

}  // namespace brisko
