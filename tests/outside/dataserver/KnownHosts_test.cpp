// The known-hosts match that decides whether a storage host's key is trusted: which lines
// name the host (lists, ports, wildcards, negation, hashed names as ssh-keygen -H writes
// them) and what a line for the host says of the offered key.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <string>
#include <vector>

#include "outside/dataserver/SshFiles.h"
#include "support/TempHome.h"

namespace {

using kxmp::dataserver::KnownHostFieldNames;
using kxmp::dataserver::KnownHostKeyTypes;
using kxmp::dataserver::KnownHostName;
using kxmp::dataserver::KnownHostsInfo;
using kxmp::dataserver::KnownHostVerdict;
using kxmp::dataserver::MatchKnownHost;
using kxmp::dataserver::ReadKnownHostsFile;

std::string Hmac(const std::string& salt, const std::string& name) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  HMAC(EVP_sha1(), salt.data(), static_cast<int>(salt.size()), reinterpret_cast<const unsigned char*>(name.data()),
       name.size(), mac, &len);
  return std::string(reinterpret_cast<const char*>(mac), len);
}

const std::string kKey = "AAAAC3NzaC1lZDI1NTE5AAAAICjwLgygnjHUeZ4gzX0ZFa86u5NgV+YchuuqrmIVePh9";
const std::string kOtherKey = "AAAAC3NzaC1lZDI1NTE5AAAAIOtherOtherOtherOtherOtherOtherOtherOther";
// ssh-keygen -H of "[127.0.0.2]:2222" and "storage1.example".
const std::string kHashedPort2222 = "|1|hCPKijdzN5M+Q2qC8LYI8wPpFVo=|ZcR7cj1jw9wsozufID7qPZk54GE=";
const std::string kHashedStorage1 = "|1|datgwm+IY0V8p4kbvFN1bC7ILb4=|PmVabz/UzrpRywvrfiGATfFmg0M=";

TEST(KnownHosts, HostFieldsNameTheHostAsOpenSshListsIt) {
  struct Case {
    const char* field;
    std::string address;
    int port;
    bool named;
  };
  const std::vector<Case> cases = {
      {"127.0.0.2", "127.0.0.2", 22, true},
      {"127.0.0.2", "127.0.0.2", 2222, false},  // off port 22 only the bracketed form counts
      {"[127.0.0.2]:2222", "127.0.0.2", 2222, true},
      {"[127.0.0.2]:2222", "127.0.0.2", 2223, false},
      {"[127.0.0.2]:2222", "127.0.0.2", 22, false},
      {"a.example,127.0.0.2,b.example", "127.0.0.2", 22, true},
      {"a.example,b.example", "127.0.0.2", 22, false},
      {"127.0.0.20", "127.0.0.2", 22, false},
      {"127.0.0.*", "127.0.0.2", 22, true},
      {"127.0.0.?", "127.0.0.22", 22, false},
      {"[127.0.0.?]:2222", "127.0.0.2", 2222, true},
      {"*", "storage1.example", 22, true},
      {"*.example", "storage1.example", 22, true},
      {"s*e*1.ex*le", "storage1.example", 22, true},
      {"s*e*9.ex*le", "storage1.example", 22, false},
      {"STORAGE1.Example", "storage1.EXAMPLE", 22, true},
      {"*.example,!storage1.example", "storage1.example", 22, false},  // a negated match rules out the line
      {"!storage2.example,*.example", "storage1.example", 22, true},
      {"!storage2.example", "storage1.example", 22, false},  // negation alone names nothing
      {"", "storage1.example", 22, false},
      {kHashedPort2222.c_str(), "127.0.0.2", 2222, true},
      {kHashedPort2222.c_str(), "127.0.0.2", 22, false},
      {kHashedStorage1.c_str(), "storage1.example", 22, true},
      {kHashedStorage1.c_str(), "storage2.example", 22, false},
      {"|1|not base64!|ZcR7cj1jw9wsozufID7qPZk54GE=", "127.0.0.2", 2222, false},
      {"|1|hCPKijdzN5M+Q2qC8LYI8wPpFVo=", "127.0.0.2", 2222, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " for " + c.address + ":" + std::to_string(c.port));
    EXPECT_EQ(KnownHostFieldNames(c.field, KnownHostName(c.address, c.port), Hmac), c.named);
  }
  // Without a hasher a hashed field names no host (the file check counts it in by itself).
  EXPECT_FALSE(KnownHostFieldNames(kHashedStorage1, "storage1.example", nullptr));
  // Many stars against a long name that almost matches: answered, not explored for ever.
  EXPECT_FALSE(KnownHostFieldNames("*a*a*a*a*a*a*a*a*a*a*a*a*b", std::string(200, 'a'), nullptr));
}

class KnownHostsFile : public kxmp::test::HomeTest {
 protected:
  KnownHostsInfo Read(const std::string& text, const std::string& address = "127.0.0.2", int port = 2222) {
    const std::string path = home_->sub("known_hosts");
    kxmp::test::WriteFile(path, text);
    KnownHostsInfo info;
    EXPECT_FALSE(ReadKnownHostsFile(path, address, port, info).IsError());
    return info;
  }
};

TEST_F(KnownHostsFile, TheOfferedKeyIsListedChangedOrNotListed) {
  const std::string ed = "ssh-ed25519 ";
  struct Case {
    const char* name;
    std::string text;
    KnownHostVerdict verdict;
  };
  const std::vector<Case> cases = {
      {"listed", "[127.0.0.2]:2222 " + ed + kKey + "\n", KnownHostVerdict::kListed},
      {"listed with padding and a comment", "[127.0.0.2]:2222 " + ed + kKey + "== root@host\n",
       KnownHostVerdict::kListed},
      {"listed hashed", kHashedPort2222 + " " + ed + kKey + "\n", KnownHostVerdict::kListed},
      {"another key of the type", "[127.0.0.2]:2222 " + ed + kOtherKey + "\n", KnownHostVerdict::kChanged},
      {"one of two keys of the type", "[127.0.0.2]:2222 " + ed + kOtherKey + "\n[127.0.0.2]:2222 " + ed + kKey + "\n",
       KnownHostVerdict::kListed},
      {"a key of another type only", "[127.0.0.2]:2222 ecdsa-sha2-nistp256 " + kKey + "\n",
       KnownHostVerdict::kNotListed},
      {"the key under another host", "[127.0.0.3]:2222 " + ed + kKey + "\n", KnownHostVerdict::kNotListed},
      {"the key on port 22", "127.0.0.2 " + ed + kKey + "\n", KnownHostVerdict::kNotListed},
      {"negated host", "[127.0.0.*]:2222,![127.0.0.2]:2222 " + ed + kKey + "\n", KnownHostVerdict::kNotListed},
      {"revoked and CA lines are no entries",
       "@revoked [127.0.0.2]:2222 " + ed + kKey + "\n@cert-authority * " + ed + kKey + "\n",
       KnownHostVerdict::kNotListed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MatchKnownHost(Read(c.text), "127.0.0.2", 2222, "ssh-ed25519", kKey, Hmac), c.verdict);
  }
}

TEST_F(KnownHostsFile, KeyTypesAskedForAreThoseListedForTheHost) {
  const KnownHostsInfo info = Read("# comment\n"
                                   "[127.0.0.3]:2222 ssh-dss AAAA\n" +
                                   kHashedPort2222 + " ssh-rsa AAAA\n" +
                                   "[127.0.0.*]:2222 ecdsa-sha2-nistp256 AAAA\n"
                                   "[127.0.0.2]:2222 ssh-rsa AAAB\n"
                                   "@revoked [127.0.0.2]:2222 ssh-ed25519 AAAA\n");
  EXPECT_TRUE(info.listsHost);
  EXPECT_EQ(info.revoked.size(), 1u);
  EXPECT_EQ(KnownHostKeyTypes(info, "127.0.0.2", 2222, Hmac),
            (std::vector<std::string>{"ssh-rsa", "ecdsa-sha2-nistp256"}));
  // A wildcard entry lists the host for the file check too.
  EXPECT_TRUE(Read("[127.0.0.*]:2222 ssh-ed25519 " + kKey + "\n").listsHost);
  EXPECT_FALSE(Read("[127.0.0.*]:2223 ssh-ed25519 " + kKey + "\n").listsHost);
}

}  // namespace
