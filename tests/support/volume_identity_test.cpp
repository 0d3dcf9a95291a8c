// Which card is which: the serial each file system keeps in its first bytes.
#include "support/volume_identity.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

namespace brisko {
namespace {

std::vector<unsigned char> BootSector() {
  std::vector<unsigned char> b(2048, 0);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

TEST(VolumeSerial, EachFileSystemsSerialAndNothingFromAnythingElse) {
  auto fat32 = BootSector();
  fat32[66] = 0x29;
  const unsigned char serial[4] = {0xCD, 0xAB, 0x34, 0x12};
  std::memcpy(&fat32[67], serial, 4);
  std::memcpy(&fat32[82], "FAT32   ", 8);
  EXPECT_EQ(VolumeSerialFromBootSector(fat32.data(), fat32.size()), "1234-ABCD");

  auto fat16 = BootSector();
  fat16[38] = 0x29;
  std::memcpy(&fat16[39], serial, 4);
  std::memcpy(&fat16[54], "FAT16   ", 8);
  EXPECT_EQ(VolumeSerialFromBootSector(fat16.data(), fat16.size()), "1234-ABCD");

  auto exfat = BootSector();
  std::memcpy(&exfat[3], "EXFAT   ", 8);
  std::memcpy(&exfat[100], serial, 4);
  EXPECT_EQ(VolumeSerialFromBootSector(exfat.data(), exfat.size()), "1234-ABCD");

  auto ntfs = BootSector();
  std::memcpy(&ntfs[3], "NTFS    ", 8);
  const unsigned char ntfsSerial[8] = {8, 7, 6, 5, 4, 3, 2, 1};
  std::memcpy(&ntfs[72], ntfsSerial, 8);
  EXPECT_EQ(VolumeSerialFromBootSector(ntfs.data(), ntfs.size()), "0102030405060708");

  std::vector<unsigned char> ext(2048, 0);
  ext[1024 + 56] = 0x53;
  ext[1024 + 57] = 0xEF;
  for (int i = 0; i < 16; ++i) ext[1024 + 104 + i] = static_cast<unsigned char>(i * 17);
  EXPECT_EQ(VolumeSerialFromBootSector(ext.data(), ext.size()), "00112233-4455-6677-8899-AABBCCDDEEFF");

  // Two cards of one camera differ only here, so a serial is never made up.
  struct Case {
    const char* what;
    std::vector<unsigned char> bytes;
  };
  auto unsigned32 = fat32;
  unsigned32[510] = 0;  // no boot signature
  auto noMark = fat32;
  noMark[66] = 0;  // no extended boot record
  auto extZero = ext;
  for (int i = 0; i < 16; ++i) extZero[1024 + 104 + i] = 0;
  const Case broken[] = {
      {"nothing", {}},
      {"zeros", std::vector<unsigned char>(2048, 0)},
      {"no boot signature", unsigned32},
      {"no extended boot record", noMark},
      {"ext without a UUID", extZero},
      {"cut short", std::vector<unsigned char>(fat32.begin(), fat32.begin() + 300)},
      {"ext cut short", std::vector<unsigned char>(ext.begin(), ext.begin() + 1100)},
  };
  for (const Case& c : broken)
    EXPECT_EQ(VolumeSerialFromBootSector(c.bytes.data(), c.bytes.size()), "") << c.what;
  EXPECT_EQ(VolumeSerialFromBootSector(nullptr, 4096), "");
}

TEST(VolumeSerial, AFolderIsOnTheVolumeOfItsFileSystem) {
  // Whatever this machine tells (0 where no serial can be read), the same folder gives the same
  // answer, and a path that is not there gives none.
  EXPECT_EQ(VolumeIdOf("/"), VolumeIdOf("/."));
  EXPECT_EQ(VolumeIdOf("/no/such/folder/here"), 0u);
}

}  // namespace
}  // namespace brisko
