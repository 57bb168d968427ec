// test-labels: concurrency
// Event lines raised by several processes at once.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "outside/event/EvEvent.h"
#include "outside/event/EventLog.h"
#include "support/ForkChild.h"
#include "support/TempHome.h"

namespace events = kxmp::events;

namespace {
int RaiseText(unsigned int id, const std::string& text) {
  EvEvent ev;
  ev.initialize(2, 0x31F8390E, 0, nullptr, "");
  ev.addArgument(text.c_str(), EvEvent::kArgText);
  return ev.MajorEvent(id, 0, 0);
}
}  // namespace

class EvEventProcessesTest : public kxmp::test::HomeTest {};

TEST_F(EvEventProcessesTest, LinesOfConcurrentProcessesNeverInterleave) {
  const int kChildren = 4, kEach = 100;
  std::vector<std::unique_ptr<kxmp::test::ForkChild>> children;
  for (int c = 0; c < kChildren; ++c) {
    children.push_back(std::make_unique<kxmp::test::ForkChild>([c](kxmp::test::ForkChild::Channel&) {
      std::string big(5000, static_cast<char>('a' + c));
      for (int i = 0; i < kEach; ++i) {
        if (!RaiseText(0x4A000574, big)) return 1;
      }
      return 0;
    }));
  }
  for (auto& child : children) EXPECT_EQ(child->Join(), 0);
  std::vector<events::EventRecord> all = events::ReadAll();
  ASSERT_EQ(all.size(), static_cast<size_t>(kChildren * kEach));
  for (const auto& r : all) {
    ASSERT_EQ(r.args.size(), 1u);
    ASSERT_EQ(r.args[0].size(), 5000u);
    EXPECT_EQ(r.args[0].find_first_not_of(r.args[0][0]), std::string::npos);
  }
}
