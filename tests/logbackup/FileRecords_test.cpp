// The records of stored files: the document's text for any name, refused when damaged, and
// the writer and reader that keep and check them. What a writer commits is recorded with the
// SHA-256 of the bytes it was given; a reader says whether what it read matches, differs,
// or has no record; a replaced file's record is replaced with it.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "kxmp/DBLogBackupDataReader.h"
#include "kxmp/DBLogBackupDataWriter.h"
#include "logbackup/FileRecords.h"
#include "logbackup/LogBackupFixture.h"
#include "support/StoredRecords.h"

namespace kxmp::test {
namespace {

constexpr unsigned int kCreate = O_WRONLY | O_CREAT | O_TRUNC;

TEST(FileRecordsTest, TextKeepsEveryNameAndDamageIsRefused) {
  logbackup::FileRecords records;
  const std::string names[] = {"log_1.trn", "with space", "100%", "line\nbreak\r", "\xff\xfe latin", "sub/dir/x", "-"};
  int64_t time = -5;
  for (const std::string& name : names) {
    logbackup::FileRecord r;
    r.name = name;
    r.size = static_cast<uint64_t>(name.size()) << 40;
    r.time = time++;
    ASSERT_TRUE(digest::Sha256Digest::FromHex(Sha256Hex(name), r.sha256));
    r.expiring = name == "-";
    records.Put(r);
  }
  logbackup::FileRecord again = records.all()[1];
  again.size = 1;
  records.Put(again);  // replaces by name
  logbackup::FileRecords back;
  ASSERT_FALSE(back.Parse(records.Text()).IsError()) << records.Text();
  ASSERT_EQ(back.all().size(), 7u);
  for (const std::string& name : names) {
    const logbackup::FileRecord* r = back.Find(name);
    ASSERT_NE(r, nullptr) << name;
    EXPECT_EQ(r->sha256.Hex(), Sha256Hex(name));
    EXPECT_EQ(r->size, name == "with space" ? 1u : static_cast<uint64_t>(name.size()) << 40);
    EXPECT_EQ(r->expiring, name == "-");
  }
  EXPECT_EQ(back.Text(), records.Text());
  EXPECT_TRUE(back.Remove("100%"));
  EXPECT_EQ(back.Find("100%"), nullptr);
  EXPECT_NE(back.Find("sub/dir/x"), nullptr);

  const std::string good = records.Text();
  const std::string line = good.substr(good.find('\n') + 1, good.find('\n', good.find('\n') + 1) - good.find('\n'));
  for (const std::string& bad : {std::string(), "not records\n" + line, good + "zz 1 2 - x\n",
                                 good + line.substr(0, 64) + " 1x 2 - x\n", good + line.substr(0, 64) + " 1 2 y x\n",
                                 good + line.substr(0, 64) + " 1 2 -\n", good + line.substr(0, 64) + " 1 2 - a%4\n"}) {
    EXPECT_TRUE(logbackup::FileRecords().Parse(bad).IsError()) << bad;
  }
}

class RecordedBackupTest : public LogBackupTest {
 protected:
  void SetUp() override {
    LogBackupTest::SetUp();
    Attach({0});
  }

  // Writes name with content; through writeFrom (a source file) or write.
  void Store(const std::string& name, const std::string& content, bool replace, bool fromFile) {
    DBLogBackupDataWriter w(kSubclient, false, 0, 1, "", &handler_, false);
    w.setReplaceExisting(replace);
    ASSERT_FALSE(w.open(name, kCreate, 0640).IsError());
    if (fromFile) {
      const std::string source = home_->sub("src/" + name);
      WriteFile(source, content);
      const int fd = ::open(source.c_str(), O_RDONLY);
      for (size_t n = 1; n != 0;) ASSERT_FALSE(w.writeFrom(fd, 300000, n).IsError());
      ::close(fd);
    } else {
      for (size_t at = 0; at < content.size(); at += 70000) {
        ASSERT_FALSE(w.write(content.data() + at, std::min<size_t>(70000, content.size() - at)).IsError());
      }
    }
    ASSERT_FALSE(w.close(name).IsError());
    ASSERT_FALSE(w.finish().IsError());
  }

  // Reads name back to its end and says what the reader's check found.
  DataServerReadCheck Check(const std::string& name, std::string* read = nullptr) {
    DBLogBackupDataReader r(kSubclient, false, "", &handler_);
    DataServerSearchResult found;
    EXPECT_FALSE(r.search("^" + name + "$", found, false).IsError());
    DataServerReadCheck check, before;
    EXPECT_FALSE(r.findRecord(found.files.front(), found.context, before).IsError());
    EXPECT_FALSE(r.open(found.files.front(), found.context).IsError());
    const int out = ::open(home_->sub("read").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    for (unsigned int n = 65536; n == 65536;) EXPECT_FALSE(r.readTo(out, 65536, n).IsError());
    ::close(out);
    EXPECT_FALSE(r.close(found.context).IsError());
    EXPECT_FALSE(r.checkRead(check).IsError());
    EXPECT_EQ(before.recorded, check.recorded);
    if (read != nullptr) *read = ReadFile(home_->sub("read"));
    return check;
  }
};

TEST_F(RecordedBackupTest, ReadsMatchTheirRecordsAndADamagedCopyIsTold) {
  const std::string a = Content(1500000, 1), b = Content(65536 * 3, 2);
  Store("a.trn", a, false, true);
  Store("b.trn", b, false, false);
  EXPECT_EQ(RecordedChecksums(Root(0)), (std::map<std::string, std::string>{{"a.trn", Sha256Hex(a)}, {"b.trn", Sha256Hex(b)}}));

  std::string read;
  DataServerReadCheck check = Check("a.trn", &read);
  EXPECT_EQ(check.result, DataServerReadCheck::kMatches) << check.why;
  EXPECT_TRUE(read == a);
  EXPECT_EQ(check.sha256, Sha256Hex(a));
  EXPECT_EQ(Check("b.trn").result, DataServerReadCheck::kMatches);  // ends on a whole piece

  // One byte flipped, a file cut short: told, with the bytes as stored.
  std::string flipped = a;
  flipped[700000] ^= 1;
  WriteFile(Root(0) + "/a.trn", flipped);
  check = Check("a.trn", &read);
  EXPECT_EQ(check.result, DataServerReadCheck::kDiffers);
  EXPECT_TRUE(read == flipped);
  EXPECT_EQ(check.recordSha256, Sha256Hex(a));
  WriteFile(Root(0) + "/b.trn", b.substr(0, 1000));
  check = Check("b.trn");
  EXPECT_EQ(check.result, DataServerReadCheck::kDiffers);
  EXPECT_NE(check.why.find("196608 bytes"), std::string::npos) << check.why;

  // Stored without a record; then replaced (--force) with its record.
  WriteFile(Root(0) + "/c.trn", "no record");
  EXPECT_EQ(Check("c.trn").result, DataServerReadCheck::kUnrecorded);
  Store("a.trn", b, true, true);
  EXPECT_EQ(Check("a.trn").result, DataServerReadCheck::kMatches);
  EXPECT_EQ(RecordedChecksums(Root(0)).at("a.trn"), Sha256Hex(b));

  // A record written after the reader first read the folder's records is found all the same.
  DBLogBackupDataReader early(kSubclient, false, "", &handler_);
  DataServerSearchResult found;
  ASSERT_FALSE(early.search("^b.trn$", found, false).IsError());
  DataServerReadCheck none;
  ASSERT_FALSE(early.findRecord(DataServerSearchFile("", "d.trn"), found.context, none).IsError());
  EXPECT_FALSE(none.recorded);
  Store("d.trn", "late", false, false);
  DataServerSearchFile d("", "d.trn");
  ASSERT_FALSE(early.open(d, found.context).IsError());
  char buffer[16];
  unsigned int n = 0;
  ASSERT_FALSE(early.read(buffer, sizeof buffer, n).IsError());
  ASSERT_FALSE(early.checkRead(check).IsError());
  EXPECT_EQ(check.result, DataServerReadCheck::kMatches);
}

}  // namespace
}  // namespace kxmp::test
