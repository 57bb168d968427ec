#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <thread>
#include <vector>

#include "support/CaptureLogWriter.h"
#include "outside/log/FileLogWriter.h"
#include "outside/log/Log.h"
#include "support/ForkChild.h"
#include "support/TempHome.h"

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

// The file logger asks the process and thread ids once per thread; a forked child must still
// write its own.
TEST(Log, FileLinesCarryTheWritingProcessAlsoAfterFork) {
  kxmp::test::TempHome home;
  const std::string path = home.sub("ids.log");
  auto file = std::make_shared<FileLogWriter>(path, 0);
  SetLogWriter(file);
  KXLOG_NORMAL("parent before");
  pid_t childPid = 0;
  {
    kxmp::test::ForkChild child([](kxmp::test::ForkChild::Channel&) {
      KXLOG_NORMAL("child");
      return 0;
    });
    childPid = child.pid();
    EXPECT_EQ(child.Join(), 0);
  }
  KXLOG_NORMAL("parent after");
  SetLogWriter(nullptr);
  const std::string text = kxmp::test::ReadFile(path);
  // "dateTtime.msZ pid tid level function:line message"
  auto pidOf = [&](const std::string& message) {
    const size_t end = text.find(" " + message + "\n");
    const size_t start = end == std::string::npos ? end : text.rfind('\n', end);
    std::istringstream line(text.substr(start == std::string::npos ? 0 : start + 1));
    std::string stamp;
    long pid = 0;
    line >> stamp >> pid;
    return pid;
  };
  EXPECT_EQ(pidOf("parent before"), static_cast<long>(::getpid()));
  EXPECT_EQ(pidOf("child"), static_cast<long>(childPid));
  EXPECT_EQ(pidOf("parent after"), static_cast<long>(::getpid()));
}

// A batch keeps a thread's lines until it closes or flushes; an error line is written at
// once with the lines before it; order is kept; another thread's lines are not held.
TEST(Log, BatchedLinesKeepTheirOrderAndErrorsAreWrittenAtOnce) {
  kxmp::test::TempHome home;
  const std::string path = home.sub("batch.log");
  auto file = std::make_shared<FileLogWriter>(path, 0);
  SetLogWriter(file);
  auto lines = [&] {
    std::vector<std::string> out;
    std::istringstream in(kxmp::test::ReadFile(path));
    for (std::string l; std::getline(in, l);) out.push_back(l.substr(l.rfind(' ') + 1));
    return out;
  };
  {
    LogLineBatch outer;
    KXLOG_NORMAL("one");
    {
      LogLineBatch inner;  // nested: the outer one collects
      KXLOG_NORMAL("two");
    }
    EXPECT_TRUE(lines().empty());
    std::thread([] { KXLOG_NORMAL("other"); }).join();
    EXPECT_EQ(lines(), (std::vector<std::string>{"other"}));
    KXLOG_ERROR("three");
    EXPECT_EQ(lines(), (std::vector<std::string>{"other", "one", "two", "three"}));
    KXLOG_NORMAL("four");
    LogLineBatch::Flush();
    EXPECT_EQ(lines().back(), "four");
    KXLOG_NORMAL("five");
  }
  EXPECT_EQ(lines(), (std::vector<std::string>{"other", "one", "two", "three", "four", "five"}));
  // A logger no shared_ptr owns cannot be held by a batch: its lines go out at once.
  FileLogWriter plain(path, 0);
  {
    LogLineBatch batch;
    plain.Write(0, "f", 1, 0, 0, "six");
    EXPECT_EQ(lines().back(), "six");
  }
  SetLogWriter(nullptr);
}
