#include <gtest/gtest.h>

#include "outside/log/CaptureLogWriter.h"
#include "outside/log/Log.h"

namespace {
void EmitAll() {
  KXLOG_ERROR("e %d", 1);
  KXLOG_NORMAL("n %s", "x");
  KXLOG_DETAIL("d");
  KXLOG_TRACE("t");
}
}  // namespace

TEST(Log, LevelsFollowTheConventions) {
  struct Case {
    int level;
    int errors, normals, details, traces;
  } cases[] = {{-5, 1, 0, 0, 0}, {0, 1, 1, 0, 0}, {1, 1, 1, 0, 0}, {2, 1, 1, 1, 0}, {6, 1, 1, 1, 0}, {7, 1, 1, 1, 1}};
  for (const auto& c : cases) {
    auto cap = std::make_shared<CaptureLogWriter>(c.level);
    SetLogWriter(cap);
    EmitAll();
    EXPECT_EQ(cap->Count(-1, "e 1"), c.errors) << c.level;
    EXPECT_EQ(cap->Count(0, "n x"), c.normals) << c.level;
    EXPECT_EQ(cap->Count(2, "d"), c.details) << c.level;
    EXPECT_EQ(cap->Count(7, "t"), c.traces) << c.level;
  }
  SetLogWriter(nullptr);
  EmitAll();  // no logger: nothing happens
}

TEST(Log, CarriesFullSignatureAndLine) {
  auto cap = std::make_shared<CaptureLogWriter>(7);
  SetLogWriter(cap);
  EmitAll();
  SetLogWriter(nullptr);
  auto lines = cap->Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].function.find("EmitAll"), std::string::npos);
  EXPECT_GT(lines[0].line, 0);
}
