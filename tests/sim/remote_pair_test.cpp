// The simulator's remote pair: the lines it writes into each unit's root
// must give the program, as it reads them, its part in the pair.
#include "sim/remote_pair.h"

#include <gtest/gtest.h>

#include <memory>

#include "core/process_globals.h"
#include "core/setup.h"
#include "core/works.h"
#include "remote/remote_file.h"
#include "support/temp_root.h"

namespace {

// A kept setup file of another part: the program's own full file, CR LF.
const char kKeptSetup[] =
    "EnableKeyb: 0\r\n"
    "EnableCAT: 0\r\n"
    "WebSocket: 0\r\n"
    "Server: 10.1.2.3\r\n"
    "TcpPort: 6666\r\n"
    "LinPort: /dev/ttyAMA0\r\n"
    "WebSocket: 0\r\n";

struct ReadUnit {
  TempRoot root;
  std::unique_ptr<Works> works = std::make_unique<Works>();
  std::unique_ptr<Lumosetup> setup = std::make_unique<Lumosetup>();
  explicit ReadUnit(const std::string &setupText) {
    works->setup = setup.get();
    root.writeFile("/opt/set/setup.txt", setupText);
    readSetup(works.get());
  }
};

TEST(SimRemotePair, EachUnitReadsItsPart) {
  for (bool station : {true, false}) {
    SCOPED_TRACE(station ? "station" : "operator");
    const std::string text = sim::SetSetupKeys(kKeptSetup, sim::PairSetupKeys(station, 7001));
    EXPECT_EQ(text.find("WebSocket: 0"), std::string::npos) << "a stale line would win";
    EXPECT_NE(text.find("LinPort: /dev/ttyAMA0\n"), std::string::npos) << "others stay";
    ReadUnit unit(text);
    EXPECT_EQ(SetupChar(unit.works.get(), SB_WebSocket), station ? '1' : '2');
    EXPECT_EQ(SetupChar(unit.works.get(), SB_EnableCAT), '1');
    EXPECT_EQ(unit.works->tcpPort, 7001);
    if (!station) {
      EXPECT_EQ(unit.works->serverHost.str(), "127.0.0.1");
    }
  }
}

TEST(SimRemotePair, PassPhraseIsTheSimulatorsUnlessAPersonSetOne) {
  RemoteFileSettings fresh = ParseRemoteFile(sim::WithPairPassword("WebPort: 8080\r\n", false));
  EXPECT_TRUE(fresh.hasPassword);
  EXPECT_EQ(fresh.password, sim::kPairPassword);
  EXPECT_EQ(fresh.webPort, 8080);

  const std::string own = "Password: tried another\n";
  EXPECT_EQ(ParseRemoteFile(sim::WithPairPassword(own, false)).password, "tried another");
  EXPECT_EQ(ParseRemoteFile(sim::WithPairPassword(own, true)).password, sim::kPairPassword);
}

}  // namespace
