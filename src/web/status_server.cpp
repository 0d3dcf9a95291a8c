#include "web/status_server.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "web/status_render.h"

namespace brisko {

namespace {

constexpr size_t kMaxTrackedClients = 1024;

struct Bucket {
  double tokens = 0;
  std::chrono::steady_clock::time_point seen;
};

std::string ClientKey(const sockaddr* addr, bool* loopback) {
  *loopback = false;
  if (!addr) return {};
  char text[INET6_ADDRSTRLEN] = {};
  if (addr->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(addr);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
  } else if (addr->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
    inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
  }
  *loopback = IsLoopbackAddress(text);
  return text;
}

// Where a phone reaches a page bound to every address: the first IPv4 address that is not
// loopback, else the host name.
std::string ReachableHost(const std::string& bound) {
  if (bound != "0.0.0.0" && bound != "::") return bound;
  std::string found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      char text[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
      if (!IsLoopbackAddress(text)) found = text;
    }
    freeifaddrs(list);
  }
  if (found.empty()) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0) found = host;
  }
  return found;
}

// Without a key the page is for this machine only; a Host header naming anything else is a
// foreign site's name pointed at loopback (DNS rebinding). Browsers always send one.
bool IsLocalHostHeader(const char* header) {
  if (!header) return true;
  std::string host = header;
  if (!host.empty() && host[0] == '[') {
    const size_t close = host.find(']');
    if (close == std::string::npos) return false;
    host = host.substr(1, close - 1);
  } else if (const size_t colon = host.find(':'); colon != std::string::npos) {
    host = host.substr(0, colon);
  }
  return host == "localhost" || IsLoopbackAddress(host);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding as the library does it, except that an encoded NUL stays encoded: decoded,
// it would cut the path short ("/app.js%00" would name "/app.js").
size_t Unescape(void*, MHD_Connection*, char* text) {
  char* out = text;
  for (const char* in = text; *in;) {
    if (in[0] == '%' && HexDigit(in[1]) >= 0 && HexDigit(in[2]) >= 0) {
      const int value = HexDigit(in[1]) * 16 + HexDigit(in[2]);
      if (value != 0) {
        *out++ = static_cast<char>(value);
        in += 3;
        continue;
      }
    }
    *out++ = *in++;
  }
  *out = '\0';
  return static_cast<size_t>(out - text);
}

MHD_Result AddLength(void* cls, MHD_ValueKind, const char* key, const char* value) {
  *static_cast<size_t*>(cls) += (key ? std::strlen(key) : 0) + (value ? std::strlen(value) : 0) + 4;
  return MHD_YES;
}

// "/thumb/ID.jpg" with ID in plain digits; the id is all the page may name a photo by.
bool ThumbId(const std::string& path, uint64_t& id) {
  constexpr std::string_view kPrefix = "/thumb/", kSuffix = ".jpg";
  if (path.size() <= kPrefix.size() + kSuffix.size() || path.compare(0, kPrefix.size(), kPrefix) != 0 ||
      path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
    return false;
  const std::string digits = path.substr(kPrefix.size(), path.size() - kPrefix.size() - kSuffix.size());
  if (digits.empty() || digits.size() > 18 || digits[0] == '0') return false;
  id = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    id = id * 10 + uint64_t(c - '0');
  }
  return true;
}

}  // namespace

bool KeysMatch(const std::string& given, const std::string& expected) {
  if (expected.empty()) return false;
  unsigned char diff = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < expected.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff |= static_cast<unsigned char>(g ^ static_cast<unsigned char>(expected[i]));
  }
  return diff == 0;
}

class WebStatusServer::Impl {
 public:
  Impl(const StatusBoard& board, const StatusServerLimits& limits) : m_board(board), m_limits(limits) {}
  ~Impl() {
    {
      std::lock_guard<std::mutex> lock(m_trackMutex);
      m_stopping = true;
    }
    m_trackWake.notify_all();
    if (m_watchdog.joinable()) m_watchdog.join();
    if (m_daemon) MHD_stop_daemon(m_daemon);
  }

  bool Start(const StatusPageConfig& config, bool requireKey, std::string* error) {
    m_requireKey = requireKey;
    m_key = config.key;
    if (m_requireKey && !IsValidStatusPageKey(m_key))
      return Fail(error, "no valid key for a non-loopback address");
    sockaddr_storage addr{};
    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD;
    auto* in4 = reinterpret_cast<sockaddr_in*>(&addr);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (inet_pton(AF_INET, config.address.c_str(), &in4->sin_addr) == 1) {
      in4->sin_family = AF_INET;
      in4->sin_port = htons(static_cast<uint16_t>(config.port));
    } else if (inet_pton(AF_INET6, config.address.c_str(), &in6->sin6_addr) == 1) {
      in6->sin6_family = AF_INET6;
      in6->sin6_port = htons(static_cast<uint16_t>(config.port));
      flags |= MHD_USE_IPv6;
    } else {
      return Fail(error, "'" + config.address + "' is not a numeric IP address");
    }
    if (config.port < 0 || config.port > 65535) return Fail(error, "the port must be 0 to 65535");
    m_daemon = MHD_start_daemon(
        flags, static_cast<uint16_t>(config.port), nullptr, nullptr, &Impl::Handle, this,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&addr), MHD_OPTION_CONNECTION_LIMIT,
        m_limits.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, m_limits.connectionsPerClient,
        MHD_OPTION_CONNECTION_TIMEOUT, m_limits.timeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        m_limits.connectionMemory, MHD_OPTION_UNESCAPE_CALLBACK, &Unescape, nullptr,
        MHD_OPTION_NOTIFY_CONNECTION, &Impl::OnConnection, this, MHD_OPTION_NOTIFY_COMPLETED,
        &Impl::OnCompleted, this, MHD_OPTION_END);
    if (!m_daemon) return Fail(error, std::string("cannot listen there (") + std::strerror(errno) + ")");
    m_watchdog = std::thread([this] { Watch(); });
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    m_port = info ? info->port : config.port;
    const std::string host = ReachableHost(config.address);
    m_url = "http://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
            std::to_string(m_port) + "/" + (m_requireKey ? "?key=" + m_key : "");
    return true;
  }

  std::string m_url;
  int m_port = 0;

 private:
  static bool Fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
  }

  // Connections are tracked from their start so that one that has not completed its request
  // within the deadline is cut, however slowly it keeps sending.
  static void OnConnection(void* cls, MHD_Connection* connection, void**,
                           MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<Impl*>(cls);
    std::lock_guard<std::mutex> lock(self->m_trackMutex);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      if (info) self->m_tracked[connection] = {info->connect_fd, std::chrono::steady_clock::now(), false};
    } else {
      // The library closes the socket only after this, so the watchdog never touches a reused one.
      self->m_tracked.erase(connection);
    }
  }
  // A connection kept open after an answer gets a new deadline for its next request.
  static void OnCompleted(void* cls, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
    auto* self = static_cast<Impl*>(cls);
    std::lock_guard<std::mutex> lock(self->m_trackMutex);
    auto it = self->m_tracked.find(connection);
    if (it != self->m_tracked.end()) it->second.start = std::chrono::steady_clock::now();
  }
  void Watch() {
    const auto deadline = std::chrono::seconds(m_limits.requestSeconds);
    std::unique_lock<std::mutex> lock(m_trackMutex);
    while (!m_stopping) {
      m_trackWake.wait_for(lock, std::chrono::milliseconds(200));
      const auto now = std::chrono::steady_clock::now();
      for (auto& [connection, t] : m_tracked) {
        if (t.cut || now - t.start < deadline) continue;
        // The library sees the end of the stream and closes the connection itself.
        ::shutdown(t.fd, SHUT_RDWR);
        t.cut = true;
      }
    }
  }

  static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                           const char*, const char*, size_t* uploadSize, void**) {
    auto* self = static_cast<Impl*>(cls);
    // A body is never wanted; whatever arrives after the answer is dropped with the connection.
    if (uploadSize) *uploadSize = 0;
    return self->Answer(connection, url, method);
  }

  MHD_Result Answer(MHD_Connection* connection, const char* url, const char* method) {
    const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (!head && std::strcmp(method, MHD_HTTP_METHOD_GET) != 0)
      return Send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Method not allowed\n", "text/plain", true);
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    bool loopbackClient = false;
    const std::string client = ClientKey(info ? info->client_addr : nullptr, &loopbackClient);
    const bool limited = !loopbackClient || m_limits.limitLoopbackClients;
    // The library's own limit is looser, so that an oversized request is answered here, with
    // the headers every answer carries.
    size_t size = std::strlen(url ? url : "");
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &AddLength, &size);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &AddLength, &size);
    if (size > m_limits.requestBytes)
      return Send(connection, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "Request too large\n", "text/plain");
    bool allowed = false;
    if (m_requireKey) {
      const char* key = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "key");
      allowed = KeysMatch(key ? key : "", m_key);
    } else {
      allowed = IsLocalHostHeader(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host"));
    }
    // Refused requests count in a bucket of their own: someone without the key sharing an
    // address with the operator's phone cannot use up the phone's requests.
    if (!allowed) {
      if (limited && !Allow(client + " refused"))
        return Send(connection, MHD_HTTP_TOO_MANY_REQUESTS, "Too many requests\n", "text/plain");
      return Send(connection, MHD_HTTP_FORBIDDEN, "Forbidden\n", "text/plain");
    }
    if (limited && !Allow(client))
      return Send(connection, MHD_HTTP_TOO_MANY_REQUESTS, "Too many requests\n", "text/plain");
    const std::string path = url ? url : "";
    if (path == "/status.json")
      return Send(connection, MHD_HTTP_OK, Json(), "application/json; charset=utf-8");
    if (path == "/") return Send(connection, MHD_HTTP_OK, Html(), "text/html; charset=utf-8");
    if (path == "/app.js")
      return Send(connection, MHD_HTTP_OK, kStatusPageScript, "text/javascript; charset=utf-8");
    if (path == "/app.css") return Send(connection, MHD_HTTP_OK, kStatusPageStyle, "text/css; charset=utf-8");
    if (uint64_t id = 0; ThumbId(path, id)) {
      std::string jpeg;
      if (m_board.Thumbnails() && m_board.Thumbnails()->Get(id, jpeg))
        return Send(connection, MHD_HTTP_OK, jpeg, "image/jpeg");
    }
    return Send(connection, MHD_HTTP_NOT_FOUND, "Not found\n", "text/plain");
  }

  static MHD_Result Send(MHD_Connection* connection, unsigned status, const std::string& body,
                         const char* type, bool allow = false) {
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, "Content-Security-Policy", "default-src 'self'");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(response, "X-Frame-Options", "DENY");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (allow) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
  }

  // Per-client token bucket; the table is bounded by forgetting the longest-idle client.
  bool Allow(const std::string& client) {
    const auto now = std::chrono::steady_clock::now();
    auto it = m_buckets.find(client);
    if (it == m_buckets.end()) {
      if (m_buckets.size() >= kMaxTrackedClients) {
        auto oldest = m_buckets.begin();
        for (auto b = m_buckets.begin(); b != m_buckets.end(); ++b) {
          if (b->second.seen < oldest->second.seen) oldest = b;
        }
        m_buckets.erase(oldest);
      }
      it = m_buckets.emplace(client, Bucket{m_limits.burst, now}).first;
    }
    Bucket& b = it->second;
    const double elapsed = std::chrono::duration<double>(now - b.seen).count();
    b.tokens = std::min(m_limits.burst, b.tokens + elapsed * m_limits.requestsPerSecond);
    b.seen = now;
    if (b.tokens < 1) return false;
    b.tokens -= 1;
    return true;
  }

  // Made again only when the station published something new.
  const std::string& Json() {
    Refresh();
    return m_json;
  }
  const std::string& Html() {
    Refresh();
    if (m_htmlGeneration != m_generation || m_htmlTime != m_jsonTime) {
      m_html = RenderStatusHtml(m_snapshot, m_requireKey ? "?key=" + m_key : "", m_jsonTime);
      m_htmlGeneration = m_generation;
      m_htmlTime = m_jsonTime;
    }
    return m_html;
  }
  void Refresh() {
    // Also once a second: the age of the last pass grows while nothing else changes.
    const uint64_t generation = m_board.Generation();
    const std::time_t now = std::time(nullptr);
    if (generation == m_generation && now == m_jsonTime && !m_json.empty()) return;
    if (generation != m_generation) {
      m_snapshot = m_board.Copy();
      m_generation = m_snapshot.generation;
    }
    m_jsonTime = now;
    m_json = RenderStatusJson(m_snapshot, now);
  }

  const StatusBoard& m_board;
  const StatusServerLimits m_limits;
  bool m_requireKey = false;
  std::string m_key;
  MHD_Daemon* m_daemon = nullptr;
  struct Tracked {
    int fd = -1;
    std::chrono::steady_clock::time_point start;
    bool cut = false;
  };
  std::mutex m_trackMutex;
  std::condition_variable m_trackWake;
  std::map<MHD_Connection*, Tracked> m_tracked;
  bool m_stopping = false;
  std::thread m_watchdog;
  // Touched only by the daemon's one thread.
  std::map<std::string, Bucket> m_buckets;
  StatusSnapshot m_snapshot;
  uint64_t m_generation = ~0ull;
  uint64_t m_htmlGeneration = ~0ull;
  std::time_t m_jsonTime = 0, m_htmlTime = 0;
  std::string m_json;
  std::string m_html;
};

WebStatusServer::WebStatusServer(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
WebStatusServer::~WebStatusServer() = default;

std::unique_ptr<WebStatusServer> WebStatusServer::Start(const StatusPageConfig& config,
                                                        const StatusBoard& board, std::string* error,
                                                        const StatusServerLimits& limits,
                                                        std::optional<bool> requireKey) {
  auto impl = std::make_unique<Impl>(board, limits);
  if (!impl->Start(config, requireKey.value_or(!IsLoopbackAddress(config.address)), error)) return nullptr;
  return std::unique_ptr<WebStatusServer>(new WebStatusServer(std::move(impl)));
}

std::string WebStatusServer::Url() const {
  return m_impl->m_url;
}

int WebStatusServer::Port() const {
  return m_impl->m_port;
}

std::unique_ptr<StatusPageServer> StartWebStatusPage(const StatusPageConfig& config, const StatusBoard& board,
                                                     std::string* error) {
  return WebStatusServer::Start(config, board, error);
}

}  // namespace brisko
