// The setup file: defaults of a new file, round trips of working values,
// truncation of long values and survival of garbage.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/process_globals.h"
#include "core/setup.h"
#include "core/works.h"
#include "support/temp_root.h"

namespace {

struct Fixture {
  TempRoot root;
  std::unique_ptr<Works> works = std::make_unique<Works>();
  std::unique_ptr<Lumosetup> setup = std::make_unique<Lumosetup>();
  Fixture() { works->setup = setup.get(); }
  std::string file() const { return root.readFile("/opt/set/setup.txt"); }
};

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

const char *const kNewFile[] = {
    "EnableKeyb: 1", "EnableSpi: 0", "EnableTouch: 0", "DelayedTouch: 0", "EnableGPIO: 1",
    "EnableRead: 0", "EnableWrite: 0", "EnableCAT: 0", "EnableLinear: 1", "EnableTime: 1",
    "WebSocket: 1", "Pitch: 2500", "Quality: 100", "AudioIn: hw:1", "InChannels: 1",
    "AudioCompress: 0", "Multiplier: 2", "AudioOut: hw:1", "Server: 127.0.0.1", "TcpPort: 6666",
    "CatPort: /dev/ttyUSB0", "SerPort: /dev/ttyUSB1", "LinPort: /dev/ttyAMA0", "NumAntenna: 1",
    "EnablePwrPeak: 0", "TempMode: 0", "FreqSensIn: 0", "FreqPeriodTime: 10", "Attenuator: 0",
    "AttenuatorTune: 0", "SWRescAutoTune: 0", "ViewTimeStr: 0", "ViewTemp: 0",
    "MaxTemperature: 600", "MaxTemperature2: 800", "AutoTuneMaxCicli: 0", "PowerUnits: 0",
    "SaveScreenIdx: 0", "AutoTuneMode: 0", "EnableFFT: 0", "Divide: 0", "MaxTempAllowed: 60",
    "PSpar1: 1", "PSpar2: 1000", "Isteresi1: 1", "Isteresi2: 1", "PSpar3: 0", "PSpar4: 0",
    "OffsetPlot: 0", "CatSerialPort: /dev/ttyUSB1", "TUNEenabled: 0", "NumBanco: 1", "GMpar1: 2",
    "GMpar2: 100", "Peak_media: 2", "Peak_ValDec: 10", "Peak_TimeDec: 1", "Peak_Time: 3000",
    "MAXbank: 3", "BTN_longpress_Time: 5", "EnableDebug: 0", "Enable1600: 1", "EnableLOGTemp: 0",
    "AudioBuffers: 20", "AutoTuneTipo: 0", "CPUTempVentola: 80", "CPUPercVentola: 70",
};

TEST(SetupFile, MissingFileIsCreatedWithTheNewFileColumn) {
  Fixture f;
  readSetup(f.works.get());
  std::vector<std::string> got = lines(f.file());
  ASSERT_EQ(got.size(), 67u);
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], kNewFile[i]) << "line " << i;
  EXPECT_EQ(SetupChar(f.works.get(), SB_enaser), '1');
  EXPECT_EQ(SetupChar(f.works.get(), SB_EnableFFTCopy), '1');
  EXPECT_EQ(SetupChar(f.works.get(), SB_CatSerialEnable), '1');
  EXPECT_EQ(f.works->remotePassword.str(), "lamparillosa");
  EXPECT_EQ(f.works->maxBank, 3);
}

// The record's bytes, a NUL shown as '.'.
std::string recordBytes(Works &w) {
  std::string out;
  for (int i = 0; i < kSetupSize; ++i) {
    char c = w.setup->b[i].load();
    out += c == 0 ? '.' : c;
  }
  return out;
}

TEST(SetupFile, EveryKeyHasItsOwnPlaceInTheRecord) {
  // The other threads read their switches at these places: a new setup, then
  // every key at full width.
  Fixture f;
  readSetup(f.works.get());
  EXPECT_EQ(recordBytes(*f.works),
            "1000000111112500.11111100.hw:1.1111111111111110111111.64000.11112.1hw:1.11111111"
            "1111111127.0.0.1.111111/dev/ttyUSB0./dev/ttyUSB1./dev/ttyAMA0.100010.11000.11110"
            "0600.11800.11000060..111.11111000.10.0.110.0.11110.11111/dev/ttyUSB1.0.111.112.1"
            "111100.112.111110.1111.11113000.13..15.11110020.111080.11170.11.");
  std::string all;
  for (const char *line : kNewFile) {
    const char *colon = strchr(line, ':');
    all += std::string(line, colon + 2) + "98765432109876543210\n";
  }
  f.root.writeFile("/opt/set/setup.txt", all);
  readSetup(f.works.get());
  EXPECT_EQ(recordBytes(*f.works),
            "999999919999987654321.987.9876543210987654321.91998.9.987654321.98.9876543210987"
            "654321.987654321098765.987654321098.987654321098.987654321098.99999876.9998765.9"
            "998765.98765.999998765.98765.98765.98765.98765.9998765.1987654321098.987.987.987"
            "65.98765.98765.98765.98765.98765.987.98765.9998765.998765.9876..");
}

TEST(SetupFile, WorkingValuesAndTheirWriteBack) {
  Fixture f;
  f.root.writeFile("/opt/set/setup.txt",
                   "NumAntenna: 3\r\nMaxTemperature: 655\nOffsetPlot: 25\nMultiplier: 4\n"
                   "Enable1600: 0\nMaxTemperature2: 601\nFoo: 1\nSWRescAutoTune: 155\n"
                   "TcpPort: 7000\nServer: 10.1.2.3\nDivide: 7\nTUNEenabled: -128\n");
  readSetup(f.works.get());
  Works &w = *f.works;
  EXPECT_EQ(w.antenna, 2);
  EXPECT_FLOAT_EQ(w.maxTemperature, 65.5f);
  EXPECT_FLOAT_EQ(w.maxTemperature2, 60.1f);
  EXPECT_DOUBLE_EQ(w.offsetPlot, 2.0);
  EXPECT_EQ(w.audioFrames, 960);
  EXPECT_EQ(SetupChar(&w, SB_Enable1600), '0');
  EXPECT_EQ(SetupChar(&w, SB_EnableFFTCopy), '1');
  EXPECT_EQ(w.tcpPort, 7000);
  EXPECT_EQ(w.serverHost.str(), "10.1.2.3");
  EXPECT_EQ(w.divide, 7);

  writeSetup(&w);
  std::string text = f.file();
  EXPECT_NE(text.find("NumAntenna: 3\n"), std::string::npos);
  EXPECT_NE(text.find("MaxTemperature: 655\n"), std::string::npos);
  EXPECT_NE(text.find("MaxTemperature2: 601\n"), std::string::npos);
  EXPECT_NE(text.find("OffsetPlot: 20\n"), std::string::npos);
  EXPECT_NE(text.find("SWRescAutoTune: 155\n"), std::string::npos);
  EXPECT_NE(text.find("Enable1600: 0\n"), std::string::npos);
  EXPECT_NE(text.find("Divide: 7\n"), std::string::npos);
  EXPECT_NE(text.find("TUNEenabled: -128\n"), std::string::npos);
  EXPECT_EQ(text.find("Foo"), std::string::npos);
  EXPECT_EQ(lines(text).size(), 67u);
}

// A restore takes a setup.txt only when its reader keeps every line as it
// stands: anything it would cut, skip or change is refused at its line.
TEST(SetupFile, TheStrictCheckTakesTheProgramsOwnFileAndNothingTheReaderWouldChange) {
  Fixture f;
  initSetup(f.works.get());
  f.root.writeFile("/opt/set/setup.txt",
                   "NumAntenna: 3\nMaxTemperature: 655\nOffsetPlot: 20\nTcpPort: 7000\n"
                   "TUNEenabled: -128\nSWRescAutoTune: 155\nLinPort: /dev/ttyAMA0\n");
  readSetup(f.works.get());
  const std::string own = SetupFileText(f.works.get());
  int line = 0;
  std::string error;
  EXPECT_TRUE(CheckSetupText(own, &line, &error)) << line << ": " << error;
  const std::vector<std::string> rows = lines(own);
  auto find = [&](const std::string &key) {
    for (size_t i = 0; i < rows.size(); ++i)
      if (rows[i].compare(0, key.size() + 2, key + ": ") == 0) return i;
    return rows.size();
  };
  struct Bad {
    std::string key, row;
  };
  const Bad bad[] = {
      {"NumAntenna", "NumAntenna: 4"},      {"NumAntenna", "NumAntenna: "},
      {"TempMode", "TempMode: x"},          {"EnableKeyb", "EnableKeyb: 10"},
      {"AutoTuneMode", "AutoTuneMode: 2"},  {"OffsetPlot", "OffsetPlot: 25"},
      {"TUNEenabled", "TUNEenabled: 128"},  {"MaxTemperature", "MaxTemperature: 0655"},
      {"PSpar1", "PSpar1: 2147483648"},     {"PSpar1", "PSpar1: 7x"},
      {"TcpPort", "TcpPort: 0"},            {"TcpPort", "TcpPort: 65536"},
      {"LinPort", "LinPort: /dev/ttyAMA012"}, {"Divide", "Divide: +7"},
      {"Server", "Server: 10.0.0.1\r"},    {"Server", "Foo: 1"},
      {"Server", "Server 10.0.0.1"},
  };
  for (const Bad &b : bad) {
    std::vector<std::string> changed = rows;
    const size_t at = find(b.key);
    ASSERT_LT(at, rows.size()) << b.key;
    changed[at] = b.row;
    std::string text;
    for (const std::string &r : changed) text += r + "\n";
    EXPECT_FALSE(CheckSetupText(text, &line, &error)) << b.row;
    EXPECT_EQ(line, static_cast<int>(at) + 1) << b.row << ": " << error;
  }
  // A key read twice loses its first value; keys left out keep their
  // defaults, and order and a last line without its end change nothing.
  EXPECT_FALSE(CheckSetupText(own + rows[3] + "\n", &line, &error));
  EXPECT_EQ(line, 68);
  EXPECT_TRUE(CheckSetupText(rows[5] + "\n\n" + rows[2], &line, &error)) << line << ": " << error;
  EXPECT_FALSE(CheckSetupText(rows[5] + "\nServer: a" + std::string(1, '\0') + "b\n", &line, &error));
  EXPECT_EQ(line, 2);
}

TEST(SetupFile, LongValuesAreCutToTheirFieldAndGarbageKeepsDefaults) {
  Fixture f;
  std::string longPath(200, 'x');
  static const char kGarbage[] = "\x01\x02\xff\xfe binary\0 bytes\n";
  std::string garbage(kGarbage, sizeof kGarbage - 1);
  f.root.writeFile("/opt/set/setup.txt",
                   "LinPort: /dev/" + longPath + "\nSerPort: /dev/ttyS1234567890123\n" +
                       "Divide: 12345\nMaxTempAllowed: abc\nPSpar1: \nGMpar1 7\nNumAntenna: 9\n" +
                       garbage + "CPUPercVentola: 1234567\nEnableKeyb: \n" +
                       std::string(5000, 'z') + "\nTempMode: 1\nTcpPort: 0\nTcpPort: 65536\n");
  readSetup(f.works.get());
  Works &w = *f.works;
  EXPECT_EQ(SetupText(&w, SB_LinPort), "/dev/xxxxxxx");  // 12 characters and the NUL
  EXPECT_EQ(SetupText(&w, SB_SerPort), "/dev/ttyS123");
  EXPECT_EQ(SetupChar(&w, SB_enaser), '1');            // byte 7 untouched
  EXPECT_EQ(SetupChar(&w, SB_EnableFFTCopy), '1');     // byte 47 untouched
  EXPECT_EQ(SetupChar(&w, SB_CatSerialEnable), '1');   // byte 215 untouched
  EXPECT_EQ(w.divide, 12345);
  EXPECT_EQ(w.maxTempAllowed, 60);  // does not scan: unchanged
  EXPECT_EQ(w.psPar[0], 1);
  EXPECT_EQ(w.gmPar1, 2);           // no colon: not a key line
  EXPECT_EQ(w.antenna, 0);          // no antenna 9
  EXPECT_EQ(SetupChar(&w, SB_EnableKeyb), 0);
  EXPECT_EQ(w.tempMode, 1);         // the line after an overlong one still counts
  EXPECT_EQ(w.tcpPort, 6666);       // 0 and 65536 are no ports
  EXPECT_EQ(SetupChar(&w, 303), 0);
  SetSetupText(&w, SB_enaser, "55");  // no text field starts there: its byte only
  EXPECT_EQ(SetupChar(&w, SB_enaser), 0);
  EXPECT_EQ(SetupChar(&w, SB_EnableLinear), '1');
  writeSetup(&w);
  std::vector<std::string> got = lines(f.file());
  ASSERT_EQ(got.size(), 67u);
  EXPECT_EQ(got[0], "EnableKeyb: ");
  EXPECT_EQ(got[22], "LinPort: /dev/xxxxxxx");
}

TEST(SetupFile, CarriageReturnsEndAValueAndAnOverlongLineHidesNoKey) {
  Fixture f;
  // 99 bytes fill the read buffer with a CR last; what follows is still the
  // same line, so the key in it must not count.
  std::string head = "LinPort: /dev/ab:\r";
  std::string line = head + std::string(99 - head.size(), '\r') + "TempMode: 1\r\r\n";
  f.root.writeFile("/opt/set/setup.txt", line + "Server: host\rjunk\nEnableKeyb: \r5\n");
  readSetup(f.works.get());
  Works &w = *f.works;
  EXPECT_EQ(SetupText(&w, SB_LinPort), "/dev/ab:");
  EXPECT_EQ(SetupText(&w, SB_Server), "host");
  EXPECT_EQ(SetupChar(&w, SB_EnableKeyb), 0);
  EXPECT_EQ(w.tempMode, 0);
  // Written back and read again, nothing changes.
  std::string first = SetupFileText(&w);
  writeSetup(&w);
  readSetup(f.works.get());
  EXPECT_EQ(SetupFileText(&w), first);
}

TEST(SetupFile, FailedRemountKeepsTheOldFile) {
  Fixture f;
  f.root.writeFile("/opt/set/setup.txt", "TempMode: 1\n");
  readSetup(f.works.get());
  f.root.writeScript("mount", "exit 32\n");
  f.works->tempMode = 0;
  writeSetup(f.works.get());
  EXPECT_EQ(f.file(), "TempMode: 1\n");
  EXPECT_EQ(f.works->tempMode, 0);  // the in-memory setting stays
}

}  // namespace
