// Print Files runs against a private cupsd with an ippeveprinter behind it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/jpeg_builder.h"
#include "engine/action.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "engine/print_desk.h"
#include "naming/brisko_exif_fields.h"
#include "naming/exif_access.h"
#include "print/cups_fixture.h"

namespace brisko {
namespace {

using namespace test;

class PrintRun : public CupsTest {
 protected:
  void SetUp() override {
    CupsTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string server = m_cups.Server();
    host.Values().m_printing = std::make_shared<PrintDesk>(
        [server] {
          return MakeCupsPrintService({server, 10000, 3000});
        },
        host.Dir() + "/records");
    service = MakeCupsPrintService({server, 10000, 3000});
    src = host.Dir() + "/in";
    dst = host.Dir() + "/printed";
    MakeFolder(src);
    MakeFolder(dst);
    action = std::make_unique<Action>(host);
    A().m_strName = "Prints";
    A().m_iType = kPrintFiles;
    A().m_strSourceFolder = src;
    A().m_strDestFolder = dst;
    A().m_strFileSpec = "*.jpg";
    A().m_strPrintQueue = m_cups.Queue();
  }

  Action& A() { return *action; }
  PrintDesk& Desk() { return *host.Values().m_printing; }
  // A photo, with a BriskoExif block holding `quantity` when given.
  void Photo(const std::string& name, const char* quantity = nullptr) {
    const std::string path = src + "/" + name;
    Save(path, MakeJpeg(64, 48));
    if (quantity) {
      BriskoExifFields fields;
      fields.m_strBarcodeInputsArray[4] = quantity;
      const std::string tagged = host.Dir() + "/tagged.jpg";
      ASSERT_TRUE(fields.WriteToFile(path, tagged, DefaultExifAccess()));
      std::filesystem::rename(tagged, path);
    }
  }
  // The copies of every job the printer received, by the file it printed (the job name's photo).
  std::map<std::string, int> Printed() {
    std::map<std::string, int> copies;
    for (const auto& entry : std::filesystem::directory_iterator(m_cups.JobsDir())) {
      const std::string path = entry.path().string();
      if (path.size() < 4 || path.compare(path.size() - 4, 4, ".env") != 0) continue;
      std::ifstream in(path);
      std::string line;
      int n = 0;
      while (std::getline(in, line)) {
        if (line.rfind("IPP_COPIES=", 0) == 0) n = std::stoi(line.substr(11));
      }
      copies[entry.path().stem().stem().string()] = n;
    }
    return copies;
  }
  std::vector<int> CopiesPrinted() {
    std::vector<int> out;
    for (const auto& [job, n] : Printed()) out.push_back(n);
    std::sort(out.begin(), out.end());
    return out;
  }

  FakeHost host;
  std::unique_ptr<PrintService> service;
  std::string src, dst;
  std::unique_ptr<Action> action;
};

TEST_F(PrintRun, EachPhotoPrintedOnceWithItsCopiesAndMovedOnOnlyOnceItsJobCompleted) {
  A().m_iPrintCopies = 0;  // the Quantity
  A().m_iPrintMaxCopies = 5;
  host.Values().m_strBarcodeInputsArray[4] = "2";
  Photo("a.jpg");        // no block: the operator's value now
  Photo("b.jpg", "3");   // the value when it was taken
  Photo("c.jpg", "12");  // capped
  // Whenever the run reports progress, every photo whose job has not completed is still there.
  int looked = 0;
  host.onProgress = [&] {
    for (const PrintRecord& r : Desk().Once().Records()) {
      std::vector<JobInfo> jobs;
      std::string error;
      ASSERT_TRUE(service->FindJobs(r.queue, r.jobName, &jobs, &error)) << error;
      if (jobs.empty() || jobs[0].state != JobState::Completed) {
        EXPECT_TRUE(Exists(r.file)) << r.file;
      }
      ++looked;
    }
  };
  EXPECT_TRUE(A().RunBody());
  EXPECT_GT(looked, 0);
  EXPECT_EQ(CopiesPrinted(), (std::vector<int>{2, 3, 5}));
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) {
    EXPECT_FALSE(Exists(src + "/" + name)) << name;
    EXPECT_TRUE(Exists(dst + "/" + name)) << name;
    EXPECT_TRUE(host.HasLogLine(A().GetDescription() + " Printed file " + src + "/" + name + " (" +
                                (name[0] == 'a'   ? "2 copies"
                                 : name[0] == 'b' ? "3 copies"
                                                  : "5 copies") +
                                " on " + m_cups.Queue() + "), moved to " + dst + "/" + name))
        << name;
  }
  EXPECT_TRUE(Desk().Once().Records().empty());

  // Nothing left to print: the second pass sends nothing.
  host.onProgress = nullptr;
  EXPECT_TRUE(A().RunBody());
  EXPECT_EQ(Printed().size(), 3u);

  // A fixed number of copies; a job that completed before a crash let the file move on is not
  // printed again.
  A().m_iPrintCopies = 4;
  Photo("d.jpg", "1");
  JobRequest request{m_cups.Queue(), src + "/d.jpg", "", 4, "", PrintScaling::Default, false};
  std::string job;
  ASSERT_EQ(Desk().Once().Start(request, &job), PrintOutcome::Waiting);
  ASSERT_EQ(Desk().Once().Wait(job, 60000), PrintOutcome::Completed);
  EXPECT_TRUE(A().RunBody());
  EXPECT_EQ(CopiesPrinted(), (std::vector<int>{2, 3, 4, 5}));
  EXPECT_TRUE(Exists(dst + "/d.jpg"));
}

TEST_F(PrintRun, NothingIsSentWhileThePaperIsOutAndThatIsSaidOnce) {
  Photo("a.jpg");
  Photo("b.jpg");
  ASSERT_TRUE(m_cups.SetPaperOut(true));
  EXPECT_TRUE(A().RunBody());
  Desk().Poll();  // as the station's watch does between passes
  EXPECT_TRUE(A().RunBody());
  EXPECT_TRUE(Printed().empty());
  EXPECT_TRUE(Exists(src + "/a.jpg") && Exists(src + "/b.jpg"));
  const std::string paperOut = "Printer " + m_cups.Queue() + ": paper out (media-empty)";
  EXPECT_EQ(std::count(host.log.begin(), host.log.end(), paperOut), 1) << ::testing::PrintToString(host.log);

  ASSERT_TRUE(m_cups.SetPaperOut(false));
  Desk().Poll();
  EXPECT_TRUE(A().RunBody());
  EXPECT_EQ(Printed().size(), 2u);
  EXPECT_TRUE(Exists(dst + "/a.jpg") && Exists(dst + "/b.jpg"));
}

}  // namespace
}  // namespace brisko
