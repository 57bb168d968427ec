// test-labels: integration
// End to end on real folders: 50 log files of 0 bytes to 40 MiB backed up with metadata,
// found again and read back; the metadata document and the data-path cache file.

#include <fcntl.h>
#include <sys/stat.h>

#include <map>

#include <gtest/gtest.h>

#include "kxmp/DBLogBackupDataReader.h"
#include "kxmp/DBLogBackupDataWriter.h"
#include "kxmp/DataServerContext.h"
#include "logbackup/LogBackupFixture.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/xml/TesselMessages.h"

namespace kxmp::test {
namespace {

class BackupRestoreTest : public LogBackupTest {
 protected:
  static size_t SizeOf(int i) {
    if (i == 0) return 0;
    if (i <= 2) return size_t(40) << 20;
    if (i <= 6) return (size_t(i) << 20) + 17;
    return static_cast<size_t>(i) * 997;
  }
  static std::string NameOf(int i) { return "db_log_" + std::to_string(1000 + i) + ".trn"; }

  // Backs up the files with one writer (1 MiB writes), metadata enabled.
  void BackupAll(const std::map<std::string, std::string>& files, int32_t stream) {
    DBLogBackupDataWriter w(kSubclient, false, 0, stream, "", &handler_, true);
    w.enableWriteMetadata();
    for (const auto& [name, content] : files) {
      ASSERT_FALSE(w.open(name, O_WRONLY | O_CREAT | O_TRUNC, 0640).IsError());
      for (size_t off = 0; off < content.size(); off += 1 << 20) {
        ASSERT_FALSE(w.write(content.data() + off, std::min<size_t>(1 << 20, content.size() - off)).IsError());
      }
      ASSERT_FALSE(w.close(name).IsError());
      ASSERT_FALSE(w.verifyBackedupFile(name).IsError());
    }
  }
};

TEST_F(BackupRestoreTest, EveryBackedUpFileComesBackIdentical) {
  Attach({0});
  std::map<std::string, std::string> files;
  for (int i = 0; i < 50; ++i) files[NameOf(i)] = Content(SizeOf(i), static_cast<uint32_t>(i));
  BackupAll(files, 4);
  EXPECT_TRUE(handler_.errors.empty());

  // The metadata document lists every file.
  StreamContext doc;
  ASSERT_EQ(doc.fromString(ReadFile(Root(0) + "/StreamMetadata_4.xml")), 0);
  size_t listed = 0;
  for (const CNMessageBase& r : *doc.metadata->getlistobject(2, 2, Tessel::kLogBackupToDiskStreamMetadataTag,
                                                             Tessel::kLogBackupToDiskStreamMetadataFilesId, false)) {
    EXPECT_EQ(files.count(r.getstring(1, 1, Tessel::kLogBackupToDiskFileMetadataTag,
                                      Tessel::kLogBackupToDiskFileMetadataFileNameId)),
              1u);
    ++listed;
  }
  EXPECT_EQ(listed, files.size());

  // The data-path cache file holds the mount path used; another backup there leaves it alone.
  Tessel::MADataPathsListCache cache;
  ASSERT_FALSE(LocalFileContext::readMADataPathsFromMACache(kSubclient, cache).IsError());
  EXPECT_EQ(DataPathsOf(cache), (std::vector<DataPath>{{"ma1", Root(0), 1}}));
  struct stat before {}, after {};
  ASSERT_EQ(::stat(CacheFile().c_str(), &before), 0);
  const std::string cacheText = ReadFile(CacheFile());
  BackupAll({{"again.trn", "x"}}, 5);
  ASSERT_EQ(::stat(CacheFile().c_str(), &after), 0);
  EXPECT_EQ(ReadFile(CacheFile()), cacheText);
  EXPECT_EQ(before.st_ino, after.st_ino);  // not even replaced

  // Find them all and read them back in 1 MiB pieces.
  DBLogBackupDataReader reader(kSubclient, false, "", &handler_);
  std::list<DataServerSearchResult> results;
  EXPECT_TRUE(FXErrorUtil::IsErrNo(reader.search("^db_log_\\d+\\.trn$", results, true), 2));
  ASSERT_EQ(results.size(), 1u);
  ASSERT_EQ(results.front().files.size(), files.size());
  std::vector<char> buffer(1 << 20);
  for (DataServerSearchFile& f : results.front().files) {
    ASSERT_FALSE(reader.open(f, results.front().context).IsError());
    std::string back;
    unsigned int n = 0;
    do {
      ASSERT_FALSE(reader.read(buffer.data(), static_cast<unsigned int>(buffer.size()), n).IsError());
      back.append(buffer.data(), n);
    } while (n == buffer.size());
    ASSERT_FALSE(reader.close(results.front().context).IsError());
    EXPECT_TRUE(back == files[f.fileName]) << f.fileName;
  }
  EXPECT_TRUE(handler_.errors.empty());
}

}  // namespace
}  // namespace kxmp::test
