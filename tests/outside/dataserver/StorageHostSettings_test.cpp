// The settings of storage hosts served over SFTP, as the registry keeps them: what is
// written reads back, defaults fill absent numbers, and every invalid key is refused with
// a message naming the key and the value (never read as "no settings", which would serve
// the host locally).
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "outside/dataserver/StorageHostSettings.h"
#include "outside/error/FXErrorUtil.h"
#include "support/TempHome.h"

using kxmp::dataserver::ListStorageHosts;
using kxmp::dataserver::ReadStorageHost;
using kxmp::dataserver::RemoveStorageHost;
using kxmp::dataserver::SftpSettings;
using kxmp::dataserver::WriteStorageHost;
using kxmp::test::PathExists;
using kxmp::test::WriteFile;

namespace {

class StorageHostSettingsTest : public kxmp::test::HomeTest {
 protected:
  std::string Value(const std::string& host, const std::string& name) const {
    return home_->sub("registry/DataServer/Hosts/" + host + "/" + name);
  }
  // A minimal valid key written by hand, as an operator might.
  void WriteMinimal(const std::string& host) const {
    WriteFile(Value(host, "sTransport"), "sftp");
    WriteFile(Value(host, "sAddress"), "127.0.0.2");
    WriteFile(Value(host, "sKnownHostsFile"), "/etc/kxmp/known_hosts");
  }
};

TEST_F(StorageHostSettingsTest, WrittenSettingsReadBackAndListAndRemove) {
  SftpSettings s;
  s.address = "storage1.example";
  s.port = 2222;
  s.user = "backup";
  s.identityFile = "/etc/kxmp/id_ed25519";
  s.knownHostsFile = "/etc/kxmp/known_hosts";
  s.connectTimeoutSec = 3;
  s.ioTimeoutSec = 7;
  ASSERT_FALSE(WriteStorageHost("ma2", s).IsError());
  WriteMinimal("ma1");

  bool found = false;
  SftpSettings read;
  ASSERT_FALSE(ReadStorageHost("ma2", found, read).IsError());
  ASSERT_TRUE(found);
  EXPECT_EQ(read.address, s.address);
  EXPECT_EQ(read.port, 2222);
  EXPECT_EQ(read.user, "backup");
  EXPECT_EQ(read.identityFile, s.identityFile);
  EXPECT_EQ(read.knownHostsFile, s.knownHostsFile);
  EXPECT_EQ(read.connectTimeoutSec, 3);
  EXPECT_EQ(read.ioTimeoutSec, 7);

  // Absent numbers take their defaults; no identity means the ssh agent.
  ASSERT_FALSE(ReadStorageHost("ma1", found, read).IsError());
  ASSERT_TRUE(found);
  EXPECT_EQ(read.port, 22);
  EXPECT_EQ(read.connectTimeoutSec, 10);
  EXPECT_EQ(read.ioTimeoutSec, 30);
  EXPECT_EQ(read.identityFile, "");

  std::vector<std::string> names;
  ASSERT_FALSE(ListStorageHosts(names).IsError());
  EXPECT_EQ(names, (std::vector<std::string>{"ma1", "ma2"}));

  ASSERT_FALSE(RemoveStorageHost("ma2").IsError());
  EXPECT_FALSE(PathExists(home_->sub("registry/DataServer/Hosts/ma2")));
  read.address = "untouched";
  ASSERT_FALSE(ReadStorageHost("ma2", found, read).IsError());
  EXPECT_FALSE(found);
  EXPECT_EQ(read.address, "untouched");
  EXPECT_TRUE(FXErrorUtil::IsErrNo(RemoveStorageHost("ma2"), ENOENT));
}

TEST_F(StorageHostSettingsTest, HostsWithoutKeyOrWithUnusableNamesHaveNoSettings) {
  std::vector<std::string> names;
  ASSERT_FALSE(ListStorageHosts(names).IsError());  // no DataServer/Hosts key at all
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(kxmp::dataserver::PlainStorageHostName("ma1*ma1*0*0"), "ma1");
  EXPECT_EQ(kxmp::dataserver::PlainStorageHostName("ma1"), "ma1");
  WriteMinimal("ma1");
  // Names that could reach another key are never looked up, and never written.
  for (const std::string name : {"", "../Hosts/ma1", "ma1/..", ".", "..", "a b", "-x", ".hidden"}) {
    bool found = true;
    SftpSettings read;
    EXPECT_FALSE(ReadStorageHost(name, found, read).IsError()) << name;
    EXPECT_FALSE(found) << name;
    SftpSettings s;
    s.address = "a";
    s.knownHostsFile = "/k";
    EXPECT_TRUE(FXErrorUtil::IsErrNo(WriteStorageHost(name, s), EINVAL)) << name;
  }
}

TEST_F(StorageHostSettingsTest, InvalidKeysAreErrorsNamingKeyAndValue) {
  struct Case {
    std::string value;  // name of the value to change
    std::string text;   // its text; "<absent>" removes it
  };
  const std::vector<Case> cases = {
      {"sTransport", "<absent>"},         {"sTransport", "ftp"},          {"sTransport", "sftp\n"},
      {"sAddress", "<absent>"},           {"sAddress", "a b"},            {"sAddress", "-oProxyCommand=x"},
      {"nPort", "0"},                     {"nPort", "65536"},             {"nPort", "22x"},
      {"nPort", ""},                      {"nPort", "99999999999999"},    {"sUser", "a@b"},
      {"sIdentityFile", "id_ed25519"},    {"sKnownHostsFile", "<absent>"}, {"sKnownHostsFile", "known"},
      {"nConnectTimeoutSec", "0"},        {"nIoTimeoutSec", "3601"},      {"nIoTimeoutSec", "-1"},
  };
  for (const Case& c : cases) {
    WriteMinimal("ma1");
    if (c.text == "<absent>") {
      ASSERT_EQ(::unlink(Value("ma1", c.value).c_str()), 0);
    } else {
      WriteFile(Value("ma1", c.value), c.text);
    }
    bool found = true;
    SftpSettings read;
    CZoError err = ReadStorageHost("ma1", found, read);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EINVAL)) << c.value << "=" << c.text << ": " << err.Message();
    EXPECT_FALSE(found);
    EXPECT_NE(err.Message().find("DataServer/Hosts/ma1"), std::string::npos) << err.Message();
    EXPECT_NE(err.Message().find(c.value), std::string::npos) << err.Message();
    EXPECT_EQ(err.Message().find('\n'), std::string::npos) << "control bytes are escaped: " << err.Message();
    ASSERT_FALSE(RemoveStorageHost("ma1").IsError());
  }
}

}  // namespace
