#include "scheduler/barcode.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/temp_dir.h"

using namespace brisko;

namespace {

const std::vector<Tone> kSet = {{3000, 100}, {5000, 100}};
const std::vector<Tone> kClearAll = {{5000, 100}, {3000, 100}, {5000, 100}};
const std::vector<Tone> kClearSome = {{5000, 100}, {3000, 100}};

BarcodeInputs Filled() {
  BarcodeInputs in;
  for (int i = 0; i < kBarcodeSlotCount; ++i)
    in.m_strBarcodeInputsArray[static_cast<size_t>(i)] = "v" + std::to_string(i);
  return in;
}

}  // namespace

TEST(ABarcodeScan, fillsTheSlotOfEachDigitPrefixWithTheTrimmedRest) {
  for (int digit = 1; digit <= 9; ++digit) {
    BarcodeInputs in = Filled();
    RecordingToneSink tones;
    in.ParseBarcode(" \t" + std::to_string(digit) + "A B\r\n", &tones);
    for (int slot = 0; slot < kBarcodeSlotCount; ++slot) {
      EXPECT_EQ(in.Slot(slot), slot == digit - 1 ? "A B" : "v" + std::to_string(slot)) << digit;
    }
    EXPECT_EQ(tones.m_played, std::vector<std::vector<Tone>>{kSet});
  }
  BarcodeInputs in = Filled();
  RecordingToneSink tones;
  in.ParseBarcode("1", &tones);  // the prefix alone empties its slot, with the "set" tones
  EXPECT_EQ(in.Slot(0), "");
  EXPECT_EQ(tones.m_played, std::vector<std::vector<Tone>>{kSet});
  in.ParseBarcode("2a/b:c", &tones);  // digit-prefixed values are kept as scanned
  EXPECT_EQ(in.Slot(1), "a/b:c");
}

TEST(ABarcodeScan, clearsSlotsWithZeroCodes) {
  struct Row {
    const char* code;
    std::vector<int> emptied;
    std::vector<Tone> sound;
  };
  const std::vector<int> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const Row rows[] = {
      {"0", all, kClearAll},
      {"00", all, kClearAll},
      {" 00xyz ", all, kClearAll},
      {"0137", {0, 2, 6}, kClearSome},
      {"07", {6}, kClearSome},
      {"0a9b0", {8}, kClearSome},
      {"0x", {}, {}},
      {"0-", {}, {}},
  };
  for (const Row& row : rows) {
    BarcodeInputs in = Filled();
    RecordingToneSink tones;
    in.ParseBarcode(row.code, &tones);
    for (int slot = 0; slot < kBarcodeSlotCount; ++slot) {
      bool emptied = std::find(row.emptied.begin(), row.emptied.end(), slot) != row.emptied.end();
      EXPECT_EQ(in.Slot(slot), emptied ? "" : "v" + std::to_string(slot)) << row.code << " slot " << slot;
    }
    if (row.sound.empty()) {
      EXPECT_TRUE(tones.m_played.empty()) << row.code;
    } else {
      EXPECT_EQ(tones.m_played, std::vector<std::vector<Tone>>{row.sound}) << row.code;
    }
  }
}

TEST(ABarcodeScan, storesOtherTextsAsTheAlphaEntryWithoutFileNameCharacters) {
  const std::pair<const char*, const char*> rows[] = {
      {"a/b:c", "abc"},
      {"#42", "#42"},
      {"Smith \\/?*:\"<>| Jones", "Smith  Jones"},
      {"exit", "exit"},
      {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
      {"/", ""},
  };
  for (const auto& [code, stored] : rows) {
    BarcodeInputs in = Filled();
    RecordingToneSink tones;
    in.ParseBarcode(code, &tones);
    EXPECT_EQ(in.Slot(kAlphaSlot), stored) << code;
    EXPECT_EQ(in.Slot(0), "v0");
    EXPECT_EQ(tones.m_played, std::vector<std::vector<Tone>>{kSet}) << code;
  }
}

TEST(ABarcodeScan, ignoresAnEmptyScanButStillRebuildsTheSummary) {
  BarcodeInputs in = Filled();
  in.m_strSummary = "stale";
  RecordingToneSink tones;
  in.ParseBarcode(" \r\n\t ", &tones);
  EXPECT_EQ(in.Slot(0), "v0");
  EXPECT_TRUE(tones.m_played.empty());
  EXPECT_EQ(in.Summary().substr(0, 16), "1. Person ID: v0");
  in.ParseBarcode("", nullptr);  // no sink: silent, no crash
}

TEST(ABarcodeSummary, listsTheFilledSlotsInOrderWithTheirCaptions) {
  BarcodeInputs in;
  in.ParseBarcode("3Hall", nullptr);
  in.ParseBarcode("Smith", nullptr);
  EXPECT_EQ(in.Summary(), "3. Venue ID: Hall\n10. Alpha ID: Smith\n");
  BarcodeInputs full = Filled();
  full.ParseBarcode("0", nullptr);
  EXPECT_EQ(full.Summary(), "");
  BarcodeSlots stationSlots;  // the station keeps its slots with its other values
  EXPECT_EQ(ParseBarcode("5 x ", stationSlots, nullptr), "5. Quantity ID:  x\n");
}

TEST(AScannerDialog, closesOnExitInAnyCaseAndParsesEverythingElse) {
  std::vector<std::string> parsed;
  ScannerInputForm form([&](const std::string& text) { parsed.push_back(text); });
  for (const char* text : {"exit", "EXIT", "eXiT"}) {
    form.SetBoxText(text);
    EXPECT_EQ(form.Submit(text), ScannerInputForm::Outcome::Close) << text;
  }
  EXPECT_TRUE(parsed.empty());
  for (const char* text : {"exit ", " exit", "exits", "", "1Anna"}) {
    form.SetBoxText(text);
    EXPECT_EQ(form.Submit(text), ScannerInputForm::Outcome::Parsed) << text;
    EXPECT_EQ(form.BoxText(), "");
  }
  EXPECT_EQ(parsed, (std::vector<std::string>{"exit ", " exit", "exits", "", "1Anna"}));
  // "exit " reaches the parser, which trims it into an alpha entry.
  BarcodeInputs in;
  in.ParseBarcode(parsed[0], nullptr);
  EXPECT_EQ(in.Slot(kAlphaSlot), "exit");
}

TEST(AToneWav, holdsEveryToneBackToBackInAValidHeader) {
  std::string wav = MakeToneWav({{3000, 100}, {5000, 100}}, 8000);
  ASSERT_EQ(wav.size(), 44u + 2u * 1600u);
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(wav.substr(36, 4), "data");
  auto le32 = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(wav[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(wav[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(wav[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(wav[at + 3])) << 24;
  };
  EXPECT_EQ(le32(4), wav.size() - 8);
  EXPECT_EQ(le32(24), 8000u);
  EXPECT_EQ(le32(40), 3200u);
  // Absurd durations are bounded.
  EXPECT_LE(MakeToneWav({{1000, 1 << 30}}, 8000).size(), 44u + 2u * 16000u);
}

TEST(AnAudioToneSink, isSilentAndLogsOnceWithoutAPlayer) {
  test::TempDir empty;
  std::vector<std::string> log;
  AudioToneSink sink([&](const std::string& line) { log.push_back(line); }, empty.Path());
  EXPECT_EQ(sink.Player(), "");
  sink.Play({{3000, 100}});
  sink.Play({{5000, 100}});
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("no audio player"), std::string::npos);
}

TEST(AnAudioToneSink, handsTheGeneratedSoundToThePlayerWithoutAShell) {
  test::TempDir bin;
  std::string out = bin / "played.wav";
  test::WriteFile(bin / "paplay", "#!/bin/sh\ncat \"$1\" > '" + out + "'\n");
  std::filesystem::permissions(bin / "paplay", std::filesystem::perms::owner_all);
  std::vector<std::string> log;
  AudioToneSink sink([&](const std::string& line) { log.push_back(line); }, bin.Path());
  EXPECT_EQ(sink.Player(), bin / "paplay");
  sink.Play({{3000, 100}, {5000, 100}});
  sink.WaitForPlayers();
  EXPECT_EQ(test::ReadFile(out), MakeToneWav({{3000, 100}, {5000, 100}}));
  EXPECT_TRUE(log.empty());
  // A player that fails (no sound device) is reported once.
  test::WriteFile(bin / "paplay", "#!/bin/sh\nexit 1\n");
  sink.Play({{3000, 100}});
  sink.WaitForPlayers();
  sink.Play({{3000, 100}});
  sink.WaitForPlayers();
  EXPECT_EQ(log.size(), 1u);
}
