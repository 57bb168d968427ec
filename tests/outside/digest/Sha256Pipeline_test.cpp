// test-labels: unit concurrency
// SHA-256 through the digest module, in line and beside the caller: any mix of the caller's
// buffers (copied, reused at once) and the pipeline's pieces (hashed without a copy) gives the
// digest of the bytes in the order they were added.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "logbackup/LogBackupFixture.h"
#include "outside/digest/Sha256.h"
#include "outside/digest/Sha256Pipeline.h"

namespace kxmp::test {
namespace {

std::string Digest(const std::string& bytes) {
  digest::Sha256 sha;
  EXPECT_FALSE(sha.Start().IsError());
  sha.Update(bytes.data(), bytes.size());
  digest::Sha256Digest out;
  EXPECT_FALSE(sha.Finish(out).IsError());
  return out.Hex();
}

TEST(Sha256Test, KnownDigestsAndHexText) {
  EXPECT_EQ(Digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  digest::Sha256Digest d;
  EXPECT_TRUE(digest::Sha256Digest::FromHex("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", d));
  EXPECT_EQ(d.Hex(), Digest("abc"));
  EXPECT_FALSE(digest::Sha256Digest::FromHex(std::string(63, '0'), d));
  EXPECT_FALSE(digest::Sha256Digest::FromHex(std::string(63, '0') + "g", d));
}

TEST(Sha256Test, PipelineHashesEveryMixOfPiecesAndCopiesInOrder) {
  const std::string data = Content((9u << 20) + 12345, 7);
  digest::Sha256Pipeline sha;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_FALSE(sha.Start().IsError());
    if (round == 1) {
      sha.Add("left over from an abandoned digest", 34);
      ASSERT_FALSE(sha.Start().IsError());
    }
    size_t at = 0, step = 0;
    std::vector<char> mine;
    // Sizes across the in-line bound and the staging piece; every third add a copy of a
    // buffer the caller overwrites at once, the rest pieces of the pipeline's own.
    const size_t sizes[] = {1, 4096, 128 * 1024, 128 * 1024 + 1, 1u << 20, 3u << 20, 777, 2u << 20};
    while (at < data.size()) {
      const size_t n = std::min(sizes[(step + round) % 8], data.size() - at);
      if (step++ % 3 == round % 3) {
        mine.assign(data.begin() + at, data.begin() + at + n);
        sha.Add(mine.data(), n);
        std::memset(mine.data(), 0xA5, n);
      } else {
        char* piece = sha.Piece(n);
        ASSERT_NE(piece, nullptr);
        std::memcpy(piece, data.data() + at, n);
        sha.Add(piece, n);
      }
      at += n;
    }
    digest::Sha256Digest out;
    ASSERT_FALSE(sha.Finish(out).IsError());
    EXPECT_EQ(sha.bytes(), data.size());
    EXPECT_EQ(out.Hex(), Digest(data));
  }
  // A piece handed out and never added is not hashed.
  ASSERT_FALSE(sha.Start().IsError());
  std::memset(sha.Piece(100), 'x', 100);
  sha.Add("abc", 3);
  digest::Sha256Digest out;
  ASSERT_FALSE(sha.Finish(out).IsError());
  EXPECT_EQ(out.Hex(), Digest("abc"));
}

}  // namespace
}  // namespace kxmp::test
