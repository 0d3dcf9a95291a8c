#pragma once
// The status page over libmicrohttpd: one thread of its own, fixed routes, GET and HEAD only,
// a key on every address that is not loopback, and bounds on connections, request size, time
// and requests per client.
#include <memory>
#include <optional>
#include <string>

#include "app/status_page.h"

namespace brisko {

struct StatusServerLimits {
  unsigned connections = 64;
  unsigned connectionsPerClient = 8;  // a browser opens up to 6 at once
  unsigned timeoutSeconds = 10;       // idle: nothing received or sent for this long
  // From a connection's start (or its last answer) to the whole request: a client that sends
  // a header line now and then holds its connection no longer than this.
  unsigned requestSeconds = 5;
  size_t requestBytes = 16 * 1024;  // headers and URL of one request
  size_t connectionMemory = 64 * 1024;
  // Token bucket per client address: a page load is 4 requests, a poll one every 2 s.
  double requestsPerSecond = 10;
  double burst = 30;
  bool limitLoopbackClients = false;  // the machine itself is not the threat
};

class WebStatusServer : public StatusPageServer {
 public:
  // `requireKey` defaults to "the address is not loopback"; tests can set it.
  static std::unique_ptr<WebStatusServer> Start(const StatusPageConfig& config, const StatusBoard& board,
                                                std::string* error, const StatusServerLimits& limits = {},
                                                std::optional<bool> requireKey = {});
  ~WebStatusServer() override;
  std::string Url() const override;
  int Port() const;

  class Impl;

 private:
  explicit WebStatusServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> m_impl;
};

// The station's starter (see StatusPageStarter).
std::unique_ptr<StatusPageServer> StartWebStatusPage(const StatusPageConfig& config, const StatusBoard& board,
                                                     std::string* error);

// Constant-time comparison of a given key with the expected one.
bool KeysMatch(const std::string& given, const std::string& expected);

}  // namespace brisko
