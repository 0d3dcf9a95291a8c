#include "app/status_page.h"

#include <arpa/inet.h>
#include <sys/random.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "support/settings_store.h"

namespace brisko {

StatusPageConfig LoadStatusPageConfig(SettingsStore& store) {
  StatusPageConfig config;
  config.enabled = store.GetProfileInt("Settings", "m_bStatusPage", 0) != 0;
  config.address = store.GetProfileString("Settings", "m_strStatusPageAddress", kDefaultStatusPageAddress);
  config.port = store.GetProfileInt("Settings", "m_iStatusPagePort", kDefaultStatusPagePort);
  if (config.port < 0 || config.port > 65535) config.port = kDefaultStatusPagePort;
  config.key = store.GetProfileString("Settings", "m_strStatusPageKey", "");
  if (!IsValidStatusPageKey(config.key)) config.key.clear();
  return config;
}

void SaveStatusPageConfig(SettingsStore& store, const StatusPageConfig& config) {
  store.WriteProfileInt("Settings", "m_bStatusPage", config.enabled ? 1 : 0);
  store.WriteProfileString("Settings", "m_strStatusPageAddress", config.address);
  store.WriteProfileInt("Settings", "m_iStatusPagePort", config.port);
  store.WriteProfileString("Settings", "m_strStatusPageKey", config.key);
}

std::string MakeStatusPageKey() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return {};
    }
    got += size_t(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string key;
  for (unsigned char b : bytes) {
    key += kHex[b >> 4];
    key += kHex[b & 15];
  }
  return key;
}

bool IsValidStatusPageKey(const std::string& key) {
  if (key.size() != 32) return false;
  for (char c : key) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool IsNumericAddress(const std::string& address) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, address.c_str(), buf) == 1 || inet_pton(AF_INET6, address.c_str(), buf) == 1;
}

bool IsLoopbackAddress(const std::string& address) {
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, address.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

std::string CheckStatusPageConfig(const StatusPageConfig& config) {
  if (!config.enabled) return {};
  if (!IsNumericAddress(config.address))
    return "The status page address must be a numeric IP address, such as 127.0.0.1 for this computer only "
           "or 0.0.0.0 for every network.";
  if (config.port < 0 || config.port > 65535) return "The status page port must be from 0 to 65535.";
  if (!IsLoopbackAddress(config.address) && !IsValidStatusPageKey(config.key))
    return "The status page needs a key on this address: choose \"New key\".";
  return {};
}

bool ParseStatusPageOption(const std::string& text, std::string& address, int& port) {
  std::string host;
  std::string portText = text;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find("]:");
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    portText = text.substr(close + 2);
    if (host.find(':') == std::string::npos) return false;
  } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    portText = text.substr(colon + 1);
    if (host.find(':') != std::string::npos) return false;  // IPv6 needs brackets
  }
  if (portText.empty() || portText.size() > 5) return false;
  int value = 0;
  const char* end = portText.data() + portText.size();
  auto [p, ec] = std::from_chars(portText.data(), end, value);
  if (ec != std::errc() || p != end || value < 0 || value > 65535) return false;
  if (!host.empty() && !IsNumericAddress(host)) return false;
  if (text.find(':') != std::string::npos && host.empty()) return false;
  if (!host.empty()) address = host;
  port = value;
  return true;
}

}  // namespace brisko
