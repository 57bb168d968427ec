// test-labels: unit
#include "outside/event/EvEvent.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "outside/event/EventLog.h"
#include "outside/util/Endian.h"
#include "support/TempHome.h"

namespace events = kxmp::events;

class EvEventTest : public kxmp::test::HomeTest {
 protected:
  static int Raise(unsigned int id, uint64_t number, const std::string& text) {
    EvEvent ev;
    if (!ev.initialize(2, 0x31F8390E, 0, nullptr, "")) return 0;
    uint64_t le = ulittleEndianLongLong(number);
    ev.addArgument(&le, EvEvent::kArgUInt64LE);
    ev.addArgument(text.c_str(), EvEvent::kArgText);
    return ev.MajorEvent(id, 0, 0);
  }
};

TEST_F(EvEventTest, RaisingAppendsOneReadableLine) {
  auto before = std::chrono::system_clock::now() - std::chrono::seconds(1);
  ASSERT_NE(Raise(0x4A000574, 18446744073709551615ULL, "ma1*ma1*1*2"), 0);
  ASSERT_NE(Raise(0x4A000569, 7, ""), 0);
  std::string text = kxmp::test::ReadFile(home_->sub("log/events.log"));
  EXPECT_NE(text.find("\t0x4A000574\t18446744073709551615\tma1*ma1*1*2\n"), std::string::npos) << text;

  std::vector<events::EventRecord> all = events::ReadAll();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].id, 0x4A000574u);
  EXPECT_EQ(all[0].args, (std::vector<std::string>{"18446744073709551615", "ma1*ma1*1*2"}));
  EXPECT_EQ(all[1].args, (std::vector<std::string>{"7", ""}));
  EXPECT_GE(all[0].time, before);
  EXPECT_LE(all[0].time, std::chrono::system_clock::now());
}

TEST_F(EvEventTest, ArgumentsWithControlCharactersStayOnOneLine) {
  std::string nasty = "a\tb\nc\\d\r\x01\x7f" "e";
  ASSERT_NE(Raise(1, 0, nasty), 0);
  std::string text = kxmp::test::ReadFile(home_->sub("log/events.log"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
  std::vector<events::EventRecord> all = events::ReadAll();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].args.at(1), nasty);
}

TEST_F(EvEventTest, BadArgumentsAndLinesAreRefused) {
  EvEvent ev;
  EXPECT_EQ(ev.addArgument(nullptr, EvEvent::kArgText), 0);
  EXPECT_EQ(ev.addArgument("x", 99), 0);
  EXPECT_TRUE(ev.getArguments().empty());

  events::EventRecord r;
  EXPECT_FALSE(events::ParseLine("", r));
  EXPECT_FALSE(events::ParseLine("2024-01-01T00:00:00.000Z", r));
  EXPECT_FALSE(events::ParseLine("2024-01-01T00:00:00.000Z\t0x4A00057", r));
  EXPECT_FALSE(events::ParseLine("2024-01-01T00:00:00.000Z\t0x4A00057G", r));
  EXPECT_FALSE(events::ParseLine("2024-01-01T00:00:00.000Z\t0x4A000574\tbad\\q", r));
  EXPECT_FALSE(events::ParseLine("2024-01-01T00:00:00.000Z\t0x4A000574\tbad\\x4", r));
  ASSERT_TRUE(events::ParseLine("2024-01-01T00:00:01.250Z\t0x0000000A\t\\x41", r));
  EXPECT_EQ(r.id, 10u);
  EXPECT_EQ(r.args, std::vector<std::string>{"A"});
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(r.time.time_since_epoch()).count(),
            1704067201250LL);
  EXPECT_EQ(events::FormatLine(r), "2024-01-01T00:00:01.250Z\t0x0000000A\tA\n");
}

TEST_F(EvEventTest, UnwritableHomeFailsAndSays) {
  kxmp::test::WriteFile(home_->sub("file"), "x");
  ::setenv("KX_HOME", home_->sub("file").c_str(), 1);
  EvEvent ev;
  EXPECT_EQ(ev.initialize(2, 0x31F8390E, 0, nullptr, ""), 0);
  EXPECT_EQ(ev.MajorEvent(0x4A000569, 0, 0), 0);
  ::setenv("KX_HOME", home_->path().c_str(), 1);
  EXPECT_EQ(log_->CountContaining("Failed to record event 0x4A000569"), 1);
}

