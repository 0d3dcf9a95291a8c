#pragma once
// The station's own rclone: one `rclone rcd` it starts, owns and ends, listening on loopback
// under a random user and password that only this process knows (given through its
// environment, which other users cannot read), driven over rclone's remote-control API. The
// remotes are the user's rclone configuration; their passwords stay there.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "upload/json_value.h"

namespace brisko {

// One answer of the daemon.
struct RcReply {
  int status = 0;  // the HTTP status; 0: no answer (not started, gone, or we gave up)
  JsonValue body;
  std::string error;  // the daemon's "error" text or why there was no answer; "" on success
  bool Ok() const { return status == 200; }
};

// What a remote offers, from operations/fsinfo.
struct RemoteInfo {
  std::vector<std::string> hashes;  // the hash types it gives, as rclone names them ("md5")
  bool canMove = false;             // renames on the server (a temporary name, then the final)
};

// A file on a remote, or one of ours read through rclone.
struct RemoteItem {
  bool found = false;
  int64_t size = -1;
  std::string hash;  // of the type asked for; "" when none was asked for or the remote gives none
};

// One entry of a remote folder's listing.
struct RemoteEntry {
  std::string name;
  int64_t size = -1;
  bool isDir = false;
};

// Whether an rclone program can be run (found on PATH, or `program` when it names a file).
bool RcloneInstalled(const std::string& program = "rclone");

// "gallery:events/2026" -> fs "gallery:events", "" folder. False for a text that names no
// configured remote the plain way: a local path, an on-the-fly backend (":sftp:") or a remote
// with options written into it ("gallery,pass=x:"), which would put a secret into the settings.
bool IsPlainRemote(const std::string& text);
// A remote text as the board and the log show it: remote name and path, never more.
std::string ShownRemote(const std::string& text);
// An error text of rclone with anything that looks like credentials in an address taken out.
std::string WithoutCredentials(std::string text);

class RcloneDaemon {
 public:
  struct Options {
    std::string program = "rclone";
    std::string configFile;  // "": RCLONE_CONFIG or rclone's default
    std::vector<std::string> extraArgs;
  };
  explicit RcloneDaemon(Options options);
  ~RcloneDaemon();
  RcloneDaemon(const RcloneDaemon&) = delete;
  RcloneDaemon& operator=(const RcloneDaemon&) = delete;

  // Starts the daemon unless it runs; false with `why` when it cannot be started.
  bool Start(std::string* why = nullptr);
  bool Running();
  // Ends the daemon (and every transfer it runs).
  void Stop();

  // Calls `method` with the JSON object `body`. While it waits, `waiting` is called about ten
  // times a second; when it says false the call is given up (status 0).
  RcReply Call(const std::string& method, const std::string& body,
               const std::function<bool()>& waiting = nullptr);

  RcReply FsInfo(const std::string& fs, RemoteInfo& info);
  // `hashType` "": no hash. A missing file is found == false with an Ok reply.
  RcReply Stat(const std::string& fs, const std::string& remote, const std::string& hashType,
               RemoteItem& item, const std::function<bool()>& waiting = nullptr);
  // The entries of `folder` (not below it); a folder not made yet lists as empty.
  RcReply List(const std::string& fs, const std::string& folder, std::vector<RemoteEntry>& entries);
  RcReply CopyFile(const std::string& srcFs, const std::string& srcRemote, const std::string& dstFs,
                   const std::string& dstRemote, const std::function<bool()>& waiting = nullptr);
  // A rename on the server where both are of one remote (another root of it too).
  RcReply MoveFile(const std::string& srcFs, const std::string& srcRemote, const std::string& dstFs,
                   const std::string& dstRemote, const std::function<bool()>& waiting = nullptr);
  RcReply DeleteFile(const std::string& fs, const std::string& remote);
  // Removes the empty folders at and below `remote`; files stay, and so do their folders.
  RcReply RemoveEmptyFolders(const std::string& fs, const std::string& remote);
  // Bytes per second for every transfer; 0: no limit.
  bool SetBandwidth(int64_t bytesPerSecond);

  pid_t Pid() const { return m_pid; }

 private:
  bool StartOnce(std::string* why);
  Options m_options;
  pid_t m_pid = -1;
  int m_port = 0;
  std::string m_user, m_password;
  int64_t m_bandwidth = -1;  // as last set; -1: not set
};

}  // namespace brisko
