#pragma once
// A minimal HTTP/1.1 client for the status page tests: one request per connection, raw bytes
// in, so tests can send what a browser never would.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <map>
#include <string>

namespace brisko::test {

struct HttpReply {
  int status = 0;                              // 0: no answer
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// A connected socket with 5 s send and receive timeouts, or -1.
inline int ConnectTo(const std::string& address, int port) {
  const bool v6 = address.find(':') != std::string::npos;
  const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_storage ss{};
  socklen_t len = 0;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(uint16_t(port));
    inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, address.c_str(), &a->sin_addr);
    len = sizeof *a;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline HttpReply RawHttp(const std::string& address, int port, const std::string& request) {
  HttpReply reply;
  const int fd = ConnectTo(address, port);
  if (fd < 0) return reply;
  std::string raw;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
    char buf[8192];
    for (int i = 0; i < 10000; ++i) {
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      raw.append(buf, size_t(n));
    }
  }
  close(fd);
  const size_t end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.", 0) != 0 || end == std::string::npos) return reply;
  reply.status = std::stoi(raw.substr(9, 3));
  size_t at = raw.find("\r\n") + 2;
  while (at < end) {
    const size_t eol = raw.find("\r\n", at);
    const std::string line = raw.substr(at, eol - at);
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
      reply.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
    }
    at = eol + 2;
  }
  reply.body = raw.substr(end + 4);
  return reply;
}

inline HttpReply HttpGet(const std::string& address, int port, const std::string& target,
                         const std::string& method = "GET", const std::string& host = "") {
  const std::string hostHeader = host.empty() ? address + ":" + std::to_string(port) : host;
  return RawHttp(
      address, port,
      method + " " + target + " HTTP/1.1\r\nHost: " + hostHeader + "\r\nConnection: close\r\n\r\n");
}

}  // namespace brisko::test
