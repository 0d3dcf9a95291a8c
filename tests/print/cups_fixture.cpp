#include "print/cups_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

namespace brisko::test {

namespace {

std::string Script() {
  return std::string(BRISKO_TEST_DATA) + "/../../tools/cups_sandbox.sh";
}

}  // namespace

int CupsSandbox::Start(std::string* message) {
  const std::string dir = m_dir / "sandbox";
  const std::string err = m_dir / "start.err";
  const std::string cmd = "bash '" + Script() + "' start '" + dir + "' --owner " + std::to_string(getpid()) +
                          " >'" + err + "' 2>&1";
  const int rc = std::system(cmd.c_str());
  const int code = WIFEXITED(rc) ? WEXITSTATUS(rc) : 1;
  if (message) *message = ReadFile(err);
  if (code != 0) return code;
  m_started = true;
  std::ifstream env(dir + "/env");
  for (std::string line; std::getline(env, line);) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "CUPS_SERVER") m_server = value;
    if (key == "QUEUE") m_queue = value;
    if (key == "JOBS_DIR") m_jobs = value;
    if (key == "PRINTER_PORT") m_port = std::atoi(value.c_str());
  }
  // For libcups defaults and for children the tests fork.
  setenv("CUPS_SERVER", m_server.c_str(), 1);
  return m_server.empty() ? 1 : 0;
}

CupsSandbox::~CupsSandbox() {
  if (!m_started) return;
  const std::string cmd = "bash '" + Script() + "' stop '" + (m_dir / "sandbox") + "' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot stop the print sandbox";
}

bool CupsSandbox::SetPaperOut(bool out) {
  // The printer's two trays; a level of 0 sheets is paper out, -2 "unknown" is paper in.
  const char* level = out ? "0" : "-2";
  const std::string request = std::string("GET /media?size1=na_letter_8.5x11in&type1=stationery&level1=") +
                              level + "&size2=na_index-4x6_4x6in&type2=photographic-glossy&level2=" + level +
                              " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(m_port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size());
  char buf[4096];
  std::string reply;
  // The status line is enough; the printer may keep the connection open.
  for (ssize_t n; ok && reply.size() < 12 && (n = read(fd, buf, sizeof buf)) > 0;) {
    reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return ok && (reply.compare(0, 12, "HTTP/1.0 200") == 0 || reply.compare(0, 12, "HTTP/1.1 200") == 0);
}

bool CupsSandbox::StopPrinter() {
  const int pid = std::atoi(ReadFile(m_dir / "sandbox/run/printer.pid").c_str());
  return pid > 0 && kill(pid, SIGTERM) == 0;
}

bool CupsSandbox::Command(const std::string& line) {
  const std::string cmd = "CUPS_SERVER='" + m_server + "' " + line + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

bool CupsSandbox::SetPrinterPath(const std::string& path) {
  return Command("lpadmin -p '" + m_queue + "' -v 'ipp://127.0.0.1:" + std::to_string(m_port) + path + "'");
}

void CupsTest::SetUp() {
  std::string message;
  const int rc = m_cups.Start(&message);
  if (rc == 77) GTEST_SKIP() << message;
  ASSERT_EQ(rc, 0) << message;
}

}  // namespace brisko::test
