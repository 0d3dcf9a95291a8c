#pragma once
// Tones that acknowledge a scan. The station plays them on the desktop's audio output; tests
// give a recording sink instead.
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace brisko {

struct Tone {
  int frequencyHz = 0;
  int durationMs = 0;
  bool operator==(const Tone&) const = default;
};

class ToneSink {
 public:
  virtual ~ToneSink() = default;
  // Plays the tones one after the other. Must not block the caller for their duration.
  virtual void Play(const std::vector<Tone>& tones) = 0;
};

// Remembers what was asked for.
class RecordingToneSink : public ToneSink {
 public:
  void Play(const std::vector<Tone>& tones) override { m_played.push_back(tones); }
  std::vector<std::vector<Tone>> m_played;
};

// A 16-bit mono PCM WAV file of the tones back to back (sine waves with short fades so that
// the joins do not click).
std::string MakeToneWav(const std::vector<Tone>& tones, int sampleRate = 44100);

// Plays through the first of pw-play, paplay and aplay found on PATH, started with posix_spawn
// and not waited for. Without a player, or when the player fails (no sound device), the tones
// are silent and one log line says so.
class AudioToneSink : public ToneSink {
 public:
  using LogFn = std::function<void(const std::string&)>;
  explicit AudioToneSink(LogFn log = {}, std::string pathVariable = {});
  ~AudioToneSink() override;
  AudioToneSink(const AudioToneSink&) = delete;
  AudioToneSink& operator=(const AudioToneSink&) = delete;

  void Play(const std::vector<Tone>& tones) override;
  // Waits for every player started so far (shutdown and tests).
  void WaitForPlayers();
  const std::string& Player() const { return m_player; }

 private:
  void Reap(bool wait);
  void LogOnce(const std::string& text);
  std::string WavFileFor(const std::vector<Tone>& tones);

  LogFn m_log;
  std::string m_player;                        // full path, "" when none was found
  std::string m_folder;                        // private folder holding the generated sounds
  std::map<std::string, std::string> m_files;  // tone key -> WAV file
  std::vector<pid_t> m_running;
  bool m_logged = false;
};

}  // namespace brisko
