// The dial-up component against a scripted remote-access service: the entry setter's dialogs,
// the connection test, the dial wait and each way it ends, hanging up, and the null service.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "mail/agRasCmp.h"
#include "store/Pump.h"
#include "support/FakeRasBackend.h"
#include "support/Helpers.h"

namespace norva {
namespace {

using testing::FakeRasBackend;

class RasTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake->Entries = {"Office", "Home"};
    ras.EnumEntries();
    ras.OnErrorDialog = [this](const std::string& text) { dialogs.push_back(text); };
    ras.OnStatusChange = [this](TObject&, const std::string& text) { states.push_back(text); };
    ras.OnDisconnected = [this](TObject&) { ++disconnects; };
    SetMessagePump([this] { fake->Tick(); });
  }
  void TearDown() override { SetMessagePump(nullptr); }

  std::shared_ptr<FakeRasBackend> fake = std::make_shared<FakeRasBackend>();
  TagRas ras{fake};
  std::vector<std::string> dialogs, states;
  int disconnects = 0;
};

TEST_F(RasTest, ServiceSetterShowsEachErrorDialog) {
  ras.SetService("Office");
  ras.SetService("Nowhere");
  EXPECT_EQ(ras.Service(), "");

  ras.SetService("Home");
  ras.Connected = true;
  ras.SetService("Office");
  EXPECT_EQ(ras.Service(), "Home");

  ras.Entries.clear();
  ras.SetService("Office");
  EXPECT_EQ(ras.Service(), "Home");
  ras.SetService("");
  EXPECT_EQ(ras.Service(), "");

  EXPECT_EQ(dialogs, (std::vector<std::string>{
                         "Invalid service name",
                         "This property can be set only before\restablishing the connection",
                         "TagRas component was unable to detect\rRAS on your system."}));
}

TEST_F(RasTest, EmptyServiceCountsAsConnectedWithoutDialing) {
  ras.Dial();
  EXPECT_TRUE(ras.Connected);
  EXPECT_FALSE(ras.Dialing);
  EXPECT_TRUE(fake->Dialed.empty());
}

TEST_F(RasTest, ExistingConnectionsAvoidDialing) {
  ras.SetService("Office");
  fake->Connections = {{"Other", 7, "192.168.1.5"}};
  ras.ForceService = false;
  ras.Dial();
  EXPECT_TRUE(ras.Connected);
  EXPECT_EQ(ras.Handle, -1);

  // With ForceService only the entry's own connection counts; its handle is adopted.
  ras.ForceService = true;
  fake->Connections.push_back({"Office", 9, ""});
  ras.Connected = false;
  ras.Dial();
  EXPECT_TRUE(ras.Connected);
  EXPECT_EQ(ras.Handle, 9);
  EXPECT_TRUE(fake->Dialed.empty());

  // A connection the component did not dial is never hung up by it.
  ras.HangUp();
  EXPECT_TRUE(fake->HungUp.empty());
  EXPECT_EQ(disconnects, 0);
}

TEST_F(RasTest, ConnectionListingErrorsRaise) {
  fake->FailEnumConnections = 611;
  fake->ErrorTexts[611] = "The network is down";
  auto e = testing::Raised<ERASError>([&] { ras.IsConnected(); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->Code, 611);
  EXPECT_STREQ(e->what(), "The network is down");
  fake->FailEnumConnections = 0;
  fake->Connections = {{"Other", 7, ""}};
  fake->FailGetIPAddress = 720;
  ras.ForceService = false;
  EXPECT_THROW(ras.IsConnected(), ERASError);
}

TEST_F(RasTest, DialWaitsForTheConnectedState) {
  ras.SetService("Office");
  ras.Password = "secret";
  fake->StateTexts[0] = "Opening the port";
  fake->Reports = {{0, 0}, {5, 0}, {8192, 0}, {21, 0}};
  ras.Dial();

  EXPECT_TRUE(ras.Connected);
  EXPECT_TRUE(ras.Dialing);
  EXPECT_EQ(ras.Handle, 100);
  EXPECT_EQ(states,
            (std::vector<std::string>{"Opening the port", "Verifying user name and password",
                                      "Successfully connected"}));
  EXPECT_EQ(fake->Reports.size(), 1u);  // the wait ended at 8192
  fake->StateTexts[7] = "not one of ours";
  EXPECT_EQ(ras.StateText(7), "");
  ASSERT_EQ(fake->Written.size(), 1u);
  EXPECT_EQ(fake->Written[0].Password, "secret");
  EXPECT_TRUE(fake->RemoveFlags[0]);
  ASSERT_EQ(fake->Dialed.size(), 1u);
  EXPECT_EQ(fake->Dialed[0].Password, "secret");

  // Its own connection is now up: another Dial leaves it alone.
  ras.Dial();
  EXPECT_EQ(fake->Dialed.size(), 1u);
  EXPECT_EQ(ras.Handle, 100);

  ras.HangUp();
  ras.HangUp();
  EXPECT_EQ(fake->HungUp, (std::vector<int32_t>{100}));
  EXPECT_EQ(disconnects, 1);
  EXPECT_TRUE(ras.HungUp);
  EXPECT_FALSE(ras.Connected);
}

TEST_F(RasTest, StoredPasswordIsNotRewritten) {
  ras.SetService("Home");
  fake->StoredPasswords["Home"] = "kept";
  fake->Reports = {{8192, 0}};
  ras.Dial();
  EXPECT_TRUE(fake->Written.empty());
  EXPECT_EQ(fake->Dialed[0].Password, "kept");
}

// However an attempt fails, it raises, ends its own dial (handle 100) so that it cannot connect
// later unseen, stops its timer, and leaves nothing that ends the next attempt.
TEST(RasDialFailureTest, AFailedAttemptRaisesHangsUpAndTheNextOneConnects) {
  using Setup = std::function<void(FakeRasBackend&, TagRas&)>;
  const struct {
    Setup setup;
    std::string raised;
    bool dialed;
  } cases[] = {
      {[](FakeRasBackend& f, TagRas&) { f.Reports = {{5, 0}, {5, 691}}; }, "RAS error no 691", true},
      {[](FakeRasBackend& f, TagRas&) { f.FailGetParams = 623; }, "RAS error no 623", false},
      {[](FakeRasBackend& f, TagRas&) { f.FailDial = 633; }, "RAS error no 633", true},
      // Hung up while the connected state is being reported: it must not count as connected.
      {[](FakeRasBackend& f, TagRas& r) {
         f.Reports = {{2, 0}, {8192, 0}};
         r.OnStatusChange = [&r](TObject&, const std::string& text) {
           if (text == "Successfully connected") r.HangUp();
         };
       },
       "Operation has been canceled", true},
      {[](FakeRasBackend& f, TagRas& r) {
         f.Reports = {{2, 0}, {8192, 0}};
         r.OnStatusChange = [](TObject&, const std::string&) { throw std::runtime_error("hook"); };
       },
       "hook", true},
      {[](FakeRasBackend&, TagRas& r) { r.SetTimeOut(1); }, "Operation timed out", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raised);
    auto fake = std::make_shared<FakeRasBackend>();
    fake->Entries = {"Office"};
    TagRas ras{fake};
    ras.EnumEntries();
    ras.SetService("Office");
    int disconnects = 0;
    ras.OnDisconnected = [&](TObject&) { ++disconnects; };
    SetMessagePump([&] { fake->Tick(); });
    c.setup(*fake, ras);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(testing::What([&] { ras.Dial(); }), c.raised);
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(c.raised == "Operation timed out"));
    EXPECT_EQ(fake->Dialed.size(), c.dialed ? 1u : 0u);
    EXPECT_EQ(fake->HungUp, c.dialed ? std::vector<int32_t>{100} : std::vector<int32_t>{});
    EXPECT_EQ(disconnects, c.dialed ? 1 : 0);
    EXPECT_FALSE(ras.Connected || ras.Counter.Running());
    EXPECT_EQ(ras.Handle, -1);

    fake->FailGetParams = fake->FailDial = 0;
    fake->Reports = {{8192, 0}};
    ras.OnStatusChange = nullptr;
    ras.Dial();
    EXPECT_TRUE(ras.Connected);
    EXPECT_EQ(ras.LastError, 0);
    SetMessagePump(nullptr);
  }
}

TEST_F(RasTest, ErrorReportAfterConnectingIsRecordedNotThrown) {
  ras.SetService("Office");
  fake->Reports = {{8192, 0}};
  ras.Dial();
  fake->Reports = {{8192, 629}};
  EXPECT_NO_THROW(ProcessMessages());
  EXPECT_EQ(ras.LastError, 629);
  EXPECT_FALSE(ras.Connected);
}

TEST(RasNullBackend, NothingToDialAndNothingConnected) {
  TagRas ras;
  EXPECT_EQ(ras.TimeOut(), 120);
  ras.EnumEntries();
  EXPECT_FALSE(ras.HasEntries());
  EXPECT_EQ(ras.LastError, 0);
  EXPECT_FALSE(ras.IsConnected());
  ras.ForceService = false;
  EXPECT_FALSE(ras.IsConnected());
  ras.Dial();
  EXPECT_TRUE(ras.Connected);
  ras.HangUp();
  EXPECT_FALSE(ras.Connected);
  EXPECT_EQ(ras.RasErrorText(5), "RAS error no 5");
}

}  // namespace
}  // namespace norva
