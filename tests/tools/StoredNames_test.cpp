// test-labels: integration
// Names as `kxmp backup` meets them, on an SFTP storage host and on a local folder: names the
// system keeps for itself are refused before anything is written (and names that only look
// like its own are left alone by later searches), names up to 255 bytes are backed up,
// replaced and restored, and names XML cannot carry as they are still make a stream document
// that parses and gives them back byte for byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tools/TwoMachinesFixture.h"

namespace kxmp::test {
namespace {

// XML 1.0's Char production.
bool IsXmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// True when every character of the text, raw or written as a character reference, is valid
// UTF-8 and an XML 1.0 character: the level at which a file name can break a document that
// XML parsers then refuse (pugixml, which the library uses, checks neither).
bool IsXmlText(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    uint32_t c = p[i];
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > text.size()) return false;
    if (len > 1) c &= 0x3F >> (len - 1);
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (p[i + k] & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[len] || !IsXmlChar(c)) return false;
    if (c == '&' && text.compare(i, 2, "&#") == 0) {
      const bool hex = text.compare(i, 3, "&#x") == 0;
      const size_t end = text.find(';', i);
      if (end == std::string::npos) return false;
      const std::string digits = text.substr(i + (hex ? 3 : 2), end - i - (hex ? 3 : 2));
      if (digits.empty() || digits.size() > 8) return false;
      if (!IsXmlChar(static_cast<uint32_t>(std::stoul(digits, nullptr, hex ? 16 : 10)))) return false;
    }
    i += len;
  }
  return true;
}

class StoredNamesTest : public TwoMachinesTest {
 protected:
  std::string Source(const std::string& folder, const std::string& name, const std::string& content) const {
    const std::string path = home_->sub(folder) + "/" + name;
    WriteFile(path, content);
    return path;
  }
};

TEST_F(StoredNamesTest, ReservedLongAndHostileNames) {
  for (const Storage& s : Storages()) {
    SCOPED_TRACE(s.what);
    const std::string sc = std::to_string(s.subclient), src = std::string("src-") + s.what;

    // The system's own names are refused; look-alikes are logs like any other.
    RunResult r = Kxmp({"backup", "--subclient", sc, Source(src, "StreamMetadata_7.xml", "a log"),
                        Source(src, "x.tmp", "a log"), Source(src, "q.trn.kxmp-replaced", "q"),
                        Source(src, "solo.kxmp-replaced", "solo")});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("is the name of a stream metadata document"), std::string::npos) << r.err;
    EXPECT_FALSE(PathExists(s.root + "/StreamMetadata_7.xml"));
    EXPECT_FALSE(PathExists(s.root + "/x.tmp"));
    ASSERT_EQ(Kxmp({"search", "--subclient", sc, ""}).status, 0);
    EXPECT_EQ(ReadFile(s.root + "/q.trn.kxmp-replaced"), "q");
    EXPECT_EQ(ReadFile(s.root + "/solo.kxmp-replaced"), "solo");
    EXPECT_FALSE(PathExists(s.root + "/solo"));

    // Names up to the longest a file may have: stored, replaced with --force, restored.
    for (size_t length : {238u, 242u, 255u}) {
      const std::string name = std::string(length - 4, static_cast<char>('a' + length % 26)) + ".trn";
      const std::string restored = home_->sub(std::string("restored-") + s.what);
      r = Kxmp({"backup", "--subclient", sc, Source(src, name, "first " + name)});
      EXPECT_EQ(r.status, 0) << length << r.err;
      r = Kxmp({"backup", "--subclient", sc, "--force", Source(src, name, "second")});
      EXPECT_EQ(r.status, 0) << length << r.err;
      r = Kxmp({"restore", "--subclient", sc, "^" + name + "$", "--to", restored});
      EXPECT_EQ(r.status, 0) << length << r.err;
      EXPECT_EQ(PathExists(restored + "/" + name) ? ReadFile(restored + "/" + name) : "", "second") << length;
    }

    // Names XML cannot carry as they are, beside a plain one that stays as it is.
    std::vector<std::string> want = {"ctl\x01x.trn", "bad\xff\xfename.trn", "amp&<\"'>.trn", "tab\tnl\nx.trn",
                                     "plain.trn"};
    std::vector<std::string> args = {"backup", "--subclient", sc, "--stream", "9", "--metadata"};
    for (const std::string& name : want) args.push_back(Source(src + "/hostile", name, name));
    r = Kxmp(args);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string document = ReadFile(s.root + "/StreamMetadata_9.xml");
    EXPECT_TRUE(IsXmlText(document)) << document;
    EXPECT_NE(document.find("fileName=\"plain.trn\""), std::string::npos) << document;
    std::vector<std::string> listed = ListedNames(document);
    std::sort(listed.begin(), listed.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(listed, want);
  }

  // In file-mode the data-path cache file lies among the logs: never replaced by one.
  ASSERT_EQ(Kxmp({"backup", "--subclient", "8", "--file-mode", Source("fm", "first.trn", "x")}).status, 0);
  const std::string cache = home_->sub("jobresults/2/8/DBLogBackupMAPathCache.xml");
  const std::string before = ReadFile(cache);
  RunResult r = Kxmp({"backup", "--subclient", "8", "--file-mode", "--force",
                      Source("fm", "DBLogBackupMAPathCache.xml", "not a cache")});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("is the name of the data-path cache file"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(cache), before);
}

}  // namespace
}  // namespace kxmp::test
