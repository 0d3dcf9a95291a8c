#pragma once
// A private cupsd with an ippeveprinter behind one queue, for the length of one test (started by
// tools/cups_sandbox.sh). Tests skip, saying why, where the tools are not installed.
#include <gtest/gtest.h>

#include <string>

#include "common/temp_dir.h"

namespace brisko::test {

class CupsSandbox {
 public:
  CupsSandbox() = default;
  ~CupsSandbox();
  CupsSandbox(const CupsSandbox&) = delete;
  CupsSandbox& operator=(const CupsSandbox&) = delete;

  // 0 started, 77 tools missing (`message` says which), anything else a failure.
  int Start(std::string* message);

  const std::string& Folder() const { return m_dir.Path(); }
  const std::string& Server() const { return m_server; }
  const std::string& Queue() const { return m_queue; }
  const std::string& JobsDir() const { return m_jobs; }
  int PrinterPort() const { return m_port; }

  // Empties (or fills) every tray of the printer through its web form, as a person would.
  bool SetPaperOut(bool out);
  // Switches the printer off (ends the ippeveprinter).
  bool StopPrinter();
  // Runs a CUPS command line tool against this cupsd ("cupsdisable Selphy"); true on exit 0.
  bool Command(const std::string& line);
  // Points the queue at another path of the printer ("/ipp/print" is the right one).
  bool SetPrinterPath(const std::string& path);

 private:
  TempDir m_dir;
  bool m_started = false;
  std::string m_server, m_queue, m_jobs;
  int m_port = 0;
};

// Starts a sandbox per test and skips the test where that is not possible.
class CupsTest : public ::testing::Test {
 protected:
  void SetUp() override;
  CupsSandbox m_cups;
};

}  // namespace brisko::test
