// test-labels: integration concurrency
// What the SFTP backend adds to the common contract (Contract_test runs that one on it): host
// keys, confinement on the storage host, the replacing Move's crash points, bounded failure,
// reconnects, a bounded pool of sessions, reads that ask for what a file holds, a full disk,
// durability. Every case runs against a real sshd; the storage host is probed through its
// chroot folder.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "outside/dataserver/Backend.h"
#include "outside/dataserver/ContextState.h"
#include "outside/dataserver/MountPathAuthority.h"
#include "outside/dataserver/sftp/SftpBackend.h"
#include "outside/error/FXErrorUtil.h"
#include "support/ErrnoAsserts.h"
#include "support/SshServer.h"
#include "support/Subprocess.h"
#include "support/TempHome.h"
#include "support/Timing.h"

using kxmp::dataserver::FixedMountPathAuthority;
using kxmp::dataserver::SftpBackend;
using kxmp::dataserver::SftpSettings;

namespace {


size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class SftpBackendTest : public kxmp::test::HomeTest {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    std::string why = kxmp::test::SshServer::WhyUnavailable();
    if (!why.empty()) GTEST_SKIP() << "No SSH server: " << why;
    server_ = std::make_unique<kxmp::test::SshServer>();
  }
  // Starts the server (after a test chose its options) and makes the backend.
  void Start(int ioTimeoutSec = 30) {
    std::string why;
    ASSERT_TRUE(server_->Start(why)) << why;
    ASSERT_EQ(::mkdir(Local("/srv").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(Local("/srv/mp1").c_str(), 0750), 0);
    ASSERT_EQ(::mkdir(Local("/srv/other").c_str(), 0750), 0);
    kxmp::test::WriteFile(Local("/srv/other/secret"), "secret");
    authority_->Add("ma1", "/srv/mp1");
    authority_->Add("ma1", "/srv/mp2");  // listed, but not present on the host
    settings_.address = server_->Address();
    settings_.port = server_->Port();
    settings_.user = server_->User();
    settings_.identityFile = server_->IdentityFile();
    settings_.knownHostsFile = server_->KnownHostsFile();
    settings_.connectTimeoutSec = ioTimeoutSec;
    settings_.ioTimeoutSec = ioTimeoutSec;
    params_.version = 2;
    params_.host.hostName = "ma1";
    params_.host.mountPath = root_;
    backend_ = Make();
  }
  std::shared_ptr<SftpBackend> Make(std::chrono::seconds idle = std::chrono::seconds(60)) {
    return std::make_shared<SftpBackend>(settings_, "ma1", authority_, idle);
  }
  void TearDown() override {
    backend_.reset();
    server_.reset();
    HomeTest::TearDown();
  }

  std::string Local(const std::string& hostPath) const { return server_->Chroot() + hostPath; }
  std::string At(const std::string& rel) const { return root_ + "/" + rel; }
  std::unique_ptr<CFSInterface> FS(SftpBackend* b = nullptr) const {
    return std::unique_ptr<CFSInterface>((b ? b : backend_.get())->NewFSInterface(params_));
  }
  std::unique_ptr<CFileInterface> File(SftpBackend* b = nullptr) const {
    return std::unique_ptr<CFileInterface>((b ? b : backend_.get())->NewFileInterface(params_));
  }
  void Put(const std::string& path, const std::string& data, SftpBackend* b = nullptr) {
    FS(b)->CreateFolder(path.substr(0, path.rfind('/')), 1);
    auto f = File(b);
    ASSERT_OK(f->Open(path, O_WRONLY | O_CREAT | O_TRUNC, 0640, 0));
    for (size_t done = 0; done < data.size();) {
      unsigned int n = 0;
      ASSERT_OK(f->Write(data.data() + done, static_cast<unsigned int>(data.size() - done), &n));
      done += n;
    }
    ASSERT_OK(f->Close());
  }
  std::string Get(const std::string& path, SftpBackend* b = nullptr) {
    auto f = File(b);
    CZoError err = f->Open(path, O_RDONLY, 0, 0);
    if (err.IsError()) return "<" + err.AsString() + ">";
    std::string out;
    char buf[65536];
    for (unsigned int n = 1; n != 0;) {
      err = f->Read(buf, sizeof buf, &n);
      if (err.IsError()) return "<" + err.AsString() + ">";
      out.append(buf, n);
    }
    return out;
  }

  std::unique_ptr<kxmp::test::SshServer> server_;
  std::shared_ptr<FixedMountPathAuthority> authority_ = std::make_shared<FixedMountPathAuthority>();
  SftpSettings settings_;
  CFSInitParams params_;
  const std::string root_ = "/srv/mp1/KX_APP_DUMPS/guid-1";
  std::shared_ptr<SftpBackend> backend_;
};

TEST_F(SftpBackendTest, HostKeysAreCheckedStrictly) {
  server_->AddUnlistedEcdsaHostKey();  // a host with two keys, stored with one type
  Start();
  // The stored ed25519 key is asked for, so the host's other key type is no mismatch.
  ASSERT_OK(FS()->CreateFolder(root_, 1));
  kxmp::dataserver::SftpHostCheck check;
  ASSERT_OK(kxmp::dataserver::CheckSftpHost(settings_, "ma1", check));
  EXPECT_EQ(check.hostKeyType, "ssh-ed25519");
  EXPECT_EQ(check.hostKeyFingerprint, server_->HostKeyFingerprint());
  bool fsync = false, statvfs = false;
  for (const auto& [name, version] : check.extensions) {
    fsync = fsync || name == "fsync@openssh.com";
    statvfs = statvfs || name == "statvfs@openssh.com";
  }
  EXPECT_TRUE(fsync && statvfs);
  EXPECT_GT(check.roundTripMs, 0.0);

  // Unknown and changed keys: refused before anything is sent, naming the offered key.
  const std::string unknown = home_->sub("empty_known_hosts");
  kxmp::test::WriteFile(unknown, "");
  for (const std::string& file : {unknown, server_->WriteWrongKnownHosts("wrong_known_hosts")}) {
    settings_.knownHostsFile = file;
    auto other = Make();
    CZoError err = FS(other.get())->CreateFolder(At("never"), 1);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(err, EACCES)) << err.AsString();
    EXPECT_NE(err.AsString().find("host key"), std::string::npos) << err.AsString();
    // The fingerprint of the key offered: for an unknown host whichever the server prefers,
    // for a changed one the stored type's.
    const std::string want = file == unknown ? "SHA256:" : server_->HostKeyFingerprint();
    EXPECT_NE(err.AsString().find(want), std::string::npos) << err.AsString();
    EXPECT_TRUE(FXErrorUtil::IsErrNo(kxmp::dataserver::CheckSftpHost(settings_, "ma1", check), EACCES));
  }
  EXPECT_FALSE(kxmp::test::PathExists(Local(At("never"))));
}

// RSA keys sign with SHA-2 (rsa-sha2-512/256): OpenSSH 8.8 and later refuse SHA-1 signatures.
// An RSA key in the PEM format older tools write logs in the same way.
TEST_F(SftpBackendTest, RsaKeysLogIn) {
  Start();
  for (const char* format : {"RFC4716", "PEM"}) {
    SCOPED_TRACE(format);
    const std::string key = home_->sub(std::string("rsa_") + format);
    kxmp::test::RunResult r =
        kxmp::test::RunTool({"/usr/bin/ssh-keygen", "-q", "-t", "rsa", "-b", "2048", "-m", format, "-N", "", "-f", key});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(server_->AuthorizeKey(key + ".pub"));
    settings_.identityFile = key;
    auto rsa = Make();
    ASSERT_OK(FS(rsa.get())->CreateFolder(At(format), 1));
    EXPECT_TRUE(kxmp::test::PathExists(Local(At(format))));
  }
  EXPECT_EQ(Count(server_->Log(), "ssh2: RSA SHA256:"), 2u) << server_->Log();
}

TEST_F(SftpBackendTest, PathsStayBelowTheMountPathOnTheHost) {
  Start();
  ASSERT_OK(FS()->CreateFolder(At("sub"), 1));
  ASSERT_EQ(::symlink("/srv/other", Local(At("out")).c_str()), 0);          // a folder outside
  ASSERT_EQ(::symlink("/srv/other/secret", Local(At("esc")).c_str()), 0);   // a file outside
  ASSERT_EQ(::symlink("sub", Local(At("in")).c_str()), 0);                  // inside: followed
  auto fs = FS();
  SZoFileStat st {};
  std::vector<std::string> files, folders;
  EXPECT_ERRNO(fs->Stat(At("out/secret"), st), EACCES);
  EXPECT_ERRNO(fs->Stat(At("esc"), st), EACCES);
  EXPECT_ERRNO(fs->GetDirContents(At("out"), files, folders), EACCES);
  EXPECT_ERRNO(fs->CreateFolder(At("out/made"), 1), EACCES);
  EXPECT_ERRNO(fs->Move(At("out/secret"), At("stolen"), 0), EACCES);
  EXPECT_ERRNO(fs->Stat(root_ + "/../../other/secret", st), EACCES);
  EXPECT_ERRNO(fs->Stat("/srv/other/secret", st), EACCES);
  auto f = File();
  EXPECT_ERRNO(f->Open(At("esc"), O_RDONLY, 0, 0), EACCES);
  EXPECT_ERRNO(f->Open(At("esc"), O_WRONLY | O_CREAT | O_TRUNC, 0640, 0), EACCES);
  EXPECT_ERRNO(f->Open(At("out/new"), O_WRONLY | O_CREAT, 0640, 0), EACCES);
  ASSERT_OK(fs->Lstat(At("esc"), st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_OK(fs->Stat(At("in"), st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_OK(fs->RemoveFile(At("esc"), 0));  // the link, not what it names
  EXPECT_EQ(kxmp::test::ReadFile(Local("/srv/other/secret")), "secret");
  EXPECT_FALSE(kxmp::test::PathExists(Local("/srv/other/made")));
  EXPECT_FALSE(kxmp::test::PathExists(Local("/srv/other/new")));

  // A listed mount path missing on the host: ENODEV for everything, and never created.
  params_.host.mountPath = "/srv/mp2/KX_APP_DUMPS/guid-1";
  bool exists = true;
  unsigned long long total = 0, free = 0;
  EXPECT_ERRNO(FS()->CreateFolder(params_.host.mountPath, 1), ENODEV);
  EXPECT_ERRNO(FS()->Exists(params_.host.mountPath, exists), ENODEV);
  EXPECT_ERRNO(FS()->GetVolumeSize("", &total, &free), ENODEV);
  EXPECT_ERRNO(File()->Open(params_.host.mountPath + "/f", O_WRONLY | O_CREAT, 0640, 0), ENODEV);
  EXPECT_FALSE(kxmp::test::PathExists(Local("/srv/mp2")));
}

// A session's first requests look at the served tree's folders ahead and a missing chain is
// made from those answers; each case below is met on a session of its own, so the answers
// ahead are what decides. A folder on the way that is a link out or a file stops the chain
// as it does folder by folder; a chain made holds the files written into it, and a later
// session finds the tree and syncs it on the handle it opened ahead.
TEST_F(SftpBackendTest, TheServedTreesChainIsMadeFromTheFirstLooks) {
  Start();
  const std::string dumps = Local("/srv/mp1/KX_APP_DUMPS");
  ASSERT_EQ(::symlink("/srv/other", dumps.c_str()), 0);
  EXPECT_ERRNO(FS(Make().get())->CreateFolder(root_, 1), EACCES);
  EXPECT_FALSE(kxmp::test::PathExists(Local("/srv/other/guid-1")));
  ASSERT_EQ(::unlink(dumps.c_str()), 0);

  kxmp::test::WriteFile(dumps, "a file");
  EXPECT_ERRNO(FS(Make().get())->CreateFolder(root_, 1), ENOTDIR);
  bool exists = true;
  ASSERT_OK(FS(Make().get())->Exists(root_, exists));
  EXPECT_FALSE(exists);
  ASSERT_EQ(::unlink(dumps.c_str()), 0);

  // Without parents only the tree itself may be made.
  EXPECT_ERRNO(FS(Make().get())->CreateFolder(root_, 0), ENOENT);
  EXPECT_FALSE(kxmp::test::PathExists(dumps));

  {
    std::shared_ptr<SftpBackend> fresh = Make();
    auto fs = FS(fresh.get());
    ASSERT_OK(fs->Exists(root_, exists));
    EXPECT_FALSE(exists);
    ASSERT_OK(fs->CreateFolder(root_, 1));
    struct stat st {};
    ASSERT_EQ(::lstat(Local(root_).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    Put(At("log_1.trn"), "one", fresh.get());
    ASSERT_OK(fs->Move(At("log_1.trn"), At("log_2.trn"), 1));
    EXPECT_ERRNO(fs->CreateFolder(root_, 1), EEXIST);
  }
  // A later session finds the tree and commits into it on the folder handle opened ahead.
  {
    std::shared_ptr<SftpBackend> later = Make();
    ASSERT_OK(FS(later.get())->Exists(root_, exists));
    EXPECT_TRUE(exists);
    Put(At("log_3.trn"), "three", later.get());
    ASSERT_OK(FS(later.get())->Move(At("log_3.trn"), At("log_4.trn"), 1));
    EXPECT_EQ(Get(At("log_2.trn"), later.get()), "one");
    EXPECT_EQ(Get(At("log_4.trn"), later.get()), "three");
  }
  // Made meanwhile by another writer: the looks ahead said missing, the mkdirs say otherwise,
  // and the folder found is the existing one (EEXIST, as folder by folder).
  std::filesystem::remove_all(dumps);
  std::shared_ptr<SftpBackend> raced = Make();
  auto fs = FS(raced.get());
  ASSERT_OK(fs->Exists(root_, exists));
  EXPECT_FALSE(exists);
  std::filesystem::create_directories(Local(root_));
  EXPECT_ERRNO(fs->CreateFolder(root_, 1), EEXIST);
  Put(At("log_5.trn"), "five", raced.get());
  EXPECT_EQ(kxmp::test::ReadFile(Local(At("log_5.trn"))), "five");
}

// A replacing Move sets the old version aside, moves the new one in, then removes the aside
// copy. A crash after either of the first two steps leaves what each case lays out below.
TEST_F(SftpBackendTest, ReplacingMoveLeavesOneWholeVersionAtEveryCrashPoint) {
  Start();
  struct Case {
    const char* step;
    const char* underName;  // what the name holds right after the crash ("" none)
    const char* recovered;  // what it holds after the next operation on it
  };
  for (const Case& c : {Case{"set-aside", "", "old"}, Case{"moved-in", "new", "new"}}) {
    SCOPED_TRACE(c.step);
    kxmp::test::WriteFile(Local(At("f.kxmp-replaced.tmp")), "old");
    kxmp::test::WriteFile(Local(At(*c.underName ? "f" : "f.tmp")), "new");

    // The next operation on the name (here a listing of its folder) finishes the job.
    std::vector<std::string> files, folders;
    ASSERT_OK(FS()->GetDirContents(root_, files, folders));
    EXPECT_EQ(std::count(files.begin(), files.end(), "f"), 1);
    EXPECT_EQ(std::count(files.begin(), files.end(), "f.kxmp-replaced.tmp"), 0);
    EXPECT_EQ(kxmp::test::ReadFile(Local(At("f"))), c.recovered);
    EXPECT_FALSE(kxmp::test::PathExists(Local(At("f.kxmp-replaced.tmp"))));

    // A Move after a recovery replaces as usual.
    if (kxmp::test::PathExists(Local(At("f.tmp")))) ASSERT_OK(FS()->Move(At("f.tmp"), At("f"), 0));
    EXPECT_EQ(Get(At("f")), "new");
    ASSERT_OK(FS()->RemoveFile(At("f"), 0));
  }
  // Recovery by opening the name, too.
  kxmp::test::WriteFile(Local(At("g.kxmp-replaced.tmp")), "old");
  Put(At("g.tmp"), "new");
  EXPECT_EQ(Get(At("g")), "old");
  // A whole replacing Move leaves no aside copy.
  ASSERT_OK(FS()->Move(At("g.tmp"), At("g"), 0));
  EXPECT_EQ(Get(At("g")), "new");
  EXPECT_FALSE(kxmp::test::PathExists(Local(At("g.kxmp-replaced.tmp"))));
}

// A server that refuses posix-rename@openssh.com: the replacing Move sets the old version
// aside, moves the new one in and removes the aside copy, by the same rules as rename(2).
TEST_F(SftpBackendTest, ReplacingMoveWithoutPosixRenameSetsTheOldVersionAside) {
  server_->SetSftpOptions("-P posix-rename");
  server_->LogRequests();
  Start();
  Put(At("f"), "old");
  Put(At("f.tmp"), "new");
  const size_t mark = server_->RequestLogSize();
  ASSERT_OK(FS()->Move(At("f.tmp"), At("f"), 0));
  std::map<std::string, size_t> seen = server_->Requests(mark);
  EXPECT_EQ(seen["rename"], 2u);
  EXPECT_EQ(seen["remove"], 1u);
  EXPECT_EQ(Get(At("f")), "new");
  EXPECT_FALSE(kxmp::test::PathExists(Local(At("f.kxmp-replaced.tmp"))));
  auto fs = FS();
  ASSERT_OK(fs->CreateFolder(At("d"), 0));
  EXPECT_ERRNO(fs->Move(At("f"), At("d"), 0), EISDIR);
  EXPECT_ERRNO(fs->Move(At("d"), At("f"), 0), ENOTDIR);
  EXPECT_EQ(Get(At("f")), "new");
}

TEST_F(SftpBackendTest, StoppedServerFailsWithinTheTimeout) {
  Start(2);
  Put(At("f"), "data");
  server_->Pause();
  SZoFileStat st {};
  auto start = kxmp::test::SteadyClock::now();
  CZoError err = FS()->Stat(At("f"), st);  // on the pooled connection
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ETIMEDOUT)) << err.AsString();
  EXPECT_NE(err.AsString().find("storage host ma1"), std::string::npos) << err.AsString();
  err = FS()->Stat(At("f"), st);  // a new connection: the handshake gets no answer
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ETIMEDOUT)) << err.AsString();
  // Two bounded waits of 2 s each; generous slack for a loaded machine.
  EXPECT_LT(kxmp::test::ElapsedMs(start), 2 * 2000 + 10000);
  server_->Resume();
  ASSERT_OK(FS()->Stat(At("f"), st));
  EXPECT_EQ(st.st_size, 4);

  server_->Kill();
  EXPECT_ERRNO(FS()->Stat(At("f"), st), ECONNREFUSED);
}

TEST_F(SftpBackendTest, DroppedConnectionIsReopenedOnceForReads) {
  Start();
  std::string data(3 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 12));
  Put(At("big"), data);
  auto reader = File();
  ASSERT_OK(reader->Open(At("big"), O_RDONLY, 0, 0));
  std::vector<char> buf(1 << 20);
  unsigned int n = 0;
  ASSERT_OK(reader->Read(buf.data(), static_cast<unsigned int>(buf.size()), &n));
  std::string back(buf.data(), n);
  auto writer = File();
  ASSERT_OK(writer->Open(At("w"), O_WRONLY | O_CREAT, 0640, 0));

  server_->DropSessions();
  SZoFileStat st {};
  ASSERT_OK(FS()->Stat(At("big"), st));  // reconnected under the hood
  EXPECT_EQ(st.st_size, static_cast<off_t>(data.size()));
  for (;;) {
    ASSERT_OK(reader->Read(buf.data(), static_cast<unsigned int>(buf.size()), &n));  // reopened at its offset
    if (n == 0) break;
    back.append(buf.data(), n);
  }
  EXPECT_TRUE(back == data) << "read back " << back.size() << " bytes";
  // A file being written is not silently reopened: what reached the disk is unknown.
  EXPECT_ERRNO(writer->Write("x", 1, &n), ECONNRESET);
  EXPECT_TRUE(writer->Close().IsError());
  EXPECT_EQ(Count(server_->Log(), "Accepted publickey"), 2u);
}

// Threads working at once get sessions of their own, up to the bound; one thread, however
// many objects it uses (an open file and path operations beside it), keeps one session.
TEST_F(SftpBackendTest, ThreadsShareABoundedNumberOfSessions) {
  Start();
  ASSERT_OK(FS()->CreateFolder(root_, 1));
  auto open = File();
  ASSERT_OK(open->Open(At("held"), O_WRONLY | O_CREAT, 0640, 0));
  Put(At("one"), "1");
  EXPECT_EQ(Get(At("one")), "1");
  ASSERT_OK(open->Close());
  EXPECT_EQ(backend_->Pool().Sessions(), 1u);
  EXPECT_EQ(Count(server_->Log(), "Accepted publickey"), 1u);

  struct Bound {
    Bound() { kxmp::dataserver::SetSftpSessionsPerHost(2); }
    ~Bound() { kxmp::dataserver::SetSftpSessionsPerHost(kxmp::dataserver::kDefaultSftpSessionsPerHost); }
  } bound;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 8; ++i) {
        const std::string name = At("t" + std::to_string(t) + "_" + std::to_string(i));
        const std::string data(70000 + t * 1000 + i, static_cast<char>('a' + t));
        auto f = File();
        unsigned int n = 0;
        bool ok = !f->Open(name + ".tmp", O_WRONLY | O_CREAT | O_EXCL, 0640, 0).IsError();
        for (size_t done = 0; ok && done < data.size(); done += n) {
          ok = !f->Write(data.data() + done, static_cast<unsigned int>(data.size() - done), &n).IsError();
        }
        ok = ok && !f->Close().IsError() && !FS()->Move(name + ".tmp", name, 0).IsError();
        ok = ok && Get(name) == data;
        if (!ok) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(backend_->Pool().Size(), 1u);
  EXPECT_LE(backend_->Pool().Sessions(), 2u);
  EXPECT_LE(Count(server_->Log(), "Accepted publickey"), 2u);
}

// The authority's answers, counted.
class CountingFixedAuthority : public kxmp::dataserver::MountPathAuthority {
 public:
  explicit CountingFixedAuthority(std::shared_ptr<FixedMountPathAuthority> inner) : inner_(std::move(inner)) {}
  CZoError MountPathsOf(const std::string& host, std::vector<std::string>& paths) override {
    ++calls;
    return inner_->MountPathsOf(host, paths);
  }
  std::atomic<int> calls{0};

 private:
  std::shared_ptr<FixedMountPathAuthority> inner_;
};

// Under a data-server context the catalog is asked once, however many objects and threads
// the context's files take (with a PostgreSQL catalog each question is a connection).
TEST_F(SftpBackendTest, TheCatalogIsAskedOncePerContext) {
  Start();
  auto counting = std::make_shared<CountingFixedAuthority>(authority_);
  auto backend = std::make_shared<SftpBackend>(settings_, "ma1", counting);
  ASSERT_OK(FS(backend.get())->CreateFolder(root_, 1));
  EXPECT_EQ(counting->calls.load(), 1);  // no context: every object asks
  {
    auto state = kxmp::dataserver::AttachContextState(params_);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 3; ++i) Put(At("c" + std::to_string(t) + "_" + std::to_string(i)), "log", backend.get());
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(Get(At("c2_2"), backend.get()), "log");
    EXPECT_EQ(counting->calls.load(), 2);
  }
  Put(At("after"), "log", backend.get());  // the context is gone: asked again
  EXPECT_GT(counting->calls.load(), 2);
}

struct Reentry {
  SftpBackendTest* test;
  std::unique_ptr<CFSInterface> fs;
  int seen = 0;
};

TEST_F(SftpBackendTest, WalkCallbacksMayUseTheHost) {
  Start();
  Put(At("a/one"), "1");
  Put(At("a/b/two"), "2");
  // The callback reads the host through the same pooled connection while the walk runs.
  Reentry r{this, FS()};
  auto cb = [](const char* folder, const char* name, bool isFolder, void* ctx) {
    auto* re = static_cast<Reentry*>(ctx);
    bool exists = false;
    CZoError err = re->fs->Exists(std::string(folder) + "/" + name, exists);
    if (err.IsError()) return err;
    if (!exists) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Walked entry missing");
    ++re->seen;
    return CZoError::Success();
  };
  ASSERT_OK(FS()->WalkDir(root_, &r, -1, false, cb, 0));
  EXPECT_EQ(r.seen, 4);
}

TEST_F(SftpBackendTest, ServerWithoutFsyncIsRefused) {
  server_->SetSftpOptions("-P fsync");  // the server neither offers nor accepts fsync
  Start();
  std::filesystem::create_directories(Local(root_));
  auto f = File();
  CZoError err = f->Open(At("f"), O_WRONLY | O_CREAT, 0640, 0);
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ENOTSUP)) << err.AsString();
  EXPECT_NE(err.AsString().find("fsync@openssh.com"), std::string::npos) << err.AsString();
  EXPECT_ERRNO(FS()->Move(At("a"), At("b"), 0), ENOTSUP);
  EXPECT_FALSE(kxmp::test::PathExists(Local(At("f"))));
}

// A file opened for reading is read up to the size it has, in requests as large as the server
// allows (its limits@openssh.com: 261,120 bytes), sent at once, and one more request, sent
// with the last, finds its end: a 64 KiB file costs one read and that one. Counted in the
// server's own record.
TEST_F(SftpBackendTest, ReadsAskForWhatTheFileHolds) {
  server_->LogRequests();
  Start();
  for (size_t size : {size_t(0), size_t(1), size_t(65536), size_t(3 << 20) + 5}) {
    SCOPED_TRACE(size);
    std::string data(size, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 13));
    Put(At("f"), data);
    const size_t mark = server_->RequestLogSize();
    EXPECT_TRUE(Get(At("f")) == data);
    std::map<std::string, size_t> seen = server_->Requests(mark);
    const size_t serverRead = 261120;
    EXPECT_EQ(seen["read"], (size + serverRead - 1) / serverRead + 1);
    // Besides: the mount path and served tree were resolved once on the session (by Put), so
    // the open costs the realpath of the file's folder and an lstat or two, and then close.
    size_t others = 0;
    for (const auto& [name, n] : seen) others += name == "read" ? 0 : n;
    EXPECT_LE(others, 5u) << "realpath " << seen["realpath"] << ", lstat " << seen["lstat"] << ", stat " << seen["stat"];
  }
}

// OpenSSH answers a write to a full disk with a bare "failure"; the error says what it is.
TEST_F(SftpBackendTest, AFullDiskSaysSo) {
  Start();
  const std::string disk = Local("/srv/mp1");
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount a small file system";
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{disk};
  auto f = File();
  ASSERT_OK(FS()->CreateFolder(root_, 1));
  ASSERT_OK(f->Open(At("big"), O_WRONLY | O_CREAT | O_EXCL, 0640, 0));
  const std::string data(4 << 20, 'x');
  unsigned int n = 0;
  CZoError err = f->Write(data.data(), static_cast<unsigned int>(data.size()), &n);
  if (!err.IsError()) err = f->Close();
  EXPECT_TRUE(FXErrorUtil::IsErrNo(err, ENOSPC)) << err.AsString();
  EXPECT_NE(err.AsString().find("its file system is full"), std::string::npos) << err.AsString();
}

TEST_F(SftpBackendTest, IdleConnectionsAreClosed) {
  Start();
  auto idle = Make(std::chrono::seconds(1));
  ASSERT_OK(FS(idle.get())->CreateFolder(root_, 1));
  const auto deadline = kxmp::test::SteadyClock::now() + std::chrono::seconds(30);
  while (Count(server_->Log(), "Disconnected from user") == 0 && kxmp::test::SteadyClock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(Count(server_->Log(), "Disconnected from user"), 1u);
  bool exists = false;
  ASSERT_OK(FS(idle.get())->Exists(root_, exists));  // connects again
  EXPECT_TRUE(exists);
}

}  // namespace
