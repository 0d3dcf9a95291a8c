// Print Files runs against a private cupsd with an ippeveprinter behind it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/jpeg_builder.h"
#include "engine/action/action.h"
#include "engine/action/action_form.h"
#include "engine/engine_test_util.h"
#include "engine/fake_host.h"
#include "engine/kill_harness.h"
#include "engine/printing/paper_count.h"
#include "engine/printing/print_desk.h"
#include "engine/printing/print_record.h"
#include "engine/records/recovery.h"
#include "imaging/image_codec.h"
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
        host.Values().m_TempPath);
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
  // The station's recovery as it runs at start and at each pass, with this one action.
  // actionGone: as a station without the action sees them; until: the records are all settled
  // (else until a job the gone action sent is over).
  void RecoverUntilSettled(bool actionGone = false, bool until = true) {
    PrintRecovery how;
    how.desk = [this]() -> PrintDesk& { return Desk(); };
    how.settle = [this](const PrintRecord& record) {
      if (!A().MakeRun().OwnsPrintRecord(record.file)) return false;
      A().MakeRun().SettlePrint(record);
      return true;
    };
    how.orphaned = [this](const PrintRecord& record) { return !A().MakeRun().OwnsPrintRecord(record.file); };
    how.log = [this](const std::string& line) { host.AddToLog(line); };
    if (actionGone) {
      how.settle = nullptr;
      how.orphaned = [](const PrintRecord&) { return true; };
    }
    auto over = [this, until] {
      if (until) return Desk().Once().Records().empty();
      return std::any_of(host.log.begin(), host.log.end(), [](const std::string& l) {
        return l.find("so it stays where it is") != std::string::npos;
      });
    };
    for (int round = 0; round < 600 && !over(); ++round) {
      RecoverAll(host.Values().m_TempPath, MoveRecovery{}, nullptr, &how);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // A few more passes: said once only.
    for (int round = 0; round < 3 && !until; ++round)
      RecoverAll(host.Values().m_TempPath, MoveRecovery{}, nullptr, &how);
    EXPECT_TRUE(over());
  }
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
  EXPECT_TRUE(A().MakeRun().RunBody());
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
  EXPECT_TRUE(A().MakeRun().RunBody());
  EXPECT_EQ(Printed().size(), 3u);

  // A fixed number of copies; a job that completed before a crash let the file move on is not
  // printed again.
  A().m_iPrintCopies = 4;
  Photo("d.jpg", "1");
  JobRequest request{m_cups.Queue(), src + "/d.jpg", "", 4, "", PrintScaling::Default, false};
  std::string job;
  ASSERT_EQ(Desk().Once().Start(request, &job), PrintOutcome::Waiting);
  ASSERT_EQ(Desk().Once().Wait(job, 60000), PrintOutcome::Completed);
  EXPECT_TRUE(A().MakeRun().RunBody());
  EXPECT_EQ(CopiesPrinted(), (std::vector<int>{2, 3, 4, 5}));
  EXPECT_TRUE(Exists(dst + "/d.jpg"));
}

TEST_F(PrintRun, NothingIsSentWhileThePaperIsOutAndThatIsSaidOnce) {
  Photo("a.jpg");
  Photo("b.jpg");
  ASSERT_TRUE(m_cups.SetPaperOut(true));
  EXPECT_TRUE(A().MakeRun().RunBody());
  Desk().Poll();  // as the station's watch does between passes
  EXPECT_TRUE(A().MakeRun().RunBody());
  EXPECT_TRUE(Printed().empty());
  EXPECT_TRUE(Exists(src + "/a.jpg") && Exists(src + "/b.jpg"));
  const std::string paperOut = "Printer " + m_cups.Queue() + ": paper out (media-empty)";
  EXPECT_EQ(std::count(host.log.begin(), host.log.end(), paperOut), 1) << ::testing::PrintToString(host.log);

  ASSERT_TRUE(m_cups.SetPaperOut(false));
  Desk().Poll();
  EXPECT_TRUE(A().MakeRun().RunBody());
  EXPECT_EQ(Printed().size(), 2u);
  EXPECT_TRUE(Exists(dst + "/a.jpg") && Exists(dst + "/b.jpg"));
}

// The operator loaded paper for 3 prints: 2 copies each, so the second photo takes the last of
// it and the third waits, said once, until paper is loaded again.
TEST_F(PrintRun, PrintsLeftCountDownPerCopyAndNothingIsSentAtNone) {
  A().m_iPrintCopies = 2;
  Photo("a.jpg");
  Photo("b.jpg");
  Photo("c.jpg");
  PaperCount paper(host.Store());
  ASSERT_TRUE(paper.Load(m_cups.Queue(), 3));
  EXPECT_TRUE(A().MakeRun().RunBody());
  EXPECT_TRUE(A().MakeRun().RunBody());
  EXPECT_EQ(Printed().size(), 2u) << ::testing::PrintToString(host.log);
  EXPECT_EQ(paper.Left(m_cups.Queue()), 0);
  const std::string usedUp =
      "Printer " + m_cups.Queue() + ": paper used up (0 prints left); nothing is sent until paper is loaded";
  EXPECT_EQ(std::count(host.log.begin(), host.log.end(), usedUp), 1) << ::testing::PrintToString(host.log);
  const std::vector<PrinterSnapshot> shown = Desk().Snapshots();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].Summary(), m_cups.Queue() + ": paper used up; 0 prints left");

  ASSERT_TRUE(paper.Load(m_cups.Queue(), 10));
  EXPECT_TRUE(A().MakeRun().RunBody());
  EXPECT_EQ(Printed().size(), 3u);
  EXPECT_EQ(paper.Left(m_cups.Queue()), 8);
  EXPECT_TRUE(Exists(dst + "/c.jpg"));
}

// The editor offers the printer's own paper by readable names, borderless only where the printer
// has zero margins for the size; the job then carries the size as a zero-margin media-col and
// the scaling chosen.
TEST_F(PrintRun, PaperFromThePrinterAndABorderlessFillJob) {
  A().m_iPrintCopies = 1;
  ActionForm form(A());
  form.type = kPrintFiles;
  QueueMedia media;
  std::string error;
  ASSERT_TRUE(service->ReadMedia(m_cups.Queue(), &media, &error)) << error;
  form.SetQueueMedia(media);
  const std::vector<PaperChoice>& paper = form.PaperChoices();
  ASSERT_FALSE(paper.empty());
  EXPECT_EQ(paper[0].value, "");
  EXPECT_NE(
      std::find(paper.begin(), paper.end(), PaperChoice{"na_index-4x6_4x6in", "4x6 in (10x15 cm)", true}),
      paper.end());
  form.printMedia = "iso_a4_210x297mm";
  form.printBorderless = true;
  form.Update();
  EXPECT_FALSE(form.State(ActionControl::kBorderless).enabled);
  EXPECT_FALSE(form.printBorderless);
  form.printMedia = "na_index-4x6_4x6in";
  form.printBorderless = true;
  form.printScaling = 2;
  form.Update();
  EXPECT_TRUE(form.State(ActionControl::kBorderless).enabled);
  ASSERT_FALSE(form.Ok(nullptr));
  EXPECT_EQ(A().m_iPrintScaling, 2);
  EXPECT_EQ(A().m_bPrintBorderless, 1);

  Photo("a.jpg");
  EXPECT_TRUE(A().MakeRun().RunBody());
  const std::map<std::string, int> printed = Printed();
  ASSERT_EQ(printed.size(), 1u);
  // The printer keeps each job as "ID-JOBNAME.jpg", our job name being CUPS' job name.
  const std::string job = printed.begin()->first;
  std::vector<JobInfo> jobs;
  ASSERT_TRUE(service->FindJobs(m_cups.Queue(), job.substr(job.find('-') + 1), &jobs, &error)) << error;
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].scaling, "fill");
  EXPECT_TRUE(jobs[0].borderless);
  std::ifstream in(m_cups.JobsDir() + "/" + job + ".jpg.env");
  const std::string env((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(env.find("IPP_MEDIA_COL={media-size={x-dimension=10160 y-dimension=15240} media-bottom-margin=0 "
                     "media-left-margin=0 media-right-margin=0"),
            std::string::npos)
      << env;
  // Filled: the 4:3 photo reached the printer cut to the paper's 3:2; the photo itself moved on whole.
  int w = 0, h = 0;
  ASSERT_TRUE(ReadImageSize(m_cups.JobsDir() + "/" + job + ".jpg", kFormatJpeg, w, h, &error)) << error;
  EXPECT_EQ(w, 64);
  EXPECT_EQ(h, 43);
  ASSERT_TRUE(ReadImageSize(dst + "/a.jpg", kFormatJpeg, w, h, &error)) << error;
  EXPECT_EQ(h, 48);
}

// The process ends between the record and the submission, and between the submission and the
// completed job: the next start's recovery prints the photo once and moves it on.
TEST_F(PrintRun, CrashAtEveryStepGivesExactlyOneJob) {
  A().m_iPrintCopies = 2;
  std::vector<int> expected;
  for (const std::string step : {"recorded", "submitted"}) {
    SCOPED_TRACE(step);
    Photo(step + ".jpg");
    ASSERT_TRUE(RunAndDie(
        [&](const std::function<void(const std::string&)>& die) {
          Desk().Once().SetCheckpoint([&, die](const char* at) {
            if (at == step) die("1 " + step);
          });
        },
        [&] { A().MakeRun().RunBody(); }));
    ASSERT_EQ(Desk().Once().Records().size(), 1u);
    RecoverUntilSettled();
    expected.push_back(2);
    EXPECT_EQ(CopiesPrinted(), expected);
    EXPECT_TRUE(Exists(dst + "/" + step + ".jpg"));
  }
}

// Records an earlier version wrote are settled as ours; one whose action is gone sends nothing
// more, is said once and leaves its photo where it is.
TEST_F(PrintRun, OldRecordsAndRecordsOfActionsGone) {
  Photo("old.jpg");
  const std::string away = host.Dir() + "/away";
  MakeFolder(away);
  Save(away + "/gone.jpg", MakeJpeg(64, 48));
  const std::string old = host.Values().m_TempPath + "print_records/";
  MakeFolder(old);
  auto record = [&](const std::string& job, const std::string& file) {
    std::ofstream(old + job + ".rec")
        << "job-name=" << job << "\nqueue=" << m_cups.Queue() << "\nfile=" << file
        << "\ncopies=3\nmedia=\nscaling=\nborderless=0\njob-id=0\n";
  };
  record("brisko-01", src + "/old.jpg");
  record("brisko-02", away + "/gone.jpg");
  RecoverUntilSettled();
  EXPECT_EQ(CopiesPrinted(), std::vector<int>{3});
  EXPECT_TRUE(Exists(dst + "/old.jpg"));
  EXPECT_TRUE(Exists(away + "/gone.jpg"));
  EXPECT_TRUE(host.HasLogLine("Not printed (no Print Files action takes it on now): " + away + "/gone.jpg"));

  // A job sent for an action this station lacks (another station's, sharing the temp folder)
  // completes: said once, the photo stays and so does its record, until the owner moves the
  // photo on without printing it again.
  Photo("late.jpg");
  std::string job;
  ASSERT_EQ(
      Desk().Once().Start({m_cups.Queue(), src + "/late.jpg", "", 1, "", PrintScaling::Default, false}, &job),
      PrintOutcome::Waiting);
  Desk().Records().Release(job);
  RecoverUntilSettled(true, false);
  EXPECT_EQ(Printed().size(), 2u);
  EXPECT_TRUE(Exists(src + "/late.jpg"));
  EXPECT_EQ(Desk().Once().Records().size(), 1u);
  EXPECT_EQ(
      std::count_if(host.log.begin(), host.log.end(),
                    [](const std::string& l) { return l.find("late.jpg (1 copy on") != std::string::npos; }),
      1);
  RecoverUntilSettled();
  EXPECT_EQ(Printed().size(), 2u);
  EXPECT_TRUE(Exists(dst + "/late.jpg"));
}

// A queue that prints neither TIFF nor HEIF gets a JPEG made for the job; the copy goes once the
// job completed, and the photo moves on as it was. A queue that takes one of them (the machine's
// own filters in the sandbox) gets that file as it is.
TEST_F(PrintRun, TiffAndHeifPrintedAsJpegs) {
  A().m_strFileSpec = "*.tif|*.heic";
  std::string reason;
  Image picture(96, 64, 3, 200);
  ASSERT_TRUE(EncodeImageFile(picture, src + "/scan.tif", &reason)) << reason;
  std::filesystem::copy_file(std::string(BRISKO_TEST_DATA) + "/raw/nikon_d5300_heic_1.heic",
                             src + "/guest.heic");
  const std::string tiff = ReadFile(src + "/scan.tif"), heic = ReadFile(src + "/guest.heic");
  int heicWidth = 0, heicHeight = 0;
  ASSERT_TRUE(ReadImageSize(src + "/guest.heic", kFormatHeif, heicWidth, heicHeight, &reason)) << reason;

  std::vector<std::string> formats;
  std::string error;
  ASSERT_TRUE(service->DocumentFormats(m_cups.Queue(), &formats, &error)) << error;
  auto takes = [&](const char* type) {
    return std::find(formats.begin(), formats.end(), type) != formats.end();
  };
  std::vector<std::pair<int, int>> made;  // the JPEGs made for the queue
  if (!takes("image/tiff")) made.emplace_back(96, 64);
  if (!takes("image/heic") && !takes("image/heif")) made.emplace_back(heicWidth, heicHeight);

  EXPECT_TRUE(A().MakeRun().RunBody());
  std::vector<std::pair<int, int>> sizes;
  int jobs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(m_cups.JobsDir())) {
    // Beside each job: its .env and, while it prints, an empty .prn.
    const std::string extension = entry.path().extension().string();
    if (extension == ".env" || extension == ".prn") continue;
    ++jobs;
    Image printed;
    if (extension != ".jpg" || !DecodeImageFile(entry.path().string(), kFormatJpeg, printed, &reason))
      continue;
    // A filter's own JPEG of a file the queue took is not one of ours: ours have the photo's size.
    if (std::find(made.begin(), made.end(), std::pair(printed.width, printed.height)) != made.end())
      sizes.emplace_back(printed.width, printed.height);
  }
  std::sort(sizes.begin(), sizes.end());
  std::sort(made.begin(), made.end());
  EXPECT_EQ(jobs, 2);
  EXPECT_EQ(sizes, made);
  EXPECT_EQ(ReadFile(dst + "/scan.tif"), tiff);
  EXPECT_EQ(ReadFile(dst + "/guest.heic"), heic);
  for (const auto& entry : std::filesystem::directory_iterator(host.Values().m_TempPath))
    EXPECT_EQ(entry.path().filename().string().find(".brisko-print-"), std::string::npos) << entry.path();
}

// A station killed while it moved a printed photo on (placed at the destination, the photo not
// yet removed, or set aside) leaves it to the next pass, which finishes that move: the photo
// arrives once and nothing hidden stays beside the source.
TEST_F(PrintRun, AMoveOnCutShortIsFinishedFromTheCopyInPlace) {
  for (bool setAside : {false, true}) {
    SCOPED_TRACE(setAside ? "set aside" : "at its name");
    const std::string name = setAside ? "P02.jpg" : "P01.jpg";
    Photo(name);
    ASSERT_TRUE(RunAndDie(
        [&](const std::function<void(const std::string&)>& die) {
          Desk().Once().SetCheckpoint([&, die](const char* at) {
            if (std::string(at) == "submitted") die("1 submitted");
          });
        },
        [&] { A().MakeRun().RunBody(); }));
    // What the kill left of the move on: the copy in place, the photo still at the source.
    std::filesystem::copy_file(src + "/" + name, dst + "/" + name);
    if (setAside) std::filesystem::rename(src + "/" + name, SetAsideName(src + "/" + name));
    RecoverUntilSettled();
    EXPECT_FALSE(Exists(dst + "/" + name.substr(0, 3) + " (2).jpg")) << "moved twice";
    EXPECT_TRUE(Exists(dst + "/" + name));
    EXPECT_EQ(CountFiles(src), 0) << "left at the source";
  }
  EXPECT_EQ(Printed().size(), 2u) << "one job each";
}

// Two stations share the temp folder and the print folder: a photo the other station recorded a
// job for after this pass listed it is left to that station.
TEST_F(PrintRun, APhotoTheOtherStationRecordedMeanwhileIsNotPrintedAgain) {
  Photo("a.jpg");
  bool other = false;
  host.onProgress = [&] {
    if (other || host.statuses.empty() || host.statuses.back().rfind("Printing", 0) != 0) return;
    other = true;
    JobRequest request;
    request.queue = m_cups.Queue();
    request.file = src + "/a.jpg";
    std::string job;
    Desk().Once().Start(request, &job, "Prints");
    Desk().Records().Release(job);
  };
  A().MakeRun().RunBody();
  host.onProgress = nullptr;
  EXPECT_TRUE(other);
  RecoverUntilSettled();
  EXPECT_EQ(Printed().size(), 1u) << "one job for one photo";
  EXPECT_TRUE(Exists(dst + "/a.jpg"));
}

}  // namespace
}  // namespace brisko
