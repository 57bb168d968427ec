#include "kxmp/StreamContext.h"

#include <gtest/gtest.h>

#include "logbackup/DataWriterReaderMetadata.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/xml/CNMessageFactory.h"
#include "support/TempHome.h"

namespace kxmp::test {
namespace {

class StreamContextTest : public HomeTest {};

// Counts its own destruction, to see that the context deletes a handle it still holds.
class CountingFile : public CFileInterface {
 public:
  explicit CountingFile(int* deleted) : deleted_(deleted) {}
  ~CountingFile() override { ++*deleted_; }
  CZoError Open(std::string, int, int, int) override { return {}; }
  CZoError Close() override { return {}; }
  CZoError Read(void*, unsigned int, unsigned int*) override { return {}; }
  CZoError Write(const void*, unsigned int, unsigned int*) override { return {}; }
  CZoError Seek(long long, int, int) override { return {}; }
  CZoError Tell(long long&) override { return {}; }
  CZoError GetSize(long long&) override { return {}; }
  CZoError Truncate(long long) override { return {}; }
  CZoError Stat(SZoFileStat&) override { return {}; }
  CZoError Flush() override { return {}; }
  CZoError Reserved12() override { return {}; }
  CZoError Reserved13() override { return {}; }
  CZoError Lock(int) override { return {}; }
  CZoError Unlock() override { return {}; }

 private:
  int* deleted_;
};

TEST_F(StreamContextTest, AFreshContextHoldsAnEmptyMessageAndNoFile) {
  StreamContext ctx;
  EXPECT_EQ(nullptr, ctx.fileHandle);
  ASSERT_NE(nullptr, ctx.metadata);
  ASSERT_NE(nullptr, ctx.localFile);
  EXPECT_FALSE(ctx.localFile->IsOpen());
  EXPECT_EQ("<LogBackupToDiskStreamMetadata streamNumber=\"0\" maHostName=\"\" backupTime=\"0\"/>", ctx.toString());
}

TEST_F(StreamContextTest, TextRoundTripKeepsEveryField) {
  using namespace Tessel;
  StreamContext ctx;
  ctx.metadata->setint64(1, 1, -1, kLogBackupToDiskStreamMetadataTag, kLogBackupToDiskStreamMetadataStreamNumberId);
  ctx.metadata->setstring(3, 3, "ma1*ma1*1*2", kLogBackupToDiskStreamMetadataTag,
                          kLogBackupToDiskStreamMetadataMaHostNameId);
  ctx.metadata->setint64(4, 7, 1700000000, kLogBackupToDiskStreamMetadataTag,
                         kLogBackupToDiskStreamMetadataBackupTimeId);
  CNMessageList* files = ctx.metadata->getlistobject(2, 2, kLogBackupToDiskStreamMetadataTag,
                                                     kLogBackupToDiskStreamMetadataFilesId, true);
  for (const char* name : {"log1", "log2"}) {
    CNMessageBase* rec = files->append();
    ASSERT_NE(nullptr, rec);
    rec->setstring(1, 1, name, kLogBackupToDiskFileMetadataTag, kLogBackupToDiskFileMetadataFileNameId);
    rec->setint64(2, 5, 1700000001, kLogBackupToDiskFileMetadataTag, kLogBackupToDiskFileMetadataOpenTimeId);
  }
  const std::string text = ctx.toString();

  EXPECT_EQ(0, ctx.fromString(text));  // on the same context: nothing changes
  EXPECT_EQ(text, ctx.toString());

  StreamContext other;
  ASSERT_EQ(0, other.fromString(text));
  EXPECT_EQ(text, other.toString());
  EXPECT_EQ(-1, other.metadata->getint64(1, kLogBackupToDiskStreamMetadataTag,
                                         kLogBackupToDiskStreamMetadataStreamNumberId));
  EXPECT_EQ(2u, other.metadata
                    ->getlistobject(2, 2, kLogBackupToDiskStreamMetadataTag, kLogBackupToDiskStreamMetadataFilesId,
                                    false)
                    ->size());
  EXPECT_TRUE(log_->Lines().empty()) << log_->Dump();
}

TEST_F(StreamContextTest, WhatTheWriterWritesReadsBackWhileTheNetworkKeepsItsCap) {
  // A long stream: far more than one network frame of metadata.
  StreamContext written;
  logbackup::SetStreamInfo(written, 3, "ma1*ma1*1*2", 1700000000);
  for (int i = 0; i < 100000; ++i) {
    ASSERT_TRUE(logbackup::AddFileRecord(written, "archive/log_" + std::to_string(i) + ".arc", 1700000000 + i));
  }
  const std::string text = written.toString();
  ASSERT_GT(text.size(), CNMessageBase::kMaxDocumentSize * 4);

  StreamContext read;
  ASSERT_EQ(0, read.fromString(text));
  EXPECT_EQ(100000u, logbackup::FileRecordCount(read));
  EXPECT_EQ("archive/log_99999.arc", logbackup::LastFileName(read));
  EXPECT_EQ(text, read.toString());

  // The same document as a request from a peer is refused before anything is parsed.
  std::unique_ptr<CNMessageBase> received;
  CZoError err = CNMessageFactory::FromXml(text, received);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EMSGSIZE)) << err.AsString();
  EXPECT_EQ(nullptr, received);
  Tessel::LogBackupToDiskStreamMetadata fromPeer;
  EXPECT_EQ(CNMessageBase::kErrTooBig, fromPeer.unserialize(text));
  EXPECT_TRUE(log_->Lines().empty()) << log_->Dump();
}

TEST_F(StreamContextTest, TextThatIsNoStreamDocumentIsRefusedAndLogged) {
  StreamContext ctx;
  const std::string before = ctx.toString();
  const std::string garbage = "<MADataPathsListCache/>";
  int r = ctx.fromString(garbage);
  EXPECT_NE(0, r);
  EXPECT_TRUE(log_->Has(-1, "Failed to unserialize XML string [\n" + garbage + "\n], error=[" + std::to_string(r) +
                                "]"))
      << log_->Dump();
  EXPECT_EQ(before, ctx.toString());

  EXPECT_NE(0, ctx.fromString("plain text"));
  EXPECT_NE(0, ctx.fromString(""));
  EXPECT_EQ(3u, log_->Lines().size());
}

TEST_F(StreamContextTest, AMissingMessageIsReportedNotDereferenced) {
  StreamContext ctx;
  ctx.metadata.reset();
  EXPECT_EQ("", ctx.toString());
  EXPECT_EQ(-1, ctx.fromString("<LogBackupToDiskStreamMetadata/>"));
}

TEST_F(StreamContextTest, DestroyingTheContextDeletesAHandleStillHeld) {
  int deleted = 0;
  { StreamContext ctx; }
  {
    StreamContext ctx;
    ctx.fileHandle = new CountingFile(&deleted);
  }
  EXPECT_EQ(1, deleted);
}

}  // namespace
}  // namespace kxmp::test
