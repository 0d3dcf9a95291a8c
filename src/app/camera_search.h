#pragma once
// The cameras on the buses, for the folder picker. A bus scan can take seconds (or hang on a
// sick device), so it runs beside the caller, which asks now and then whether it is done.
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brisko {

struct FoundCamera {
  std::string model;  // "Canon EOS 5D", "Directory Browse"
  std::string port;   // "usb:001,004", "disk:/PATH"
};

class CameraSearch {
 public:
  // Starts the scan. A search dropped before it ends leaves the scan to end alone.
  CameraSearch();
  // The cameras found once the scan has ended; nothing while it runs.
  std::optional<std::vector<FoundCamera>> Result() const;

 private:
  struct State;
  std::shared_ptr<State> m_state;
};

}  // namespace brisko
