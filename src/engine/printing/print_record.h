#pragma once
// The print jobs' durable records, on the station's one record mechanism (record_file): a record
// is written, locked and flushed before its job is submitted, and it stays until the printed
// file has moved on. It is locked only while a process works on it (submitting, asking CUPS,
// moving the file on): between passes any station sharing the temp folder may take it up, since
// the job is found again by its name and a second look never makes a second job.
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "print/print_once.h"

namespace brisko {

struct Image;

class PrintDesk;

inline constexpr const char* kPrintRecordSuffix = ".brisko-print";
inline constexpr size_t kMaxPrintRecordBytes = 64 * 1024;
// Where earlier versions kept their records (one "<job name>.rec" each), read as ours.
inline constexpr const char* kOldPrintRecordFolder = "print_records/";

std::string FormatPrintRecord(const PrintRecord& record);
// False for anything that is not a whole record. Bounded by the input size.
bool ParsePrintRecord(std::string_view text, PrintRecord& record);

class PrintRecordFiles final : public PrintRecordStore {
 public:
  explicit PrintRecordFiles(std::string tempFolder);
  ~PrintRecordFiles() override;
  PrintRecordFiles(const PrintRecordFiles&) = delete;
  PrintRecordFiles& operator=(const PrintRecordFiles&) = delete;

  // A new record is written and held; an existing one is replaced only while held here.
  bool Put(const PrintRecord& record, std::string* error) override;
  // Removes a held record (or one already gone).
  bool Remove(const std::string& jobName, std::string* error) override;
  // Every record in the folder, held here or not.
  std::vector<PrintRecord> List() override;

  // Takes the record for this process: false while another holds it (it is working on it).
  bool Claim(const std::string& jobName);
  void Release(const std::string& jobName);

 private:
  std::string m_folder;
  std::map<std::string, std::string> m_paths;  // job name -> its record file
  std::map<std::string, int> m_held;           // job name -> the descriptor holding its lock
};

// Releases a claimed record when the scope ends (a no-op once it was removed).
class HeldPrintRecord {
 public:
  HeldPrintRecord(PrintRecordFiles& files, std::string jobName)
      : m_files(files), m_jobName(std::move(jobName)), m_held(m_files.Claim(m_jobName)) {}
  ~HeldPrintRecord() {
    if (m_held) m_files.Release(m_jobName);
  }
  HeldPrintRecord(const HeldPrintRecord&) = delete;
  HeldPrintRecord& operator=(const HeldPrintRecord&) = delete;
  bool Held() const { return m_held; }

 private:
  PrintRecordFiles& m_files;
  std::string m_jobName;
  bool m_held;
};

struct PrintRecovery {
  std::function<PrintDesk&()> desk;  // made only when there are records
  // Settles a record a Print Files action takes on (its printed file moved on); false when none
  // of the caller's actions does.
  std::function<bool(const PrintRecord& record)> settle;
  // Whether no action at all takes the record on any more (unset: none is orphaned).
  std::function<bool(const PrintRecord& record)> orphaned;
  std::function<void(const std::string& text)> log;
};

// Settles the print records in `tempFolder` that no live process holds: those an action takes on
// through `how.settle`; an orphaned one is submitted no more, and once its job is over (or was
// never made) it is dropped with one line, its file left where it is; one whose job completed
// stays while its file does (said once), so that the file is never printed again. Returns how
// many finished.
int RecoverPrintRecords(const std::string& tempFolder, const PrintRecovery& how);

// The paper a photo is shaped for: its size (any unit) and whether the photo fills it (cut to the
// paper's shape) or fits on it (white bands added). A printer's own fit or fill is not to be
// relied on: CUPS' ipp backend does not pass print-scaling on for a queue with a PPD.
struct PaperShape {
  int width = 0, height = 0;
  bool fill = false;
};

// A JPEG of `file` for the job, upright as its EXIF orientation says and, with `shape`, of the
// paper's shape (turned to the photo's orientation): a hidden file in `tempFolder`, flushed; ""
// with `reason` when it cannot be made. Made where a queue cannot print the file's own format
// (TIFF, HEIF) and where the action fits or fills the paper.
std::string MakePrintCopy(const std::string& file, const std::string& tempFolder, std::string* reason,
                          const PaperShape* shape = nullptr);
// Cuts or widens `image` to the shape of the paper (see PaperShape).
bool ShapeForPaper(Image& image, const PaperShape& shape, std::string* reason);
// The decoded `file` (of image `format`) turned upright as its EXIF says and, with `shape`, shaped.
bool PrepareForPaper(const std::string& file, int format, Image& image, const PaperShape* shape,
                     std::string* reason);

// Drops a settled record with the converted copy it printed.
bool FinishPrintRecord(PrintDesk& desk, const PrintRecord& record);

}  // namespace brisko
