// The contract of CFSInterface and CFileInterface, run against every backend through the
// factories, so that no backend drifts from what the system relies on. Results are checked
// through a storage probe per backend: this machine's file system for the local backends,
// the chroot folder of a real sshd (a probe of the storage host, not the code under test) for
// SFTP. Cases a backend cannot honour are gated on its declared capabilities. Cases
// "InContext" run the same with a live context's state, whose cached answers and folders must
// not change any result.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "outside/dataserver/Backend.h"
#include "outside/dataserver/BackendRouter.h"
#include "outside/dataserver/ContextState.h"
#include "outside/dataserver/DataServerTestFixture.h"
#include "support/FaultyBackend.h"
#include "outside/dataserver/local/LocalBackend.h"
#include "outside/dataserver/sftp/SftpBackend.h"
#include "outside/error/FXErrorUtil.h"
#include "outside/util/UniqueFd.h"
#include "support/ForkChild.h"
#include "support/ErrnoAsserts.h"
#include "support/SshServer.h"

using kxmp::dataserver::Backend;
using kxmp::dataserver::BackendRouter;
using kxmp::dataserver::FaultyBackend;
using kxmp::dataserver::LocalBackend;
using kxmp::dataserver::ResolveMode;
using kxmp::dataserver::ScopedBackend;

namespace {

enum class Kind { Local, LocalComponentWalk, Faulty, Router, Sftp };
struct BackendCase {
  const char* name;
  Kind kind;
  bool inContext = false;  // the test holds a context state for its params
};

// The storage host's view of a served path: this machine's file system at prefix + path.
struct StorageProbe {
  std::string prefix;
  std::string Local(const std::string& path) const { return prefix + path; }
  bool Exists(const std::string& path) const { return kxmp::test::PathExists(Local(path)); }
  std::string Read(const std::string& path) const { return kxmp::test::ReadFile(Local(path)); }
  // A symbolic link at path whose text is target (resolved by the storage host).
  bool Link(const std::string& target, const std::string& path) const {
    return ::symlink(target.c_str(), Local(path).c_str()) == 0;
  }
  bool Stat(const std::string& path, struct stat& st) const { return ::stat(Local(path).c_str(), &st) == 0; }
};

void PrintTo(const BackendCase& c, std::ostream* os) { *os << c.name; }


class Contract : public kxmp::test::DataServerTest, public ::testing::WithParamInterface<BackendCase> {
 protected:
  void SetUp() override {
    DataServerTest::SetUp();
    std::shared_ptr<Backend> backend;
    switch (GetParam().kind) {
      case Kind::Local: backend = std::make_shared<LocalBackend>(); break;
      case Kind::LocalComponentWalk: backend = std::make_shared<LocalBackend>(nullptr, ResolveMode::ComponentWalk); break;
      case Kind::Faulty: backend = std::make_shared<FaultyBackend>(); break;
      case Kind::Router: backend = std::make_shared<BackendRouter>(std::make_shared<LocalBackend>()); break;
      case Kind::Sftp: {
        std::string why = kxmp::test::SshServer::WhyUnavailable();
        if (!why.empty()) GTEST_SKIP() << "No SSH server for the SFTP backend: " << why;
        server_ = std::make_unique<kxmp::test::SshServer>();
        ASSERT_TRUE(server_->Start(why)) << why;
        // The served paths exist only on the storage host, below its chroot.
        mount_ = "/srv/mp1";
        root_ = mount_ + "/KX_APP_DUMPS/guid-1";
        params_.host.mountPath = root_;
        probe_.prefix = server_->Chroot();
        ASSERT_EQ(::mkdir(probe_.Local("/srv").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(probe_.Local(mount_).c_str(), 0750), 0);
        auto authority = std::make_shared<kxmp::dataserver::FixedMountPathAuthority>();
        authority->Add("ma1", mount_);
        kxmp::dataserver::SftpSettings settings;
        settings.address = server_->Address();
        settings.port = server_->Port();
        settings.user = server_->User();
        settings.identityFile = server_->IdentityFile();
        settings.knownHostsFile = server_->KnownHostsFile();
        backend = std::make_shared<kxmp::dataserver::SftpBackend>(settings, "ma1", authority);
        break;
      }
    }
    scope_ = std::make_unique<ScopedBackend>(backend);
    if (GetParam().inContext) state_ = kxmp::dataserver::AttachContextState(params_);
  }
  void TearDown() override {
    state_.reset();
    scope_.reset();
    server_.reset();
    DataServerTest::TearDown();
  }
  // What the backend declares beyond the common contract; the tests hold it to it.
  kxmp::dataserver::BackendCapabilities Can() const { return kxmp::dataserver::CurrentBackend()->Capabilities(params_); }

  void MakeRoot() { ASSERT_OK(FS()->CreateFolder(root_, 1)); }

  std::shared_ptr<kxmp::dataserver::ContextState> state_;

  // Writes a whole file, creating its folders.
  void WriteAll(const std::string& path, const std::string& data) {
    FS()->CreateFolder(path.substr(0, path.rfind('/')), 1);
    auto f = File();
    ASSERT_TRUE(f);
    ASSERT_OK(f->Open(path, O_WRONLY | O_CREAT | O_TRUNC, 0660, 0));
    size_t done = 0;
    while (done < data.size()) {
      unsigned int n = 0;
      ASSERT_OK(f->Write(data.data() + done, static_cast<unsigned int>(data.size() - done), &n));
      ASSERT_GT(n, 0u);
      done += n;
    }
    ASSERT_OK(f->Close());
  }

  std::unique_ptr<kxmp::test::SshServer> server_;
  StorageProbe probe_;
  std::unique_ptr<ScopedBackend> scope_;
};

TEST_P(Contract, FactoriesMakeObjects) {
  EXPECT_TRUE(FS());
  EXPECT_TRUE(File());
}

TEST_P(Contract, ExistsAndCreateFolder) {
  auto fs = FS();
  bool exists = true;
  EXPECT_OK(fs->Exists(root_, exists));  // an absent path is no error
  EXPECT_FALSE(exists);
  EXPECT_ERRNO(fs->CreateFolder(root_, 0), ENOENT);  // one level only: KX_APP_DUMPS is missing
  EXPECT_OK(fs->CreateFolder(root_, 1));
  EXPECT_TRUE(probe_.Exists(mount_ + "/KX_APP_DUMPS/guid-1"));
  EXPECT_OK(fs->Exists(root_, exists));
  EXPECT_TRUE(exists);
  EXPECT_ERRNO(fs->CreateFolder(root_, 1), EEXIST);
  EXPECT_ERRNO(fs->CreateFolder(root_, 0), EEXIST);
  EXPECT_ERRNO(fs->CreateFolder(At("a/b"), 0), ENOENT);
  EXPECT_OK(fs->CreateFolder(At("a"), 0));
  EXPECT_OK(fs->CreateFolder(At("a/b/c"), 1));
  bool isFolder = false;
  EXPECT_OK(fs->IsFolder(At("a/b/c"), isFolder));
  EXPECT_TRUE(isFolder);
  EXPECT_OK(fs->Exists(At("a/missing/x"), exists));
  EXPECT_FALSE(exists);
}

TEST_P(Contract, CreateFolderOverAFileIsNotAnExistingFolder) {
  MakeRoot();
  WriteAll(At("f"), "x");
  EXPECT_ERRNO(FS()->CreateFolder(At("f"), 0), ENOTDIR);
  EXPECT_ERRNO(FS()->CreateFolder(At("f"), 1), ENOTDIR);
  EXPECT_ERRNO(FS()->CreateFolder(At("f/g"), 1), ENOTDIR);
}

TEST_P(Contract, WriteReadSeekTruncateRoundTrip) {
  MakeRoot();
  std::string data(100000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  WriteAll(At("log.tmp"), data);

  auto f = File();
  ASSERT_OK(f->Open(At("log.tmp"), O_RDONLY | O_NOATIME, 0, 0));
  long long size = 0;
  EXPECT_OK(f->GetSize(size));
  EXPECT_EQ(size, 100000);
  std::string back;
  char buf[4096];
  for (;;) {
    unsigned int n = 99;
    ASSERT_OK(f->Read(buf, sizeof buf, &n));
    if (n == 0) break;
    back.append(buf, n);
  }
  EXPECT_EQ(back, data);
  ASSERT_OK(f->Seek(5, 0, 0));
  unsigned int n = 0;
  ASSERT_OK(f->Read(buf, 3, &n));
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(std::string(buf, 3), data.substr(5, 3));
  long long pos = 0;
  EXPECT_OK(f->Tell(pos));
  EXPECT_EQ(pos, 8);
  EXPECT_ERRNO(f->Seek(-1, 0, 0), EINVAL);
  EXPECT_OK(f->Close());

  auto w = File();
  ASSERT_OK(w->Open(At("log.tmp"), O_RDWR, 0, 0));
  EXPECT_OK(w->Truncate(10));
  EXPECT_ERRNO(w->Truncate(-1), EINVAL);
  EXPECT_OK(w->Flush());
  EXPECT_OK(w->Close());
  SZoFileStat st {};
  EXPECT_OK(FS()->Stat(At("log.tmp"), st));
  EXPECT_EQ(st.st_size, 10);
  EXPECT_EQ(st.st_mode & 0xF000, 0x8000u);
}

TEST_P(Contract, FileOperationsNeedAnOpenFile) {
  MakeRoot();
  auto f = File();
  char buf[4];
  unsigned int n = 7;
  EXPECT_ERRNO(f->Read(buf, 4, &n), EBADF);
  EXPECT_EQ(n, 0u);
  EXPECT_ERRNO(f->Write(buf, 4, &n), EBADF);
  EXPECT_ERRNO(f->Seek(0, 0, 0), EBADF);
  EXPECT_ERRNO(f->Lock(0), EBADF);
  EXPECT_OK(f->Close());  // nothing to close
  EXPECT_ERRNO(f->Open(At("missing"), O_RDONLY, 0, 0), ENOENT);
  ASSERT_OK(f->Open(At("new"), O_WRONLY | O_CREAT, 0640, 0));
  EXPECT_ERRNO(f->Open(At("other"), O_WRONLY | O_CREAT, 0640, 0), EBUSY);
  EXPECT_FALSE(probe_.Exists(At("other")));
  // The writer creates its temporary file exclusively.
  auto excl = File();
  EXPECT_ERRNO(excl->Open(At("new"), O_WRONLY | O_CREAT | O_EXCL, 0640, 0), EEXIST);
}

TEST_P(Contract, StatMoveRemove) {
  MakeRoot();
  auto fs = FS();
  WriteAll(At("a.tmp"), "hello");
  SZoFileStat st {};
  EXPECT_ERRNO(fs->Stat(At("nope"), st), ENOENT);
  EXPECT_OK(fs->Move(At("a.tmp"), At("a"), 0));
  bool exists = true;
  EXPECT_OK(fs->Exists(At("a.tmp"), exists));
  EXPECT_FALSE(exists);
  EXPECT_EQ(probe_.Read(At("a")), "hello");

  WriteAll(At("b"), "other");
  if (Can().noReplaceMove) {
    EXPECT_ERRNO(fs->Move(At("b"), At("a"), 1), EEXIST);
    EXPECT_EQ(probe_.Read(At("a")), "hello");
  }
  EXPECT_OK(fs->Move(At("b"), At("a"), 0));
  EXPECT_EQ(probe_.Read(At("a")), "other");

  ASSERT_OK(fs->CreateFolder(At("d/e"), 1));
  EXPECT_OK(fs->Stat(At("d"), st));
  EXPECT_EQ(st.st_mode & 0xF000, 0x4000u);
  // A replacing Move follows rename(2): a file never replaces a folder, nor a folder a file.
  EXPECT_ERRNO(fs->Move(At("a"), At("d"), 0), EISDIR);
  EXPECT_ERRNO(fs->Move(At("d"), At("a"), 0), ENOTDIR);
  EXPECT_ERRNO(fs->Move(At("nope"), At("a"), 0), ENOENT);
  EXPECT_EQ(probe_.Read(At("a")), "other");
  EXPECT_ERRNO(fs->RemoveFolder(At("d"), 0), ENOTEMPTY);
  EXPECT_ERRNO(fs->RemoveFile(At("d/e"), 0), EISDIR);
  EXPECT_OK(fs->RemoveFolder(At("d/e"), 0));
  EXPECT_OK(fs->RemoveFolder(At("d"), 0));
  EXPECT_OK(fs->RemoveFile(At("a"), 0));
  EXPECT_ERRNO(fs->RemoveFile(At("a"), 0), ENOENT);
}

TEST_P(Contract, ChmodAndVolumeSize) {
  MakeRoot();
  WriteAll(At("m"), "x");
  EXPECT_OK(FS()->Chmod(At("m"), 0600));
  struct stat st {};
  ASSERT_TRUE(probe_.Stat(At("m"), st));
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  if (!Can().volumeSize) return;
  unsigned long long total = 0, free = ~0ULL;
  EXPECT_OK(FS()->GetVolumeSize("", &total, &free));
  EXPECT_GT(total, 0u);
  EXPECT_LE(free, total);
}

TEST_P(Contract, DirContentsSplitsFilesAndFolders) {
  MakeRoot();
  WriteAll(At("f1"), "1");
  WriteAll(At("f2"), "2");
  ASSERT_OK(FS()->CreateFolder(At("sub"), 0));
  ASSERT_TRUE(probe_.Link("sub", At("link")));
  std::vector<std::string> files{"stale"}, folders{"stale"};
  ASSERT_OK(FS()->GetDirContents(root_, files, folders));
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"f1", "f2", "link"}));
  EXPECT_EQ(folders, (std::vector<std::string>{"sub"}));
  EXPECT_ERRNO(FS()->GetDirContents(At("f1"), files, folders), ENOTDIR);
}

struct Seen {
  std::set<std::string> entries;  // "folder|name|d" or "folder|name|f"
  int calls = 0;
  int stopAt = -1;
};

CZoError Record(const char* folder, const char* name, bool isFolder, void* ctx) {
  auto* s = static_cast<Seen*>(ctx);
  s->entries.insert(std::string(folder) + "|" + name + (isFolder ? "|d" : "|f"));
  if (++s->calls == s->stopAt) return FXErrorUtil::ErrorErrNo(FX_LOC, EEXIST, "Entry found");
  return CZoError::Success();
}

TEST_P(Contract, WalkReachesEveryDepthWithoutFollowingLinks) {
  MakeRoot();
  WriteAll(At("top"), "t");
  WriteAll(At("a/b/c/deep"), "d");
  ASSERT_TRUE(probe_.Link(At("a"), At("a/b/loop")));
  Seen s;
  ASSERT_OK(FS()->WalkDir(root_ + "/", &s, -1, false, Record, 0));
  const std::string r = root_;
  EXPECT_EQ(s.entries, (std::set<std::string>{r + "|top|f", r + "|a|d", r + "/a|b|d", r + "/a/b|c|d",
                                              r + "/a/b|loop|f", r + "/a/b/c|deep|f"}));

  Seen files;
  ASSERT_OK(FS()->WalkDir(root_, &files, -1, true, Record, 0));
  EXPECT_EQ(files.entries, (std::set<std::string>{r + "|top|f", r + "/a/b|loop|f", r + "/a/b/c|deep|f"}));

  Seen shallow;
  ASSERT_OK(FS()->WalkDir(root_, &shallow, 0, false, Record, 0));
  EXPECT_EQ(shallow.entries, (std::set<std::string>{r + "|top|f", r + "|a|d"}));
}

struct DeepSeen {
  int files = 0;
  int folders = 0;
  size_t deepestFolder = 0;  // length of the longest folder path a file was reported in
};

CZoError CountDeep(const char* folder, const char* name, bool isFolder, void* ctx) {
  auto* s = static_cast<DeepSeen*>(ctx);
  if (isFolder) {
    ++s->folders;
  } else {
    ++s->files;
    s->deepestFolder = std::max(s->deepestFolder, std::strlen(folder));
  }
  return CZoError::Success();
}

// The local backend's walk (every backend here walks through it).
class LocalWalk : public kxmp::test::DataServerTest {};

TEST_F(LocalWalk, ATreeDeeperThanTheDescriptorLimitReachesTheBottom) {
  ASSERT_OK(FS()->CreateFolder(root_, 1));
  // 1,100 levels "d", each also holding a folder "s" with a file, the bottom a file: the
  // walk must come back up through every level and still descend into its "s".
  constexpr int kLevels = 1100;
  {
    kxmp::UniqueFd dir(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir.valid());
    for (int i = 0; i < kLevels; ++i) {
      ASSERT_EQ(0, ::mkdirat(dir.get(), "s", 0750));
      ASSERT_EQ(0, ::close(::openat(dir.get(), "s/f", O_CREAT | O_WRONLY | O_CLOEXEC, 0640)));
      ASSERT_EQ(0, ::mkdirat(dir.get(), "d", 0750));
      dir.reset(::openat(dir.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      ASSERT_TRUE(dir.valid()) << i;
    }
    ASSERT_EQ(0, ::close(::openat(dir.get(), "bottom", O_CREAT | O_WRONLY | O_CLOEXEC, 0640)));
  }
  kxmp::test::ForkChild child([this](kxmp::test::ForkChild::Channel&) {
    struct rlimit few {1024, 1024};
    if (::setrlimit(RLIMIT_NOFILE, &few) != 0) return 10;
    DeepSeen seen;
    CZoError err = FS()->WalkDir(root_, &seen, -1, false, CountDeep, 0);
    if (err.IsError()) {
      std::fprintf(stderr, "%s\n", err.AsString().c_str());
      return 11;
    }
    if (seen.files != kLevels + 1) return 12;
    if (seen.folders != 2 * kLevels) return 13;
    if (seen.deepestFolder != root_.size() + 2 * kLevels) return 14;  // "/d" per level
    // The level limit still holds on the way.
    DeepSeen shallow;
    if (FS()->WalkDir(root_, &shallow, 2, true, CountDeep, 0).IsError() || shallow.files != 2) return 15;
    return 0;
  });
  EXPECT_EQ(0, child.Join());

  // Removed bottom-up by path here, as removal of the test's home descends one descriptor per level.
  std::string path = root_;
  for (int i = 0; i < kLevels; ++i) path += "/d";
  ASSERT_EQ(0, ::unlink((path + "/bottom").c_str()));
  for (int i = 0; i < kLevels; ++i) {
    ASSERT_EQ(0, ::rmdir(path.c_str()));
    path.resize(path.size() - 2);
    ASSERT_EQ(0, ::unlink((path + "/s/f").c_str()));
    ASSERT_EQ(0, ::rmdir((path + "/s").c_str()));
  }
}

TEST_P(Contract, WalkStopsAtTheFirstCallbackError) {
  MakeRoot();
  for (int i = 0; i < 10; ++i) WriteAll(At("d/f" + std::to_string(i)), "x");
  Seen s;
  s.stopAt = 3;
  CZoError err = FS()->WalkDir(root_, &s, -1, false, Record, 0);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EEXIST));
  EXPECT_EQ(err.Message(), "Entry found");
  EXPECT_EQ(s.calls, 3);
  EXPECT_ERRNO(FS()->WalkDir(root_, &s, -1, false, nullptr, 0), EINVAL);
  EXPECT_ERRNO(FS()->WalkDir(At("missing"), &s, -1, false, Record, 0), ENOENT);
}

TEST_P(Contract, WholeFileLockExcludesOtherHandles) {
  MakeRoot();
  WriteAll(At("lk"), "x");
  auto a = File();
  auto b = File();
  ASSERT_OK(a->Open(At("lk"), O_RDWR, 0, 0));
  ASSERT_OK(b->Open(At("lk"), O_RDWR, 0, 0));
  EXPECT_ERRNO(b->Lock(4), EINVAL);
  if (!Can().fileLocks) {
    EXPECT_ERRNO(a->Lock(0), ENOSYS);
    EXPECT_ERRNO(a->Unlock(), ENOSYS);
    return;
  }
  ASSERT_OK(a->Lock(0));
  EXPECT_ERRNO(b->Lock(2), EWOULDBLOCK);
  ASSERT_OK(a->Unlock());
  EXPECT_OK(b->Lock(2));
  EXPECT_OK(b->Unlock());
}

INSTANTIATE_TEST_SUITE_P(
    Backends, Contract,
    ::testing::Values(BackendCase{"Local", Kind::Local}, BackendCase{"LocalComponentWalk", Kind::LocalComponentWalk},
                      BackendCase{"FaultyWithoutFaults", Kind::Faulty}, BackendCase{"Sftp", Kind::Sftp},
                      BackendCase{"LocalInContext", Kind::Local, true},
                      BackendCase{"LocalComponentWalkInContext", Kind::LocalComponentWalk, true},
                      BackendCase{"RouterInContext", Kind::Router, true}, BackendCase{"SftpInContext", Kind::Sftp, true}),
    [](const ::testing::TestParamInfo<BackendCase>& info) { return std::string(info.param.name); });

// The system calls through fixed virtual slots; a reordered declaration must fail here.
template <typename C, typename F>
size_t SlotOf(F C::*member) {
  struct {
    uintptr_t ptr;
    ptrdiff_t adj;
  } rep;
  static_assert(sizeof(member) == sizeof(rep), "Itanium member pointer");
  std::memcpy(&rep, &member, sizeof rep);
  return (rep.ptr - 1) / sizeof(void*);
}

TEST(InterfaceLayout, SlotsKeepTheirNumbers) {
  EXPECT_EQ(SlotOf(&CFSInterface::Exists), 4u);
  EXPECT_EQ(SlotOf(&CFSInterface::CreateFolder), 6u);
  EXPECT_EQ(SlotOf(&CFSInterface::GetVolumeSize), 7u);
  EXPECT_EQ(SlotOf(&CFSInterface::Stat), 9u);
  EXPECT_EQ(SlotOf(&CFSInterface::RemoveFile), 11u);
  EXPECT_EQ(SlotOf(&CFSInterface::RemoveFolder), 12u);
  EXPECT_EQ(SlotOf(&CFSInterface::GetDirContents), 13u);
  EXPECT_EQ(SlotOf(&CFSInterface::WalkDir), 14u);
  EXPECT_EQ(SlotOf(&CFSInterface::Chmod), 15u);
  EXPECT_EQ(SlotOf(&CFSInterface::Move), 19u);
  EXPECT_EQ(SlotOf(&CFileInterface::Open), 2u);
  EXPECT_EQ(SlotOf(&CFileInterface::Close), 3u);
  EXPECT_EQ(SlotOf(&CFileInterface::Read), 4u);
  EXPECT_EQ(SlotOf(&CFileInterface::Write), 5u);
  EXPECT_EQ(SlotOf(&CFileInterface::Seek), 6u);
  EXPECT_EQ(SlotOf(&CFileInterface::Truncate), 9u);
  EXPECT_EQ(SlotOf(&CFileInterface::Flush), 11u);
  EXPECT_EQ(SlotOf(&CFileInterface::Lock), 14u);
  EXPECT_EQ(SlotOf(&CFileInterface::Unlock), 15u);
}

}  // namespace
