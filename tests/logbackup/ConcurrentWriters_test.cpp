// test-labels: concurrency
// Writers of one name at once on one machine, in two processes or as two objects: the stored
// file is always one whole source, the writer that lost says so, nothing reports success
// without its data stored; a leftover of a dead writer of this machine is taken over, a
// temporary file of another machine is never touched. (Writers on two machines:
// ManyWriters_test.cpp.)

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <string>

#include <gtest/gtest.h>

#include "kxmp/DBLogBackupDataWriter.h"
#include "kxmp/DataServerContext.h"
#include "logbackup/SharedDocument.h"
#include "logbackup/LogBackupFixture.h"
#include "outside/error/FXErrorUtil.h"
#include "support/ForkChild.h"

namespace kxmp::test {
namespace {

constexpr unsigned int kCreate = O_WRONLY | O_CREAT | O_TRUNC;
constexpr int kCommitted = 0;
constexpr int kRefusedAsBusy = 10;

bool IsBusy(const CZoError& e) {
  return FXErrorUtil::IsErrNo(e, EBUSY) && e.AsString().find("being written by another writer") != std::string::npos;
}

class ConcurrentWritersTest : public LogBackupTest {
 protected:
  std::unique_ptr<DBLogBackupDataWriter> Make() {
    return std::make_unique<DBLogBackupDataWriter>(kSubclient, false, 0, 1, "", &handler_, false);
  }

  // A child that opens `name`, tells the parent, waits for its go, then writes content in
  // pieces and closes. Its exit code says what the writer reported.
  static std::unique_ptr<ForkChild> StartWriter(const std::string& name, const std::string& content) {
    return std::make_unique<ForkChild>([name, content](ForkChild::Channel& channel) {
      DBLogBackupDataWriter w(kSubclient, false, 0, 1, "", nullptr, false);
      w.setReplaceExisting(true);  // the round before stored the name
      if (!channel.Wait()) return 2;
      CZoError e = w.open(name, kCreate, 0640);
      channel.Signal();  // opened (or refused)
      if (!channel.Wait()) return 3;
      if (e.IsError()) return IsBusy(e) && w.close(name).IsSuccess() ? kRefusedAsBusy : 4;
      for (size_t at = 0; at < content.size() && e.IsSuccess(); at += 4096) {
        e = w.write(content.data() + at, std::min<size_t>(4096, content.size() - at));
      }
      if (e.IsSuccess()) e = w.close(name);
      return e.IsSuccess() ? kCommitted : 5;
    });
  }
};

TEST_F(ConcurrentWritersTest, TwoProcessesWritingOneNameStoreOneWholeSource) {
  Attach({0});
  Make().reset();  // creates the root folder once, before the children race for it
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const std::string a = Content(200000 + round, 2 * round + 1), b = Content(150000, 2 * round + 2);
    auto first = StartWriter("same.log", a);
    auto second = StartWriter("same.log", b);
    first->channel().Signal();
    second->channel().Signal();
    // Both have tried to open before either writes: exactly one may hold the file.
    ASSERT_TRUE(first->channel().Wait());
    ASSERT_TRUE(second->channel().Wait());
    first->channel().Signal();
    second->channel().Signal();
    const int ra = first->Join(), rb = second->Join();
    ASSERT_TRUE((ra == kCommitted && rb == kRefusedAsBusy) || (ra == kRefusedAsBusy && rb == kCommitted))
        << ra << " " << rb;
    EXPECT_EQ(ReadFile(Root(0) + "/same.log"), ra == kCommitted ? a : b);
    EXPECT_FALSE(PathExists(Tmp(0, "same.log")));
  }
}

TEST_F(ConcurrentWritersTest, TwoWriterObjectsOfOneNameExcludeEachOther) {
  Attach({0});
  WriteFile(Root(0) + "/same.log", "earlier stream");
  {
    auto w1 = Make(), w2 = Make();
    w1->setReplaceExisting(true);
    ASSERT_FALSE(w1->open("same.log", kCreate, 0640).IsError());
    ASSERT_FALSE(w1->write("one", 3).IsError());
    handler_.errors.clear();
    CZoError e = w2->open("same.log", kCreate, 0640);
    EXPECT_TRUE(IsBusy(e)) << e.AsString();
    EXPECT_EQ(handler_.errors.size(), 1u);
    // The loser's clean-up, commit and end never touch the winner's file.
    EXPECT_FALSE(w2->removeFile("").IsError());
    EXPECT_FALSE(w2->removeFile("same.log").IsError());
    EXPECT_FALSE(w2->abandonFile().IsError());
    EXPECT_FALSE(w2->close("same.log").IsError());
    w2.reset();
    EXPECT_EQ(ReadFile(Tmp(0, "same.log")), "one");
    ASSERT_FALSE(w1->write("two", 3).IsError());
    ASSERT_FALSE(w1->close("same.log").IsError());
    EXPECT_EQ(ReadFile(Root(0) + "/same.log"), "onetwo");
    // Once committed, the name is free again.
    ASSERT_FALSE(w1->open("same.log", kCreate, 0640).IsError());
    ASSERT_FALSE(w1->write("three", 5).IsError());
    ASSERT_FALSE(w1->close("same.log").IsError());
    EXPECT_EQ(ReadFile(Root(0) + "/same.log"), "three");
  }
}

TEST_F(ConcurrentWritersTest, LeftoverOfThisMachineIsTakenOverAnotherMachinesIsNeverTouched) {
  Attach({0});
  auto w = Make();
  const std::string ours = Tmp(0, "x.log"), theirs = Root(0) + "/x.log.0123456789ab.tmp";
  WriteFile(ours, "dead writer's");
  WriteFile(theirs, "live writer elsewhere");
  ASSERT_FALSE(w->open("x.log", kCreate, 0640).IsError());
  EXPECT_EQ(log_->CountContaining("Taking over the temporary file [" + ours + "]"), 1);
  EXPECT_EQ(ReadFile(ours), "");
  ASSERT_FALSE(w->write("new", 3).IsError());
  ASSERT_FALSE(w->close("x.log").IsError());
  EXPECT_EQ(ReadFile(Root(0) + "/x.log"), "new");
  EXPECT_EQ(ReadFile(theirs), "live writer elsewhere");
}

// The storage host's lock of a shared document: a lock nobody refreshes is a dead holder's and
// is taken over; a live holder (refreshing it) is waited for until the wait ends, and then the
// document is left alone and the caller told; a holder whose lock was taken over stops.
TEST_F(ConcurrentWritersTest, SharedDocumentLockIsTakenFromTheDeadNeverFromTheLiving) {
  Attach({0});
  auto w = Make();
  DataServerContext* context = w->getDataServerContextPtrForBackup().get();
  const std::string lock = Root(0) + "/doc.xml.lock.tmp";
  auto append = [](const std::string& text) {
    return [text](const std::string* current, std::string& next) {
      next = (current ? *current : "") + text;
      return CZoError::Success();
    };
  };
  const logbackup::SharedLockTimes quick{std::chrono::seconds(20), std::chrono::milliseconds(200)};
  WriteFile(lock, "0123456789ab 1 dead 0\n");
  ASSERT_FALSE(logbackup::UpdateSharedDocument(context, "doc.xml", append("a"), quick).IsError());
  EXPECT_EQ(ReadFile(Root(0) + "/doc.xml"), "a");
  EXPECT_EQ(log_->CountContaining("Took over the lock [" + lock + "] of a writer that is gone"), 1);
  EXPECT_FALSE(PathExists(lock));

  logbackup::StorageLock holder(context, "doc.xml", quick);
  ASSERT_FALSE(holder.Acquire().IsError());
  std::atomic<bool> waiting{true};
  std::thread living([&] {
    while (waiting) {
      EXPECT_FALSE(holder.Confirm().IsError());  // refreshes it now and then
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  // The holder refreshes every 50 ms; only a stall of a second would make it look dead.
  CZoError e = logbackup::UpdateSharedDocument(context, "doc.xml", append("b"),
                                               {std::chrono::milliseconds(2500), std::chrono::seconds(1)});
  waiting = false;
  living.join();
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ETIMEDOUT)) << e.AsString();
  EXPECT_EQ(ReadFile(Root(0) + "/doc.xml"), "a");
  WriteFile(lock, "another writer's\n");  // as a waiter that took it for dead would leave it
  EXPECT_TRUE(FXErrorUtil::IsErrNo(holder.Confirm(), ENOLCK));
  holder.Release();
  EXPECT_EQ(ReadFile(lock), "another writer's\n");
}

// When this machine's lock file cannot be used, the lock only knows this process's writers:
// a leftover may then be a live writer's in another process, and is kept.
TEST_F(ConcurrentWritersTest, LeftoverIsKeptWhenThisMachinesLocksCannotBeChecked) {
  Attach({0});
  ASSERT_EQ(::mkdir(home_->sub("locks").c_str(), 0700) == 0 || errno == EEXIST, true);
  ASSERT_EQ(::mkdir(home_->sub("locks/byte-locks.lock").c_str(), 0700), 0);  // not a lock file
  auto w = Make();
  ASSERT_FALSE(w->open("fresh.log", kCreate, 0640).IsError());  // a new name is still written
  ASSERT_FALSE(w->write("new", 3).IsError());
  ASSERT_FALSE(w->close("fresh.log").IsError());
  EXPECT_EQ(ReadFile(Root(0) + "/fresh.log"), "new");
  const std::string tmp = Tmp(0, "x.log");
  WriteFile(tmp, "maybe alive");
  CZoError e = w->open("x.log", kCreate, 0640);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EBUSY)) << e.AsString();
  EXPECT_NE(e.AsString().find("writer locks cannot be checked"), std::string::npos) << e.AsString();
  EXPECT_EQ(ReadFile(tmp), "maybe alive");
}

}  // namespace
}  // namespace kxmp::test
