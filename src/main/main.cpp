// brisko-workflow: the window where Qt is built and a display exists, else the headless station.
#include "app/command_line.h"
#include "app/station_main.h"
#include "web/status_server.h"
#ifdef BRISKO_HAVE_QT
#include "ui/window_main.h"
#endif
#ifdef BRISKO_WINDOW_PROGRAM
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#endif

namespace {

#ifdef BRISKO_WINDOW_PROGRAM
// Runs the windowed program in this process's place; returns only when it cannot be started.
void StartWindowProgram(char** argv) {
  std::string beside;
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    beside.assign(self, static_cast<size_t>(n));
    beside = beside.substr(0, beside.rfind('/') + 1) + BRISKO_WINDOW_PROGRAM;
  }
  int err = ENOENT;
  for (const std::string& program : {beside, std::string(BRISKO_WINDOW_INSTALLED)}) {
    if (program.empty() || access(program.c_str(), X_OK) != 0) continue;
    execv(program.c_str(), argv);
    err = errno;
  }
  std::fprintf(stderr, "brisko-workflow: cannot start the window (%s: %s); running headless\n",
               BRISKO_WINDOW_INSTALLED, std::strerror(err));
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef BRISKO_HAVE_QT
  return brisko::StationMain(argc, argv, brisko::RunWindowStation, brisko::StartWebStatusPage);
#else
#ifdef BRISKO_WINDOW_PROGRAM
  if (brisko::WantsWindow(brisko::ParseCommandLine(argc, argv))) StartWindowProgram(argv);
#endif
  return brisko::StationMain(argc, argv, nullptr, brisko::StartWebStatusPage);
#endif
}
