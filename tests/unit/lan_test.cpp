// LAN settings: reading and rewriting the interfaces file, and the device
// command's connection text.
#include "network/lan.h"

#include <gtest/gtest.h>

#include <string>

#include "unit/panel_fixture.h"

namespace {

const char kFile[] = "/etc/network/interfaces";

std::string octets(const At<uint8_t> *v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]);
}

TEST(Lan, ReadsTheFourAddressesIndentedOrNot) {
  PanelFixture f;
  f.root.writeFile(kFile,
                   "# The primary network interface\n"
                   "auto eth0\n"
                   "iface eth0 inet static\n"
                   "    address 192.168.1.20\n"
                   "\tnetmask 255.255.255.0\n"
                   "gateway 192.168.1.1\r\n"
                   "nameserver 8.8.4.4\n"
                   "nameserver 8.8.8.8\n");
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_STREQ(IP, "192.168.1.20");
  EXPECT_EQ(octets(IP_v), "192.168.1.20");
  EXPECT_STREQ(NetMask, "255.255.255.0");
  EXPECT_STREQ(Gateway, "192.168.1.1");
  EXPECT_EQ(Gateway_none, 0);
  EXPECT_STREQ(DNS, "8.8.8.8") << "a later line wins";
  EXPECT_EQ(octets(DNS_v), "8.8.8.8");
  EXPECT_EQ(DNS_none, 0);
}

TEST(Lan, MissingGatewayAndMissingFile) {
  PanelFixture f;
  f.root.writeFile(kFile, "address 10.0.0.7\nnetmask 255.0.0.0");  // no final newline
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_STREQ(NetMask, "255.0.0.0") << "the last character is kept without a line feed";
  EXPECT_EQ(Gateway_none, 1);
  EXPECT_EQ(DNS_none, 1);
  EXPECT_STREQ(Gateway, "");

  unlink(f.root.path(kFile).c_str());
  EXPECT_EQ(ReadLanParam(), -1);
  EXPECT_EQ(octets(IP_v), "10.0.0.7") << "octets stay as they were";
}

TEST(Lan, SplitAddrTakesAtMostFourPartsAsNumbers) {
  At<uint8_t> v[4];
  for (auto &o : v) o = 7;
  SplitAddr("1.2.3.4.5.6", v);
  EXPECT_EQ(octets(v), "1.2.3.4");
  SplitAddr("300.x.-1", v);
  EXPECT_EQ(octets(v), "44.0.255.4") << "low 8 bits; missing parts untouched";
  SplitAddr("", v);
  EXPECT_EQ(octets(v), "44.0.255.4");
}

TEST(Lan, RewriteReplacesOnlyColumnOneKeywordsAndKeepsEveryOtherLine) {
  PanelFixture f;
  SplitAddr("192.168.1.50", IP_v);
  SplitAddr("255.255.0.0", NetMask_v);
  SplitAddr("192.168.1.254", Gateway_v);
  Gateway_none = 0;
  DNS_none = 1;
  std::string in =
      "auto eth0\n"
      "iface eth0 inet static\n"
      "address 192.168.1.20\n"
      "    address 10.1.1.1\n"
      "netmask 255.255.255.0\n"
      "gateway 192.168.1.1\n"
      "nameserver 8.8.8.8\n"
      "addresses-extra stays\n"
      "# end";
  std::string out = RewriteLanFile(in);
  EXPECT_EQ(out,
            "auto eth0\n"
            "iface eth0 inet static\n"
            "address 192.168.1.50\n"
            "    address 10.1.1.1\n"
            "netmask 255.255.0.0\n"
            "gateway 192.168.1.254\n"
            "nameserver \n"
            "addresses-extra stays\n"
            "# end");
  Gateway_none = 1;
  EXPECT_EQ(RewriteLanFile("gateway 1.2.3.4\n"), "gateway \n");
}

TEST(Lan, BadFilesSurviveReadAndRewrite) {
  PanelFixture f;
  f.root.writeScript("sudo", "echo \"$@\" >> \"$OMBRIX_ROOT/tmp/sudo.log\"\n");
  std::string big;
  for (int i = 0; i < 400; ++i) big += "# comment line " + std::to_string(i) + "\n";
  big += std::string(300, 'x') + "address 6.6.6.6\n";  // long line hiding a keyword
  const char binary[] = "bin\0ary\xff\x01 bytes\n";
  big.append(binary, sizeof binary - 1);
  big += "address 172.16.0.9\n";
  big += std::string(5000, 'y');  // long last line without a line feed
  f.root.writeFile(kFile, big);
  ASSERT_EQ(ReadLanParam(), 0);
  EXPECT_STREQ(IP, "172.16.0.9") << "the tail of a long line is not read as a line";

  SplitAddr("172.16.0.10", IP_v);
  EXPECT_EQ(SaveLanParam(), 0);
  std::string out = f.root.readFile(kFile);
  std::string expect = big;
  expect.replace(expect.find("address 172.16.0.9"), 18, "address 172.16.0.10");
  EXPECT_EQ(out, expect) << "every line kept, however many and however long";
  EXPECT_EQ(f.root.readFile("/tmp/sudo.log"), "ifdown --exclude=lo -a\nifup --exclude=lo -a\n");
}

TEST(Lan, SaveStopsWhenTheRootCannotBeMadeWritable) {
  PanelFixture f;
  f.root.writeFile(kFile, "address 1.1.1.1\n");
  f.root.writeScript("mount", "exit 3\n");
  SplitAddr("2.2.2.2", IP_v);
  EXPECT_EQ(SaveLanParam(), -1);
  EXPECT_EQ(f.root.readFile(kFile), "address 1.1.1.1\n");
}

TEST(Lan, ConnectionTextAndUpdateFromTheDeviceCommand) {
  PanelFixture f;
  f.w->version.set("00.061");
  ApplyLanConnection(f.w, "00.062\n192.168.1.20\n");
  EXPECT_EQ(f.w->lanStatusText.str(), "192.168.1.20");
  EXPECT_EQ(f.w->uiUpdateAvail, 1);

  f.w->uiUpdateAvail = 0;
  ApplyLanConnection(f.w, "00.061 \n10.0.0.2\tfoo\n");
  EXPECT_EQ(f.w->lanStatusText.str(), "10.0.0.2");
  EXPECT_EQ(f.w->uiUpdateAvail, 0);

  ApplyLanConnection(f.w, "");
  EXPECT_EQ(f.w->lanStatusText.str(), "No Conn");
  EXPECT_EQ(f.w->uiUpdateAvail, 0) << "no output offers no update";

  ApplyLanConnection(f.w, "00.061\n" + std::string(200, 'z') + "\n");
  EXPECT_EQ(f.w->lanStatusText.str(), std::string(31, 'z'));

  f.root.writeScript("my_kivo", "echo 00.070; echo 'eth0 up'\n");
  ReadLANconnection(f.w);
  EXPECT_EQ(f.w->lanStatusText.str(), "eth0 up");
  EXPECT_EQ(f.w->uiUpdateAvail, 1);
}

}  // namespace
