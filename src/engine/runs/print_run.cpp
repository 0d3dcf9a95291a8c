// Print Files: each selected photo printed once on the action's queue and, once its job
// completed, moved to the destination folder, so that a printed file is never printed again.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <set>
#include <thread>

#include "engine/base/record_file.h"
#include "engine/base/run_support.h"
#include "engine/printing/paper_count.h"
#include "engine/printing/print_desk.h"
#include "engine/printing/print_record.h"
#include "engine/runs/action_run.h"
#include "imaging/image_codec.h"
#include "naming/brisko_exif_fields.h"
#include "naming/exif_access.h"
#include "print/media_names.h"
#include "support/file_identity.h"
#include "support/file_ops.h"
#include "support/path_util.h"
#include "support/text.h"

namespace brisko {

namespace {

constexpr int kQuantitySlot = 4;
constexpr int kMostCopies = 999;
// How long one pass waits for the printer in all: the other actions wait for the pass, so what the
// printer has not taken by then goes in a later pass.
constexpr auto kPassPrintWait = std::chrono::seconds(30);
constexpr auto kWaitStep = std::chrono::milliseconds(250);

// What a queue without filters prints as it is.
bool Printable(const std::string& path) {
  const std::string ext = SplitPath(path).extension;
  for (const char* known : {".jpg", ".jpeg", ".png", ".pdf"}) {
    if (EqualsNoCase(ext, known)) return true;
  }
  return false;
}

// TIFF and HEIF: printed as they are where the queue takes them, else as a JPEG made from them.
const char* ConvertibleType(const std::string& path) {
  const int format = ImageFormatFromPath(path);
  return format == kFormatTiff ? "image/tiff" : format == kFormatHeif ? "image/heic" : nullptr;
}

// Photos whose pixels the imaging layer reads (a PDF goes as it is).
bool Shapeable(const std::string& path) {
  const int format = ImageFormatFromPath(path);
  return format == kFormatJpeg || format == kFormatPng || format == kFormatTiff || format == kFormatHeif;
}

// The number a barcode value starts with ("3", " 2 prints"); 0 when none.
int LeadingNumber(const std::string& text) {
  size_t i = text.find_first_not_of(' ');
  int value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min(value * 10 + (text[i] - '0'), kMostCopies);
  }
  return value;
}

void LogPrinterLines(RunHost& host, PrintDesk& desk) {
  for (const std::string& line : desk.TakeLogLines()) host.AddToLog(line);
}

}  // namespace

int ActionRun::PrintCopiesFor(const std::string& path) const {
  int copies = m_settings.m_iPrintCopies;
  if (copies <= 0) {
    // The Quantity scanned when the photo was taken, kept in its block; else today's value.
    std::string quantity = m_host->Values().m_strBarcodeInputsArray[kQuantitySlot];
    std::string comment;
    if ((HasJpgExtension(path) || EqualsNoCase(SplitPath(path).extension, ".jpeg")) &&
        DefaultExifAccess().ReadUserComment(path, comment) &&
        comment.rfind(BriskoExifFields::kBlockPrefix, 0) == 0) {
      BriskoExifFields fields;
      fields.ParseBlock(comment);
      quantity = fields.m_strBarcodeInputsArray[kQuantitySlot];
    }
    copies = LeadingNumber(quantity);
  }
  copies = std::clamp(copies, 1, kMostCopies);
  if (m_settings.m_iPrintMaxCopies > 0) copies = std::min(copies, m_settings.m_iPrintMaxCopies);
  return copies;
}

bool ActionRun::OwnsPrintRecord(const std::string& file) const {
  const std::string source = WithTrailingSeparator(TrimTrailingSeparators(m_settings.m_strSourceFolder));
  if (file.size() <= source.size() || file.compare(0, source.size(), source) != 0) return false;
  return m_settings.m_bIncludeSubFolders || file.find('/', source.size()) == std::string::npos;
}

PrintOutcome ActionRun::SettlePrint(const PrintRecord& record) {
  PrintDesk& desk = PrintDeskOf(m_host->Values(), GetTempFolder());
  // Another station sharing the temp folder is working on it right now.
  HeldPrintRecord held(desk.Records(), record.jobName);
  if (!held.Held()) return PrintOutcome::Waiting;
  PrintOnce& once = desk.Once();
  const PrintOutcome outcome = once.Advance(record.jobName);
  if (outcome == PrintOutcome::Failed) {
    // Canceled or aborted: the file stays and is printed again by a later pass.
    FinishPrintRecord(desk, record);
  }
  if (outcome != PrintOutcome::Completed) return outcome;
  const std::string copies = std::to_string(record.copies) + (record.copies == 1 ? " copy" : " copies");
  // A move on cut short while the file was set aside: back under its name, and settled below.
  SettleSetAside(record.file, [](const std::string&) { return false; });
  if (!PathExists(record.file)) {
    LogMessage("Printed file " + record.file + " (" + copies + " on " + record.queue +
               "); it was gone before it could be moved on");
    FinishPrintRecord(desk, record);
    return outcome;
  }
  BriskoExifFields fields;
  ReadFields(record.file, fields);
  const PathParts parts = SplitPath(record.file);
  const std::string target = GetDestinationFolder(record.file, fields) + parts.name + parts.extension;
  std::string placed;
  int err = 0;
  // The print record stands for the move on: one cut short (placed, the file not yet removed)
  // is finished from the copy in place, never moved a second time.
  const std::string already = PlacedCopyOf(target, record.file);
  if (!already.empty()) {
    err =
        RemoveSourceIfUnchanged(record.file, [&](const std::string& at) { return SameContent(at, already); });
    if ((err == 0 || err == ENOENT) && SyncFolderHolding(record.file)) {
      LogMessage("Printed file " + record.file + " (" + copies + " on " + record.queue + "), moved to " +
                 already);
      FinishPrintRecord(desk, record);
      return outcome;
    }
    LogMessage("FAILED: Move printed file " + record.file + " to " + already + ": " +
               ErrnoText(err ? err : EIO));
    return outcome;
  }
  if (!MoveFile(record.file, target, Collision::Rename, &placed, &err)) {
    // The record stays: the move is tried again by the next pass, the file is not printed again.
    LogMessage("FAILED: Move printed file " + record.file + " to " + target + ": " + ErrnoText(err));
    return outcome;
  }
  LogMessage("Printed file " + record.file + " (" + copies + " on " + record.queue + "), moved to " + placed);
  FinishPrintRecord(desk, record);
  return outcome;
}

void ActionRun::RecoverPrints() {
  PrintRecovery how;
  how.desk = [this]() -> PrintDesk& { return PrintDeskOf(m_host->Values(), GetTempFolder()); };
  how.settle = [this](const PrintRecord& record) {
    if (!OwnsPrintRecord(record.file)) return false;
    SettlePrint(record);
    return true;
  };
  how.log = [this](const std::string& line) { LogMessage(line); };
  RecoverPrintRecords(GetTempFolder(), how);
}

int ActionRun::PrintJobsInFlight(const std::string& queue) {
  PrintDesk& desk = PrintDeskOf(m_host->Values(), GetTempFolder());
  int inFlight = 0;
  for (const PrintRecord& record : desk.Once().Records()) {
    if (record.queue != queue) continue;
    // A job done whose file could not be moved on (or that no action owns) keeps no printer busy.
    const PrintOutcome outcome =
        OwnsPrintRecord(record.file) ? SettlePrint(record) : desk.Once().Advance(record.jobName, false);
    // CUPS not answering: taken as busy.
    if (outcome == PrintOutcome::Waiting || outcome == PrintOutcome::Unknown) ++inFlight;
  }
  for (const std::string& line : desk.TakeJobLines()) LogMessage(line);
  return inFlight;
}

bool ActionRun::WaitForPrinter(const std::string& queue, bool untilIdle,
                               std::chrono::steady_clock::time_point deadline) {
  PrintDesk& desk = PrintDeskOf(m_host->Values(), GetTempFolder());
  for (;;) {
    const int inFlight = PrintJobsInFlight(queue);
    LogPrinterLines(*m_host, desk);
    if (untilIdle ? inFlight == 0 : desk.MaySubmit(queue, inFlight)) return true;
    // Nothing new while the printer cannot print; its jobs finish in a later pass.
    if (!desk.CanPrint(queue, !untilIdle)) return false;
    if (std::chrono::steady_clock::now() >= deadline || m_host->StopWaitingForProgram() ||
        m_host->IsDialogOpen())
      return false;
    m_host->SetProgress(0, 100, GetDescription(), "Waiting for printer " + queue);
    std::this_thread::sleep_for(kWaitStep);
  }
}

bool ActionRun::PrintFiles(const std::vector<std::string>& files) {
  PrintDesk& desk = PrintDeskOf(m_host->Values(), GetTempFolder());
  desk.AddWatch(m_settings.m_strPrintQueue);
  const std::string queue = desk.ResolveQueue(m_settings.m_strPrintQueue);
  if (queue.empty()) {
    // No default destination, or CUPS not answering: the watch says so once.
    desk.CanPrint(m_settings.m_strPrintQueue);
    LogPrinterLines(*m_host, desk);
    return false;
  }
  PaperCount paper(m_host->Store());
  desk.SetPrintsLeft(queue, paper.Left(queue));
  // Never a second job for a file that has one recorded, whichever action recorded it; one that
  // recovery moves on now was listed before it went.
  std::set<std::string> recorded;
  for (const PrintRecord& record : desk.Once().Records()) recorded.insert(record.file);
  RecoverPrints();

  // Fit and fill are done here: CUPS does not pass print-scaling on to every printer.
  std::optional<PaperShape> shape;
  int paperWidth = 0, paperHeight = 0;
  if ((m_settings.m_iPrintScaling == 1 || m_settings.m_iPrintScaling == 2) &&
      MediaDimensions(m_settings.m_strPrintMedia, &paperWidth, &paperHeight))
    shape = PaperShape{paperWidth, paperHeight, m_settings.m_iPrintScaling == 2};

  const auto deadline = std::chrono::steady_clock::now() + kPassPrintWait;
  bool result = true;
  int position = 0;
  for (const std::string& file : files) {
    ++position;
    if (recorded.count(file) || m_memory.printRefused.count(file)) continue;
    const char* type = ConvertibleType(file);
    if (!Printable(file) && !type) {
      // Said once; the file stays where it is.
      m_memory.printRefused.insert(file);
      LogMessage("Not printed (only JPEG, PNG, TIFF, HEIF and PDF files are printed): " + file);
      result = false;
      continue;
    }
    // The jobs already sent are still waited for below.
    if (!WaitForPrinter(queue, false, deadline)) break;
    m_host->SetProgress(position, static_cast<int>(files.size()), GetDescription(), "Printing " + file);
    std::string sent;
    const bool convert = type && !desk.Takes(queue, type) &&
                         !(type == std::string("image/heic") && desk.Takes(queue, "image/heif"));
    if (convert || (shape && Shapeable(file))) {
      std::string reason;
      sent = MakePrintCopy(file, GetTempFolder(), &reason, shape ? &*shape : nullptr);
      if (sent.empty() && convert) {
        m_memory.printRefused.insert(file);
        LogMessage("FAILED: Cannot make a JPEG of " + file + " for printing: " + reason);
        result = false;
        continue;
      }
      if (sent.empty()) LogMessage("Sent as it is (cannot shape it for the paper: " + reason + "): " + file);
    }
    JobRequest request;
    request.queue = queue;
    request.file = file;
    request.copies = PrintCopiesFor(file);
    request.media = m_settings.m_strPrintMedia;
    request.scaling = m_settings.m_iPrintScaling == 1   ? PrintScaling::Fit
                      : m_settings.m_iPrintScaling == 2 ? PrintScaling::Fill
                                                        : PrintScaling::Default;
    request.borderless = m_settings.m_bPrintBorderless != 0 && !m_settings.m_strPrintMedia.empty();
    std::string jobName;
    PrintOutcome outcome;
    {
      // The claim of a photo by its print record, checked again under the temp folder's lock: a
      // station sharing it may have recorded a job for this photo since the pass began.
      FolderLock claim(GetTempFolder());
      bool taken = !PathExists(file);
      for (const PrintRecord& record : desk.Once().Records()) taken = taken || record.file == file;
      if (taken) {
        if (!sent.empty()) ::unlink(sent.c_str());
        continue;
      }
      outcome = desk.Once().Start(request, &jobName, m_settings.m_strName, sent);
    }
    // Any station may take the record up from now on: the job is found by its name.
    desk.Records().Release(jobName);
    for (const std::string& line : desk.TakeJobLines()) LogMessage(line);
    // The paper goes when the job is made; a job CUPS may have made counts too.
    if (outcome != PrintOutcome::Failed) desk.SetPrintsLeft(queue, paper.Use(queue, request.copies));
    // No record names the copy any more: nothing was sent, or it could not be recorded.
    if (outcome == PrintOutcome::Failed && !sent.empty()) ::unlink(sent.c_str());
    if (outcome == PrintOutcome::Failed) {
      // Refused by CUPS (or not recorded): tried again after a restart, not at every pass.
      m_memory.printRefused.insert(file);
      result = false;
    }
    if (outcome == PrintOutcome::Unknown) return false;  // CUPS did not answer: asked again next pass
  }
  // The pass ends with its files printed and moved on where the printer lets it.
  WaitForPrinter(queue, true, deadline);
  return result;
}

}  // namespace brisko
