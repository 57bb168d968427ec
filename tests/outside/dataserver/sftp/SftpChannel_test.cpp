// What the SFTP client makes of a server's bytes, without a network: answers matched to their
// requests by id, a read's data landing in its buffer, and every malformed, truncated or
// oversized packet refused (the session given up) without a crash, an unbounded allocation
// or a read past a buffer. ASan and UBSan watch the garbage.

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "outside/dataserver/sftp/SftpChannel.h"
#include "outside/dataserver/sftp/SftpWire.h"

using kxmp::dataserver::SftpAttrs;
using kxmp::dataserver::SftpChannel;
using kxmp::dataserver::SftpName;
using kxmp::dataserver::SftpStatvfs;
using kxmp::dataserver::WireWriter;
namespace sftp = kxmp::dataserver::sftp;

namespace {

std::string U32(uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
std::string Str(const std::string& s) { return U32(static_cast<uint32_t>(s.size())) + s; }
// A packet: its length, then the body given.
std::string Packet(const std::string& body) { return U32(static_cast<uint32_t>(body.size())) + body; }
std::string Body(uint8_t type, uint32_t id, const std::string& rest) { return std::string(1, char(type)) + U32(id) + rest; }

long Feed(SftpChannel& c, const std::string& bytes, bool byteByByte = false) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (!byteByByte) return c.Feed(p, bytes.size());
  long rc = 0;
  for (size_t i = 0; i < bytes.size() && rc == 0; ++i) rc = c.Feed(p + i, 1);
  return rc;
}

TEST(SftpChannelTest, AnswersAreMatchedByIdAndGarbageIsRefused) {
  // Request ids are handed out from 1: each case sends what it needs, then feeds the answer.
  struct Case {
    const char* name;
    std::string answer;  // built for request ids 1 (an lstat) and 2 (a read of 8 bytes)
    bool bad;            // the channel must give up
  };
  const std::string attrs = U32(sftp::kAttrSize | sftp::kAttrPermissions) + U32(0) + U32(70000) + U32(0100640);
  const std::vector<Case> cases = {
      {"attributes, then data straight into the buffer",
       Packet(Body(sftp::kAttrs, 1, attrs)) + Packet(Body(sftp::kData, 2, Str("abcdefgh"))), false},
      {"answers out of order", Packet(Body(sftp::kData, 2, Str("abc"))) + Packet(Body(sftp::kAttrs, 1, attrs)), false},
      {"a status for both", Packet(Body(sftp::kStatus, 1, U32(sftp::kNoSuchFile) + Str("gone") + Str(""))) +
                                Packet(Body(sftp::kStatus, 2, U32(sftp::kEof))),
       false},
      {"extended attribute pairs are skipped",
       Packet(Body(sftp::kAttrs, 1, U32(sftp::kAttrExtended | sftp::kAttrSize) + U32(0) + U32(5) + U32(2) + Str("a") +
                                        Str("b") + Str("c") + Str("d"))) +
           Packet(Body(sftp::kStatus, 2, U32(sftp::kEof))),
       false},
      {"a length beyond any answer", U32(0x7fffffff) + std::string(64, 'x'), true},
      {"a length too short for a type and id", Packet(std::string(3, '\x65')), true},
      {"an answer to no request", Packet(Body(sftp::kStatus, 9, U32(0))), true},
      {"an unknown type", Packet(Body(77, 1, U32(0))), true},
      {"a status cut short", Packet(Body(sftp::kStatus, 1, "\x01\x02")), true},
      {"attributes cut short", Packet(Body(sftp::kAttrs, 1, U32(sftp::kAttrSize) + U32(0))), true},
      {"attributes with a huge extended count",
       Packet(Body(sftp::kAttrs, 1, U32(sftp::kAttrExtended) + U32(0xffffffff) + Str("a") + Str("b"))), true},
      {"an extended pair running past the packet",
       Packet(Body(sftp::kAttrs, 1, U32(sftp::kAttrExtended) + U32(1) + U32(1000) + "ab" + Str("c"))), true},
      {"data longer than asked", Packet(Body(sftp::kData, 2, Str("123456789"))), true},
      {"data whose length disagrees with the packet's", Packet(Body(sftp::kData, 2, U32(4) + "12345678")), true},
      {"a second answer to one request",
       Packet(Body(sftp::kAttrs, 1, attrs)) + Packet(Body(sftp::kAttrs, 1, attrs)), true},
  };
  for (const Case& c : cases) {
    for (bool byteByByte : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (byteByByte ? ", a byte at a time" : ""));
      SftpChannel ch(nullptr);
      SftpAttrs a;
      char buf[8] = {};
      const auto lstat = ch.SendPath(sftp::kLstat, "/x");
      const auto read = ch.SendRead("h", 0, sizeof buf, buf);
      ASSERT_EQ(lstat, 1u);
      ASSERT_EQ(read, 2u);
      const long fed = Feed(ch, c.answer, byteByByte);
      if (c.bad) {
        EXPECT_EQ(fed, SftpChannel::kBadPacket);
        EXPECT_FALSE(ch.ProtocolError().empty());
        // Nothing taken from it afterwards looks like an answer.
        EXPECT_LT(ch.TakeAttrs(lstat, a), 0);
        EXPECT_LT(ch.TakeData(read), 0);
        continue;
      }
      EXPECT_EQ(fed, 0);
      const long l = ch.TakeAttrs(lstat, a);
      const long r = ch.TakeData(read);
      if (std::string(c.name).rfind("a status", 0) == 0) {
        EXPECT_EQ(SftpChannel::StatusOf(l), long(sftp::kNoSuchFile));
        EXPECT_EQ(r, 0);  // end of file
      } else if (std::string(c.name).rfind("extended", 0) == 0) {
        EXPECT_EQ(l, 0);
        EXPECT_EQ(a.size, 5u);
        EXPECT_EQ(r, 0);
      } else {
        EXPECT_EQ(l, 0);
        EXPECT_EQ(a.size, 70000u);
        EXPECT_TRUE(a.IsRegular());
        EXPECT_EQ(std::string(buf, static_cast<size_t>(r)), std::string("abcdefgh", static_cast<size_t>(r)));
      }
    }
  }
}

// A read whose answer nobody waits for any more (its buffer may be gone): its data goes
// nowhere, and the next answer is still matched.
TEST(SftpChannelTest, AForgottenReadLandsNowhere) {
  for (bool byteByByte : {false, true}) {
    SftpChannel ch(nullptr);
    char gone[8] = {};
    const auto read = ch.SendRead("h", 0, sizeof gone, gone);
    const auto close = ch.SendHandle(sftp::kClose, "h");
    ch.Forget(read);
    EXPECT_EQ(Feed(ch, Packet(Body(sftp::kData, read, Str("abcdefgh"))) + Packet(Body(sftp::kStatus, close, U32(0))),
                   byteByByte),
              0);
    EXPECT_EQ(std::string(gone, sizeof gone), std::string(sizeof gone, '\0'));
    EXPECT_EQ(ch.TakeStatus(close), 0);
  }
}

// Names, handles, the version and the extended answers, each cut at every length: a cut one is
// refused, never read past its end; a whole one parses.
TEST(SftpChannelTest, EveryAnswerCutShortIsRefused) {
  using kxmp::dataserver::ParseReply;
  using kxmp::dataserver::ParseVersion;
  using kxmp::dataserver::SftpReply;
  const std::string names = Body(sftp::kName, 3, U32(2) + Str("a.trn") + Str("-rw a.trn") + U32(sftp::kAttrSize) +
                                                     U32(0) + U32(9) + Str("b") + Str("") + U32(0));
  const std::string handle = Body(sftp::kHandle, 3, Str(std::string(256, 'h')));
  const std::string version = std::string(1, char(sftp::kVersion)) + U32(3) + Str("fsync@openssh.com") + Str("1");
  for (const std::string& whole : {names, handle}) {
    SftpReply r;
    ASSERT_TRUE(ParseReply(reinterpret_cast<const unsigned char*>(whole.data()), whole.size(), r));
    for (size_t cut = 0; cut < whole.size(); ++cut) {
      // Copied to a buffer of exactly the cut's size, so ASan sees any read past it.
      std::vector<unsigned char> part(whole.begin(), whole.begin() + static_cast<long>(cut));
      EXPECT_FALSE(ParseReply(part.data(), part.size(), r)) << cut;
    }
  }
  SftpReply r;
  ParseReply(reinterpret_cast<const unsigned char*>(names.data()), names.size(), r);
  ASSERT_EQ(r.names.size(), 2u);
  EXPECT_EQ(r.names[0].name, "a.trn");
  EXPECT_EQ(r.names[0].attrs.size, 9u);
  const std::string tooLong = Body(sftp::kHandle, 3, Str(std::string(257, 'h')));
  EXPECT_FALSE(ParseReply(reinterpret_cast<const unsigned char*>(tooLong.data()), tooLong.size(), r));
  const std::string lyingCount = Body(sftp::kName, 3, U32(0x10000000) + Str("a") + Str("") + U32(0));
  EXPECT_FALSE(ParseReply(reinterpret_cast<const unsigned char*>(lyingCount.data()), lyingCount.size(), r));
  EXPECT_EQ(r.names.capacity(), 0u);  // refused before anything was sized by the count
  uint32_t v = 0;
  std::vector<std::pair<std::string, std::string>> ext;
  ASSERT_TRUE(ParseVersion(reinterpret_cast<const unsigned char*>(version.data()), version.size(), v, ext));
  ASSERT_EQ(ext.size(), 1u);
  for (size_t cut = 6; cut < version.size(); ++cut) {
    std::vector<unsigned char> part(version.begin(), version.begin() + static_cast<long>(cut));
    EXPECT_FALSE(ParseVersion(part.data(), part.size(), v, ext)) << cut;
  }
  SftpStatvfs s;
  EXPECT_FALSE(kxmp::dataserver::ParseStatvfs(std::string(87, '\0'), s));
  EXPECT_TRUE(kxmp::dataserver::ParseStatvfs(std::string(88, '\0'), s));

  // Random bytes after a plausible header, many times over: refused or parsed, nothing else.
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    std::string body(1, char(sftp::kStatus + rng() % 6));
    body += U32(1);
    const size_t n = rng() % 200;
    for (size_t k = 0; k < n; ++k) body.push_back(static_cast<char>(rng() % 4 == 0 ? 0xff : rng()));
    SftpChannel ch(nullptr);
    char buf[64];
    ch.SendRead("h", 0, sizeof buf, buf);
    const long fed = Feed(ch, Packet(body));
    EXPECT_TRUE(fed == 0 || fed == SftpChannel::kBadPacket);
    const long taken = ch.TakeData(1);
    EXPECT_LE(taken, long(sizeof buf));
  }
}

}  // namespace
