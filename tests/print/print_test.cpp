// Printing against a real cupsd with an ippeveprinter behind it (tests/print/cups_fixture.h).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "common/jpeg_builder.h"
#include "print/cups_fixture.h"
#include "print/media_names.h"
#include "print/print_once.h"
#include "print/printer_watch.h"

namespace brisko {
namespace {

using test::CupsTest;
using test::ReadFile;
using test::TempDir;

struct LogLines {
  std::vector<std::string> lines;
  PrinterWatch::LogFn Fn() {
    return [this](const std::string& s) { lines.push_back(s); };
  }
};

// The records in memory: the station keeps them durably (the engine's print records).
class MemoryRecords final : public PrintRecordStore {
 public:
  bool Put(const PrintRecord& record, std::string*) override {
    m_records[record.jobName] = record;
    return true;
  }
  bool Remove(const std::string& jobName, std::string*) override {
    m_records.erase(jobName);
    return true;
  }
  std::vector<PrintRecord> List() override {
    std::vector<PrintRecord> out;
    for (const auto& [name, record] : m_records) out.push_back(record);
    return out;
  }

 private:
  std::map<std::string, PrintRecord> m_records;
};

TEST(MediaNames, ReadAsTheOperatorSaysThem) {
  const std::pair<const char*, const char*> rows[] = {
      {"na_index-4x6_4x6in", "4x6 in (10x15 cm)"},
      {"oe_photo-l_3.5x5in", "Photo L (3.5x5 in, 9x13 cm)"},
      {"na_letter_8.5x11in", "Letter (8.5x11 in, 22x28 cm)"},
      {"iso_a4_210x297mm", "A4 (210x297 mm)"},
      {"om_photo-100x148_100x148mm", "Photo 100x148 (100x148 mm)"},
      {"custom_min_8.9x12.7mm", "custom_min_8.9x12.7mm"},
      {"na_weird_4x6cm", "na_weird_4x6cm"},
      {"na__x6in", "na__x6in"},
      {"4x6.Borderless", "4x6.Borderless"},
      {"", ""},
  };
  for (const auto& [name, readable] : rows) EXPECT_EQ(ReadableMediaName(name), readable) << name;
  EXPECT_EQ(ReadableMediaName("na_x_" + std::string(100000, '1') + "x1in").size(), 255u);
}

TEST(PrinterReasons, OperatorTexts) {
  struct Case {
    std::vector<std::string> reasons;
    std::vector<std::string> texts;
    bool blocks;
  };
  const Case cases[] = {
      {{"none"}, {}, false},
      {{"media-empty-report"}, {"paper out (media-empty)"}, true},
      {{"media-empty-error", "media-needed-warning"},
       {"paper out (media-empty)", "paper needed (media-needed)"},
       true},
      {{"toner-empty-warning", "marker-supply-empty-error"},
       {"out of ink/ribbon (marker-supply-empty)"},
       true},
      {{"door-open", "cups-waiting-for-job-completed"}, {"door open (door-open)"}, true},
      {{"marker-supply-low-report", "connecting-to-device"},
       {"ink/ribbon low (marker-supply-low)", "connecting (connecting-to-device)"},
       false},
      {{"offline-report", "paused"}, {"offline (offline)", "stopped queue (paused)"}, true},
  };
  for (const Case& c : cases) {
    const std::vector<PrinterProblem> problems = DescribeReasons(c.reasons);
    std::vector<std::string> texts;
    bool blocks = false;
    for (const PrinterProblem& p : problems) {
      texts.push_back(p.text);
      blocks = blocks || p.blocks;
    }
    EXPECT_EQ(texts, c.texts) << c.reasons.front();
    EXPECT_EQ(blocks, c.blocks) << c.reasons.front();
  }
}

// A cupsd that accepts connections and never answers must not hold the station.
TEST(CupsPrintService, SilentOrMissingSchedulerFailsInsteadOfHanging) {
  TempDir dir;
  const std::string path = dir / "cups.sock";
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 8), 0);
  for (const std::string& server : {path, dir / "missing.sock"}) {
    auto cups = MakeCupsPrintService({server, 300, 300});
    PrinterStatus status;
    std::string error;
    EXPECT_FALSE(cups->QueryStatus("Selphy", &status, &error)) << server;
    EXPECT_FALSE(error.empty());
    // A recorded job is left alone while CUPS cannot say what became of it.
    MemoryRecords store;
    store.Put(PrintRecord{"brisko-1", "Selphy", "/x.jpg", 1, "", PrintScaling::Default, false, 0, "", ""},
              nullptr);
    LogLines log;
    PrintOnce once(*cups, store, log.Fn());
    EXPECT_EQ(once.Advance("brisko-1"), PrintOutcome::Unknown);
    EXPECT_EQ(once.InFlight("Selphy"), 1);
    EXPECT_TRUE(log.lines.empty());
  }
  close(fd);
}

class PrintCups : public CupsTest {
 protected:
  void SetUp() override {
    CupsTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    m_service = MakeCupsPrintService({m_cups.Server(), 10000, 3000});
    m_photo = m_tmp / "photo 1.jpg";
    test::Save(m_photo, test::MakeJpeg(120, 80));
  }
  std::vector<JobInfo> Jobs(const std::string& name) {
    std::vector<JobInfo> jobs;
    std::string error;
    EXPECT_TRUE(m_service->FindJobs(m_cups.Queue(), name, &jobs, &error)) << error;
    return jobs;
  }
  std::unique_ptr<PrintService> m_service;
  TempDir m_tmp;
  std::string m_photo;
};

TEST_F(PrintCups, QueueMediaAndAJobWithItsAttributes) {
  std::vector<std::string> queues;
  std::string def, error;
  ASSERT_TRUE(m_service->ListQueues(&queues, &def, &error)) << error;
  EXPECT_EQ(queues, std::vector<std::string>{m_cups.Queue()});

  QueueMedia media;
  ASSERT_TRUE(m_service->ReadMedia(m_cups.Queue(), &media, &error)) << error;
  auto find = [&](const std::string& name) {
    for (const MediaSize& m : media.sizes) {
      if (m.name == name) return m;
    }
    return MediaSize{};
  };
  EXPECT_TRUE(find("na_index-4x6_4x6in").borderless);
  EXPECT_EQ(find("na_index-4x6_4x6in").width, 10160);
  EXPECT_FALSE(find("iso_a4_210x297mm").name.empty());
  EXPECT_FALSE(find("iso_a4_210x297mm").borderless);

  MemoryRecords store;
  LogLines log;
  PrintOnce once(*m_service, store, log.Fn());
  std::string name;
  ASSERT_EQ(
      once.Start({m_cups.Queue(), m_photo, "", 3, "na_index-4x6_4x6in", PrintScaling::Fill, false}, &name),
      PrintOutcome::Waiting)
      << (log.lines.empty() ? "" : log.lines.back());
  EXPECT_EQ(once.InFlight(m_cups.Queue()), 1);
  ASSERT_EQ(once.Wait(name, 60000), PrintOutcome::Completed)
      << log.lines.back() << ReadFile(m_cups.Folder() + "/sandbox/cups/log/error_log");
  const std::vector<JobInfo> jobs = Jobs(name);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].copies, 3);
  EXPECT_EQ(jobs[0].scaling, "fill");
  EXPECT_EQ(jobs[0].media, "na_index-4x6_4x6in");
  EXPECT_FALSE(jobs[0].borderless);
  EXPECT_TRUE(once.Finish(name));
  EXPECT_EQ(once.InFlight(m_cups.Queue()), 0);

  // What reached the printer: the JPEG as it was, and the job's options.
  const std::string kept = m_cups.JobsDir() + "/" + std::to_string(jobs[0].id) + "-" + name + ".jpg";
  EXPECT_EQ(ReadFile(kept), ReadFile(m_photo));
  const std::string env = ReadFile(kept + ".env");
  EXPECT_NE(env.find("IPP_COPIES=3"), std::string::npos) << env;
  // CUPS maps the size to the queue's page size (4x6 is offered borderless only) and sends it
  // as a media-col. print-scaling stays with the job in CUPS (above); CUPS 2.4's ipp backend
  // does not pass it on to a printer whose queue has a PPD.
  EXPECT_NE(env.find("IPP_MEDIA_COL={media-size={x-dimension=10160 y-dimension=15240}"), std::string::npos)
      << env;

  // A format the queue cannot print is refused at once: no job, and no record left to be retried
  // forever. The sandbox's queue takes no TIFF; one given the machine's own filters may.
  std::vector<std::string> formats;
  ASSERT_TRUE(m_service->DocumentFormats(m_cups.Queue(), &formats, &error)) << error;
  if (std::find(formats.begin(), formats.end(), "image/tiff") != formats.end()) return;
  const std::string odd = m_tmp / "scan.tif";
  std::ofstream(odd) << std::string("II*\0\x08\0\0\0", 8) << "rest";
  std::string oddName;
  EXPECT_EQ(once.Start({m_cups.Queue(), odd, "", 1, "", PrintScaling::Default, false}, &oddName),
            PrintOutcome::Failed);
  EXPECT_EQ(once.InFlight(m_cups.Queue()), 0);
  EXPECT_TRUE(Jobs(oddName).empty());
  EXPECT_EQ(log.lines.size(), 1u);
}

TEST_F(PrintCups, WatchLogsPaperOutOnceKeepsAPersonsPauseAndRestartsAQueueCupsStopped) {
  LogLines log;
  PrinterWatch watch(*m_service, {m_cups.Queue()}, log.Fn());
  watch.SetPrintsLeft(18);
  watch.Poll();
  EXPECT_TRUE(watch.CanPrint()) << watch.Snapshot().Summary();
  EXPECT_TRUE(log.lines.empty());

  ASSERT_TRUE(m_cups.SetPaperOut(true));
  watch.Poll();
  watch.Poll();
  EXPECT_FALSE(watch.MaySubmit(0));
  const std::string paperOut = "Printer " + m_cups.Queue() + ": paper out (media-empty)";
  EXPECT_EQ(log.lines, std::vector<std::string>{paperOut});
  EXPECT_EQ(watch.Snapshot().Summary(), m_cups.Queue() + ": paper out (media-empty); 18 prints left");

  // A person pauses the queue (CUPS's "Pause Printer"): it stays paused, paper or not, and says so.
  const std::string q = "Printer " + m_cups.Queue() + ": ";
  ASSERT_TRUE(m_cups.Command("cupsdisable " + m_cups.Queue()));
  watch.Poll();
  ASSERT_TRUE(m_cups.SetPaperOut(false));
  for (int i = 0; i < 3; ++i) watch.Poll();
  EXPECT_FALSE(watch.CanPrint());
  EXPECT_EQ(watch.Snapshot().state, "paused");
  EXPECT_EQ(watch.Snapshot().Summary(), m_cups.Queue() + ": Paused; 18 prints left");
  EXPECT_EQ(log.lines,
            (std::vector<std::string>{paperOut, q + "Paused, paper out (media-empty)", q + "Paused"}));
  PrinterStatus status;
  std::string error;
  ASSERT_TRUE(m_service->QueryStatus(m_cups.Queue(), &status, &error)) << error;
  EXPECT_EQ(status.state, PrinterStatus::Stopped);
  // Resumed by a person: ready.
  ASSERT_TRUE(m_cups.Command("cupsenable " + m_cups.Queue()));
  watch.Poll();
  EXPECT_TRUE(watch.CanPrint()) << watch.Snapshot().Summary();
  EXPECT_EQ(log.lines.back(), q + "ready");
  log.lines.clear();

  // CUPS stops the queue itself when a job's backend fails (here: the printer no longer has the
  // path the queue names). Once the printer is reachable again, the queue is restarted and the
  // job prints.
  ASSERT_TRUE(m_cups.SetPrinterPath("/ipp/nothere"));
  const int job = m_service->Submit(
      {m_cups.Queue(), m_photo, "brisko-stop", 1, "", PrintScaling::Default, false}, &error, nullptr);
  ASSERT_GT(job, 0) << error;
  status = PrinterStatus{};
  for (int i = 0; i < 300 && status.state != PrinterStatus::Stopped; ++i) {
    usleep(100000);
    ASSERT_TRUE(m_service->QueryStatus(m_cups.Queue(), &status, &error)) << error;
  }
  ASSERT_EQ(status.state, PrinterStatus::Stopped);
  EXPECT_NE(status.message, "Paused");
  watch.Poll();
  EXPECT_EQ(watch.Snapshot().state, "stopped");
  ASSERT_TRUE(m_cups.SetPrinterPath("/ipp/print"));
  watch.Poll();  // ready: restarted
  watch.Poll();
  EXPECT_NE(watch.Snapshot().state, "stopped") << watch.Snapshot().Summary();
  ASSERT_GE(log.lines.size(), 2u);
  EXPECT_NE(std::find(log.lines.begin(), log.lines.end(), q + "queue restarted"), log.lines.end());
  std::vector<JobInfo> jobs;
  for (int i = 0; i < 300; ++i) {
    jobs = Jobs("brisko-stop");
    if (!jobs.empty() && jobs[0].state == JobState::Completed) break;
    usleep(100000);
  }
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].state, JobState::Completed);
  for (int i = 0; i < 3; ++i) watch.Poll();
  EXPECT_TRUE(watch.CanPrint()) << watch.Snapshot().Summary();

  watch.PagesPrinted(2);
  EXPECT_EQ(watch.Snapshot().printsLeft, 16);
  EXPECT_TRUE(watch.MaySubmit(0));
  EXPECT_FALSE(watch.MaySubmit(1));  // one job in flight per printer

  // The printer switched off: nothing new is sent.
  ASSERT_TRUE(m_cups.StopPrinter());
  watch.Poll();
  EXPECT_FALSE(watch.MaySubmit(0));
  EXPECT_EQ(log.lines.back(), q + "offline (offline)");
}

}  // namespace
}  // namespace brisko
