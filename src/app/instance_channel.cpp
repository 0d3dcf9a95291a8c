#include "app/instance_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "engine/printing/paper_count.h"

namespace brisko {

namespace {

// The longest answer line read, newline included.
constexpr size_t kMaxAnswerBytes = 1024;

uint64_t Fnv1a(std::string_view text) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// A folder of our own that only we can write to; refuse one that someone else made for us.
bool MakePrivateFolder(const std::string& dir) {
  mkdir(dir.c_str(), 0700);
  struct stat st {};
  return lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
         (st.st_mode & 077) == 0;
}

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home == '/') return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

// $XDG_RUNTIME_DIR only when it is there and ours: after `sudo -E` or in a container it may
// name another user's folder or none at all.
std::string RuntimeFolder() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  if (xdg && *xdg == '/' && stat(xdg, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
      access(xdg, W_OK | X_OK) == 0)
    return xdg;
  return PrivateRuntimeFolder("/tmp", HomeFolder());
}

bool FillAddress(const std::string& path, sockaddr_un& addr, std::string* error) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    if (error) *error = "socket path too long: " + path;
    return false;
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  return true;
}

int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

// Reads up to a newline, at most maxBytes, waiting no longer than timeoutMs in all.
std::optional<std::string> ReadLine(int fd, size_t maxBytes, int timeoutMs) {
  auto start = std::chrono::steady_clock::now();
  std::string line;
  char buf[4096];
  for (;;) {
    int left = timeoutMs - int(MsSince(start));
    if (left <= 0) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, left);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return std::nullopt;
    const size_t searchFrom = line.size();
    line.append(buf, size_t(n));
    if (auto nl = line.find('\n', searchFrom); nl != std::string::npos) {
      line.resize(nl);
      return line;
    }
    if (line.size() >= maxBytes) return std::nullopt;
  }
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

}  // namespace

std::string FormatInstanceRequest(const InstanceRequest& request) {
  std::string line;
  switch (request.kind) {
    case InstanceRequest::Raise:
      line = "raise";
      break;
    case InstanceRequest::Command:
      if (request.command < 1 || request.command > 20) return {};
      line = "command " + std::to_string(request.command);
      break;
    case InstanceRequest::Barcode:
      if (request.text.empty() || request.text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        return {};
      line = "barcode " + request.text;
      break;
    case InstanceRequest::PaperLoaded:
      if (!ParsePaperLoad(request.text)) return {};
      line = "paper-loaded " + request.text;
      break;
    case InstanceRequest::Actions:
      if (request.args.empty()) return {};
      line = "actions";
      for (const std::string& word : request.args) {
        line += ' ';
        line += PercentEncode(word);
      }
      break;
  }
  line += '\n';
  if (line.size() > kMaxInstanceRequestBytes) return {};
  return line;
}

std::optional<InstanceRequest> ParseInstanceRequest(std::string_view line) {
  if (line.size() >= kMaxInstanceRequestBytes) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  InstanceRequest req;
  if (line == "raise") return req;
  if (line.rfind("command ", 0) == 0) {
    std::string_view num = line.substr(8);
    int n = 0;
    auto [p, ec] = std::from_chars(num.data(), num.data() + num.size(), n);
    if (ec != std::errc() || p != num.data() + num.size() || n < 1 || n > 20) return std::nullopt;
    req.kind = InstanceRequest::Command;
    req.command = n;
    return req;
  }
  if (line.rfind("barcode ", 0) == 0) {
    std::string_view text = line.substr(8);
    if (text.empty() || text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
      return std::nullopt;
    req.kind = InstanceRequest::Barcode;
    req.text = std::string(text);
    return req;
  }
  if (line.rfind("actions ", 0) == 0) {
    std::string_view rest = line.substr(8);
    req.kind = InstanceRequest::Actions;
    for (;;) {
      const size_t blank = rest.find(' ');
      std::optional<std::string> word = PercentDecode(rest.substr(0, blank));
      if (!word) return std::nullopt;
      req.args.push_back(std::move(*word));
      if (blank == std::string_view::npos) break;
      rest.remove_prefix(blank + 1);
    }
    return req;
  }
  if (line.rfind("paper-loaded ", 0) == 0) {
    std::string_view text = line.substr(13);
    if (!ParsePaperLoad(text)) return std::nullopt;
    req.kind = InstanceRequest::PaperLoaded;
    req.text = std::string(text);
    return req;
  }
  return std::nullopt;
}

std::string PrivateRuntimeFolder(const std::string& tmpRoot, const std::string& home) {
  std::string dir = tmpRoot + "/brisko-workflow-" + std::to_string(getuid());
  if (MakePrivateFolder(dir)) return dir;
  // Not the shared folder itself: the lock and socket must not be ours to lose. Should the home
  // folder fail too, opening the lock there fails and the station says so.
  std::string own = (home.empty() ? std::string("/nonexistent") : home) + "/.brisko-workflow-run";
  MakePrivateFolder(own);
  return own;
}

InstancePaths InstancePathsForStore(const std::string& storePath) {
  std::error_code ec;
  std::string canon = std::filesystem::weakly_canonical(storePath, ec).string();
  if (ec || canon.empty()) canon = storePath;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(Fnv1a(canon)));
  // Through the canonical path, so that two names of one store (a link) share one lock.
  return {canon + ".lock",
          RuntimeFolder() + "/brisko-workflow-" + std::to_string(getuid()) + "-" + hex + ".sock"};
}

std::string ParseLockFileSocket(std::string_view content) {
  const size_t nl = content.find('\n');
  if (nl == std::string_view::npos) return {};  // not (yet) written whole
  std::string_view path = content.substr(0, nl);
  if (path.empty() || path[0] != '/' || path.size() >= sizeof(sockaddr_un::sun_path) ||
      path.find('\0') != std::string_view::npos)
    return {};
  return std::string(path);
}

std::string ReadLockFileSocket(const std::string& lockPath) {
  int fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return {};
  char buf[256];
  ssize_t n = pread(fd, buf, sizeof buf, 0);
  close(fd);
  return n > 0 ? ParseLockFileSocket(std::string_view(buf, size_t(n))) : std::string();
}

bool InstanceLock::Publish(const std::string& socketPath) {
  if (m_fd < 0) return false;
  const std::string line = socketPath + "\n";
  return ftruncate(m_fd, 0) == 0 && pwrite(m_fd, line.data(), line.size(), 0) == ssize_t(line.size());
}

InstanceLock::~InstanceLock() {
  if (m_fd >= 0) close(m_fd);  // closing drops the flock
}

InstanceLock::Result InstanceLock::Acquire(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  // A lock file left by another account (a start under sudo) still locks: flock needs no write
  // access. Only the socket's path cannot be written into it then.
  if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (error) *error = "cannot open " + path + ": " + std::strerror(errno);
    return Failed;
  }
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    int err = errno;
    close(fd);
    if (err == EWOULDBLOCK) return HeldByOther;
    if (error) *error = "cannot lock " + path + ": " + std::strerror(err);
    return Failed;
  }
  m_fd = fd;
  return Acquired;
}

std::string FormatPaperAnswer(const PaperAnswer& answer) {
  std::string text = answer.text.substr(0, kMaxAnswerBytes - 16);
  for (char& c : text) {
    if (c == '\n' || c == '\r' || c == '\0') c = ' ';
  }
  return std::string(answer.ok ? "ok" : "error") + (text.empty() ? "" : " " + text) + "\n";
}

namespace {

// Connects (retrying while the station starts), checks that our own user listens, sends `line`
// and reads one answer line of at most maxReply bytes.
bool Exchange(const std::string& socketPath, const std::string& line, int timeoutMs, size_t maxReply,
              std::string& reply, std::string* error) {
  sockaddr_un addr{};
  if (!FillAddress(socketPath, addr, error)) return false;
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      if (error) *error = std::string("socket: ") + std::strerror(errno);
      return false;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      // The socket's path came from a file beside the store: make sure our own user listens.
      ucred peer{};
      socklen_t peerSize = sizeof peer;
      if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0 || peer.uid != getuid()) {
        close(fd);
        if (error) *error = "the socket " + socketPath + " belongs to another user";
        return false;
      }
      bool ok = WriteAll(fd, line);
      std::optional<std::string> answer;
      if (ok) answer = ReadLine(fd, maxReply, std::max(100, timeoutMs - int(MsSince(start))));
      close(fd);
      if (!answer) {
        if (error) *error = "the running station did not answer";
        return false;
      }
      reply = std::move(*answer);
      return true;
    }
    int err = errno;
    close(fd);
    if (MsSince(start) >= timeoutMs) {
      if (error) *error = "cannot reach the running station at " + socketPath + ": " + std::strerror(err);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace

bool SendInstanceRequest(const std::string& socketPath, const InstanceRequest& request, int timeoutMs,
                         std::string* error, PaperAnswer* answer) {
  std::string line = FormatInstanceRequest(request);
  if (line.empty()) {
    if (error) *error = "the request cannot be sent";
    return false;
  }
  std::string reply;
  if (!Exchange(socketPath, line, timeoutMs, kMaxAnswerBytes, reply, error)) return false;
  if (answer) {
    answer->ok = reply.rfind("ok", 0) == 0;
    const size_t space = reply.find(' ');
    answer->text = space == std::string::npos ? "" : reply.substr(space + 1);
  }
  if (reply == "ok" || reply.rfind("ok ", 0) == 0) return true;
  if (error) *error = "the running station answered: " + reply;
  return false;
}

std::string PercentEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c <= 0x20 || c == '%' || c == 0x7f) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += char(c);
    }
  }
  return out;
}

std::optional<std::string> PercentDecode(std::string_view text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c <= 0x20 || c == 0x7f) return std::nullopt;  // never sent bare
    if (c != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int hi = hex(text[i + 1]), lo = hex(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += char(hi * 16 + lo);
    i += 2;
  }
  return out;
}

std::string FormatInstanceAnswer(const InstanceAnswer& answer) {
  return "done " + std::to_string(answer.exitCode) + " " + PercentEncode(answer.out) + " " +
         PercentEncode(answer.err) + "\n";
}

std::optional<InstanceAnswer> ParseInstanceAnswer(std::string_view line) {
  if (line.rfind("done ", 0) != 0) return std::nullopt;
  line.remove_prefix(5);
  const size_t first = line.find(' ');
  if (first == std::string_view::npos) return std::nullopt;
  const size_t second = line.find(' ', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  InstanceAnswer answer;
  const std::string_view code = line.substr(0, first);
  auto [p, ec] = std::from_chars(code.data(), code.data() + code.size(), answer.exitCode);
  if (ec != std::errc() || p != code.data() + code.size() || answer.exitCode < 0 || answer.exitCode > 255)
    return std::nullopt;
  std::optional<std::string> out = PercentDecode(line.substr(first + 1, second - first - 1));
  std::optional<std::string> err = PercentDecode(line.substr(second + 1));
  if (!out || !err) return std::nullopt;
  answer.out = std::move(*out);
  answer.err = std::move(*err);
  return answer;
}

bool SendActionsRequest(const std::string& socketPath, const std::vector<std::string>& args, int timeoutMs,
                        InstanceAnswer& answer, std::string* error) {
  InstanceRequest request;
  request.kind = InstanceRequest::Actions;
  request.args = args;
  const std::string line = FormatInstanceRequest(request);
  if (line.empty()) {
    if (error) *error = "the request is too long to send";
    return false;
  }
  std::string reply;
  if (!Exchange(socketPath, line, timeoutMs, kMaxInstanceReplyBytes, reply, error)) return false;
  std::optional<InstanceAnswer> parsed = ParseInstanceAnswer(reply);
  if (!parsed) {
    // A station of an older version knows no actions requests.
    if (error) *error = "the running station answered: " + reply.substr(0, 200);
    return false;
  }
  answer = std::move(*parsed);
  return true;
}

InstanceServer::~InstanceServer() {
  if (m_fd >= 0) {
    close(m_fd);
    unlink(m_path.c_str());
  }
}

bool InstanceServer::Listen(const std::string& socketPath, std::string* error) {
  sockaddr_un addr{};
  if (!FillAddress(socketPath, addr, error)) return false;
  unlink(socketPath.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    if (error) *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  mode_t old = umask(077);
  int r = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  umask(old);
  if (r != 0 || listen(fd, 8) != 0) {
    if (error) *error = "cannot listen on " + socketPath + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  m_fd = fd;
  m_path = socketPath;
  return true;
}

std::optional<InstanceRequest> InstanceServer::AcceptOne(
    const Answerer& answer, const std::function<PaperAnswer(const InstanceRequest&)>& handleNow) {
  if (m_fd < 0) return std::nullopt;
  int fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return std::nullopt;
  // Only our own user may steer the station, whatever the socket's folder allows.
  ucred peer{};
  socklen_t peerSize = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0 || peer.uid != getuid()) {
    close(fd);
    return std::nullopt;
  }
  std::optional<InstanceRequest> req;
  if (auto line = ReadLine(fd, kMaxInstanceRequestBytes, 2000)) req = ParseInstanceRequest(*line);
  if (req && req->kind == InstanceRequest::PaperLoaded && handleNow) {
    WriteAll(fd, FormatPaperAnswer(handleNow(*req)));
    close(fd);
    return std::nullopt;
  }
  if (req && req->kind == InstanceRequest::Actions) {
    WriteAll(fd, answer ? FormatInstanceAnswer(answer(*req)) : "error no actions here\n");
    close(fd);
    return std::nullopt;
  }
  WriteAll(fd, req ? "ok\n" : "error bad request\n");
  close(fd);
  return req;
}

}  // namespace brisko
