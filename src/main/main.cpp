// brisko-workflow: the window where Qt is built and a display exists, else the headless station.
#include "app/station_main.h"
#include "web/status_server.h"
#ifdef BRISKO_HAVE_QT
#include "ui/window_main.h"
#endif

int main(int argc, char** argv) {
#ifdef BRISKO_HAVE_QT
  return brisko::StationMain(argc, argv, brisko::RunWindowStation, brisko::StartWebStatusPage);
#else
  return brisko::StationMain(argc, argv, nullptr, brisko::StartWebStatusPage);
#endif
}
