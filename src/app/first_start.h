#pragma once
// The first start on a new store in the user's default place: one action that does the usual
// job, so that a card put in right away gives photos without any setting up.
#include <string>
#include <vector>

namespace brisko {

class Station;

inline constexpr const char* kFirstStartActionName = "Copy cards to Pictures";

// "<home>/Pictures/Brisko/".
std::string FirstStartDestination();

// Adds and saves the action on a station whose store holds none (loaded settings are replaced
// by the store's); returns the lines for the log that say what it does and how to change it.
std::vector<std::string> SetUpFirstStart(Station& station);

}  // namespace brisko
