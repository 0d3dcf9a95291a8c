#include "scheduler/tone_sink.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace brisko {

namespace {

void PutLe(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string FindOnPath(const std::string& pathVariable, const char* program) {
  size_t start = 0;
  while (start <= pathVariable.size()) {
    size_t end = pathVariable.find(':', start);
    if (end == std::string::npos) end = pathVariable.size();
    std::string dir = pathVariable.substr(start, end - start);
    if (!dir.empty()) {
      std::string candidate = dir + "/" + program;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    start = end + 1;
  }
  return {};
}

constexpr int kMaxRunningPlayers = 4;
constexpr int kMaxToneMs = 2000;

}  // namespace

std::string MakeToneWav(const std::vector<Tone>& tones, int sampleRate) {
  std::string pcm;
  const double kPi = 3.14159265358979323846;
  for (const Tone& tone : tones) {
    int ms = std::clamp(tone.durationMs, 0, kMaxToneMs);
    size_t samples = static_cast<size_t>(sampleRate) * static_cast<size_t>(ms) / 1000;
    size_t fade = std::min<size_t>(samples / 2, static_cast<size_t>(sampleRate) / 200);  // 5 ms
    for (size_t i = 0; i < samples; ++i) {
      double gain = 0.5;
      if (fade > 0 && i < fade) gain *= static_cast<double>(i) / static_cast<double>(fade);
      if (fade > 0 && samples - i <= fade)
        gain *= static_cast<double>(samples - i - 1) / static_cast<double>(fade);
      double v = gain * std::sin(2.0 * kPi * tone.frequencyHz * static_cast<double>(i) / sampleRate);
      PutLe(pcm, static_cast<uint16_t>(static_cast<int16_t>(std::lround(v * 32767.0))), 2);
    }
  }
  std::string out = "RIFF";
  PutLe(out, static_cast<uint32_t>(36 + pcm.size()), 4);
  out += "WAVEfmt ";
  PutLe(out, 16, 4);
  PutLe(out, 1, 2);  // PCM
  PutLe(out, 1, 2);  // mono
  PutLe(out, static_cast<uint32_t>(sampleRate), 4);
  PutLe(out, static_cast<uint32_t>(sampleRate) * 2, 4);
  PutLe(out, 2, 2);
  PutLe(out, 16, 2);
  out += "data";
  PutLe(out, static_cast<uint32_t>(pcm.size()), 4);
  out += pcm;
  return out;
}

AudioToneSink::AudioToneSink(LogFn log, std::string pathVariable) : m_log(std::move(log)) {
  if (pathVariable.empty()) {
    const char* env = std::getenv("PATH");
    pathVariable = env ? env : "/usr/local/bin:/usr/bin:/bin";
  }
  for (const char* program : {"pw-play", "paplay", "aplay"}) {
    m_player = FindOnPath(pathVariable, program);
    if (!m_player.empty()) break;
  }
}

AudioToneSink::~AudioToneSink() {
  Reap(false);
  // Players still running keep their open file; removing the names does not cut them off.
  if (!m_folder.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_folder, ec);
  }
}

void AudioToneSink::LogOnce(const std::string& text) {
  if (m_logged) return;
  m_logged = true;
  if (m_log) m_log(text);
}

void AudioToneSink::Reap(bool wait) {
  for (auto it = m_running.begin(); it != m_running.end();) {
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(*it, &status, wait ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0) {
      ++it;
      continue;
    }
    if (r == *it && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
      LogOnce("Tones are silent: " + m_player + " could not play them (no audio output?)");
    }
    it = m_running.erase(it);
  }
}

void AudioToneSink::WaitForPlayers() {
  Reap(true);
}

std::string AudioToneSink::WavFileFor(const std::vector<Tone>& tones) {
  std::string key;
  for (const Tone& t : tones) key += std::to_string(t.frequencyHz) + "x" + std::to_string(t.durationMs) + "_";
  auto found = m_files.find(key);
  if (found != m_files.end()) return found->second;
  if (m_folder.empty()) {
    const char* base = std::getenv("XDG_RUNTIME_DIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/brisko-tones-XXXXXX";
    if (!::mkdtemp(tmpl.data())) return {};
    m_folder = tmpl;
  }
  std::string path = m_folder + "/" + key + ".wav";
  std::string wav = MakeToneWav(tones);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return {};
  bool ok = ::write(fd, wav.data(), wav.size()) == static_cast<ssize_t>(wav.size());
  ::close(fd);
  if (!ok) return {};
  m_files.emplace(key, path);
  return path;
}

void AudioToneSink::Play(const std::vector<Tone>& tones) {
  if (tones.empty()) return;
  Reap(false);
  if (m_player.empty()) {
    LogOnce("Tones are silent: no audio player (pw-play, paplay or aplay) was found");
    return;
  }
  // A scanner firing faster than the tones play must not pile up processes.
  if (m_running.size() >= kMaxRunningPlayers) return;
  std::string file = WavFileFor(tones);
  if (file.empty()) {
    LogOnce("Tones are silent: cannot write the sound file");
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string quiet = "-q";
  std::vector<char*> argv;
  argv.push_back(m_player.data());
  // aplay prints a header for every file unless told to be quiet.
  if (m_player.size() >= 5 && m_player.compare(m_player.size() - 5, 5, "aplay") == 0 &&
      (m_player.size() == 5 || m_player[m_player.size() - 6] == '/')) {
    argv.push_back(quiet.data());
  }
  argv.push_back(file.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, m_player.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    LogOnce("Tones are silent: cannot start " + m_player + ": " + std::strerror(rc));
    return;
  }
  m_running.push_back(pid);
}

}  // namespace brisko
