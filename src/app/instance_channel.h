#pragma once
// One station per settings store. The first start holds an flock()ed lock file beside the store
// (so that a start with another runtime folder still finds it), writes the path of its Unix
// socket into it and listens there; a later start finds the lock taken, reads where the socket
// is and sends its request (bring the window forward, run a command, take a barcode) as one line.
// The window listens with QLocalServer on the same path, the headless loop with
// InstanceServer below; both speak this line format.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brisko {

struct InstanceRequest {
  enum Kind { Raise, Command, Barcode, PaperLoaded, Actions };
  Kind kind = Raise;
  int command = 0;   // 1 to 20 for Command
  std::string text;  // the scanned text for Barcode; "[QUEUE:]COUNT" for PaperLoaded
  // The words after "actions" for Actions.
  std::vector<std::string> args = {};

  bool operator==(const InstanceRequest&) const = default;
};

// What the running station says back to a request other than actions: "ok" with what it did, or
// "error" with why not. Only a paper load is answered after it is done; other requests are
// answered as they arrive.
struct PaperAnswer {
  bool ok = true;
  std::string text;  // one line
};
// "ok\n", "ok TEXT\n" or "error TEXT\n"; line breaks in the text become blanks, and it is cut to
// fit the reader's line.
std::string FormatPaperAnswer(const PaperAnswer& answer);

// Longest request line accepted, newline included; a peer sending more is dropped.
constexpr size_t kMaxInstanceRequestBytes = 64 * 1024;
// Longest answer to an actions request.
constexpr size_t kMaxInstanceReplyBytes = 1024 * 1024;

// "raise\n", "command N\n", "barcode TEXT\n", "paper-loaded [QUEUE:]COUNT\n" (see
// ParsePaperLoad) or "actions WORD WORD...\n" (each word percent-encoded, so that blanks and line
// breaks inside one stay in it). Empty when the request cannot be sent (a barcode holding a line
// break or NUL, a paper load that does not parse, or too long).
std::string FormatInstanceRequest(const InstanceRequest& request);
// Parses one line without its newline.
std::optional<InstanceRequest> ParseInstanceRequest(std::string_view line);

struct InstancePaths {
  std::string lock;    // "<store>.lock"
  std::string socket;  // where this start would listen
};
// The socket lives in $XDG_RUNTIME_DIR when that is a folder of ours (else in a private folder
// in /tmp), named after the canonical store path so that stations on different stores do not
// meet.
InstancePaths InstancePathsForStore(const std::string& storePath);
// The socket path a lock file names: its first line, an absolute path that fits a socket
// address. Empty for anything else.
std::string ParseLockFileSocket(std::string_view content);
// Reads the socket path the holder of `lockPath` wrote; empty when there is none (yet).
std::string ReadLockFileSocket(const std::string& lockPath);
// The private folder used without $XDG_RUNTIME_DIR: "<tmpRoot>/brisko-workflow-<uid>", or, when
// another user got that name first, "<home>/.brisko-workflow-run". Never a folder others can
// write to: there they could hold the lock or stand in for the socket.
std::string PrivateRuntimeFolder(const std::string& tmpRoot, const std::string& home);

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  enum Result { Acquired, HeldByOther, Failed };
  Result Acquire(const std::string& path, std::string* error = nullptr);
  bool Held() const { return m_fd >= 0; }
  // Writes the socket path into the held lock file for later starts to read.
  bool Publish(const std::string& socketPath);

 private:
  int m_fd = -1;
};

// Sends the request and waits up to timeoutMs for the answer. Retries the connection for a
// while, since the first station may still be starting. Talks only to a station of this user.
// `answer` gets what the station said when it said anything.
bool SendInstanceRequest(const std::string& socketPath, const InstanceRequest& request, int timeoutMs,
                         std::string* error = nullptr, PaperAnswer* answer = nullptr);

// Bytes up to blank, "%", DEL and the non-printing ones as %XX; and back (nullopt for a broken escape).
std::string PercentEncode(std::string_view text);
std::optional<std::string> PercentDecode(std::string_view text);

// The answer to an actions request: "done CODE OUT ERR" on one line, OUT and ERR percent-encoded.
struct InstanceAnswer {
  int exitCode = 0;
  std::string out, err;
  bool operator==(const InstanceAnswer&) const = default;
};
std::string FormatInstanceAnswer(const InstanceAnswer& answer);
std::optional<InstanceAnswer> ParseInstanceAnswer(std::string_view line);
// An actions request: sends it and waits up to timeoutMs for the station's answer.
bool SendActionsRequest(const std::string& socketPath, const std::vector<std::string>& args, int timeoutMs,
                        InstanceAnswer& answer, std::string* error = nullptr);

// The headless station's side of the socket.
class InstanceServer {
 public:
  InstanceServer() = default;
  ~InstanceServer();
  InstanceServer(const InstanceServer&) = delete;
  InstanceServer& operator=(const InstanceServer&) = delete;

  // Removes a stale socket (only call it while holding the lock) and listens.
  bool Listen(const std::string& socketPath, std::string* error = nullptr);
  int Fd() const { return m_fd; }
  // Accepts one waiting connection, reads its line (bounded in size and time), answers it.
  // Returns the request when one was read and understood and is still to be handled. An actions
  // request is answered by `answer` at once (its answer is the work's result) and a paper load by
  // `handleNow` (when given) once it is done, saying what it did; neither is returned.
  using Answerer = std::function<InstanceAnswer(const InstanceRequest&)>;
  std::optional<InstanceRequest> AcceptOne(
      const Answerer& answer = {},
      const std::function<PaperAnswer(const InstanceRequest&)>& handleNow = nullptr);

 private:
  int m_fd = -1;
  std::string m_path;
};

}  // namespace brisko
