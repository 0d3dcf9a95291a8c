#pragma once
// The status page's settings and the seam through which the station starts it. The HTTP
// server itself lives above this layer (web/); main hands the station a starter for it.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/status_snapshot.h"

namespace brisko {

class SettingsStore;

inline constexpr const char* kDefaultStatusPageAddress = "127.0.0.1";
inline constexpr int kDefaultStatusPagePort = 8642;

struct StatusPageConfig {
  bool enabled = false;
  std::string address = kDefaultStatusPageAddress;
  int port = kDefaultStatusPagePort;  // 0: any free port
  std::string key;                    // needed on every address that is not loopback
};

// "Settings": m_bStatusPage, m_strStatusPageAddress, m_iStatusPagePort, m_strStatusPageKey.
// A key that is not 32 hex digits reads as none; the station makes one when the page starts.
StatusPageConfig LoadStatusPageConfig(SettingsStore& store);
void SaveStatusPageConfig(SettingsStore& store, const StatusPageConfig& config);
// 128 random bits as 32 lowercase hex digits; "" when the system has no randomness to give.
std::string MakeStatusPageKey();
// A well-formed key: 32 hex digits.
bool IsValidStatusPageKey(const std::string& key);

// A numeric IPv4 or IPv6 address in 127.0.0.0/8 or ::1 (also as ::ffff:127.x.x.x).
bool IsLoopbackAddress(const std::string& address);
// A numeric IPv4 or IPv6 address (no names: the page binds exactly what it is told).
bool IsNumericAddress(const std::string& address);
// "[ADDRESS:]PORT", IPv6 as "[::1]:PORT". Leaves `address` as it was when none is given.
bool ParseStatusPageOption(const std::string& text, std::string& address, int& port);

// The Application settings dialog's check: "" when `config` can be used, else the message.
std::string CheckStatusPageConfig(const StatusPageConfig& config);

// A running page; destroying it closes its socket and ends its thread.
class StatusPageServer {
 public:
  virtual ~StatusPageServer() = default;
  // The address to open, with "?key=..." where one is needed.
  virtual std::string Url() const = 0;
};

// Starts a page over `board` (which outlives it); nullptr with `error` set on failure.
using StatusPageStarter = std::function<std::unique_ptr<StatusPageServer>(
    const StatusPageConfig& config, const StatusBoard& board, std::string* error)>;

// From main: how to start the page, and the command line's one-run override.
struct StatusPageOptions {
  StatusPageStarter starter;
  std::optional<std::string> address;
  std::optional<int> port;
};

}  // namespace brisko
