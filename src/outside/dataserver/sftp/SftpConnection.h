#pragma once
// The SSH sessions to one (address, port, user), and the pool that owns them.
//
// A connection holds up to SftpSessionsPerHost() sessions, each in a slot with its own mutex
// (an SSH session is not thread-safe). Interface objects hold a shared pointer to the
// connection and use a session through a Lease, which locks a slot and connects when its
// session is missing or broken. A path operation takes the free slot its thread used last,
// then the free open slot used least recently (a recently used one is likely another
// thread's), then a free one to reconnect; only when every slot is busy is a new session
// opened (up to the bound; beyond it the lease waits for a slot). So one thread, or threads
// that take turns, keep one session, and parallel workers each keep their own: what a
// session remembers (resolved paths, kept folders, the last look) serves the worker that
// made it, and no worker waits on a slot where another's file is open. An open file stays on the slot of its handle. A broken
// session is replaced on the slot's next lease; objects that hold handles of the old one keep
// it alive (SessionPtr) until they let go.
//
// The pool's housekeeping thread sends keepalives on idle sessions and closes those idle for
// longer than the idle limit that no object uses.

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "outside/dataserver/sftp/SftpSettings.h"
#include "outside/dataserver/sftp/SshSession.h"

namespace kxmp::dataserver {

using SessionPtr = std::shared_ptr<SshSession>;

class SftpConnection {
 public:
  SftpConnection(SftpSettings settings, std::string hostName);

  // One session's place: its mutex serialises every use of the session.
  struct Slot {
    std::mutex mutex;
    SessionPtr session;
    std::chrono::steady_clock::time_point lastUse;
    std::thread::id lastThread;  // the thread that held it last
  };
  using SlotPtr = std::shared_ptr<Slot>;

  class Lease {
   public:
    Lease() = default;
    ~Lease();  // lets the slot go and wakes a lease waiting for one
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    SshSession& Session() const { return *session_; }
    const SessionPtr& Shared() const { return session_; }
    const SlotPtr& Place() const { return slot_; }
    // Whether the session was opened by this lease (a drop then is no stale connection).
    bool Fresh() const { return fresh_; }
    // Drops the session and connects again on the same slot.
    CZoError Renew();
    bool Held() const { return lock_.owns_lock(); }

   private:
    friend class SftpConnection;
    SftpConnection* owner_ = nullptr;
    SlotPtr slot_;
    std::unique_lock<std::mutex> lock_;
    SessionPtr session_;
    bool fresh_ = false;
  };

  // Locks a slot (see above) and makes sure it has a usable session.
  CZoError Acquire(Lease& lease);
  // Locks the given slot (an open file's) and makes sure it has a usable session.
  CZoError Acquire(const SlotPtr& slot, Lease& lease);
  // Locks a slot without connecting (for releasing handles).
  static std::unique_lock<std::mutex> Lock(const SlotPtr& slot) { return std::unique_lock<std::mutex>(slot->mutex); }

  // Housekeeping (pool thread): keepalive when idle, close when idle longer than idleLimit and
  // unused (users: shared owners besides the pool).
  void Tend(std::chrono::steady_clock::duration idleLimit, bool unused);
  // The sessions open now.
  size_t Sessions();

  const SftpSettings& Settings() const { return settings_; }
  const std::string& HostName() const { return hostName_; }

 private:
  CZoError Connect(Lease& lease);
  CZoError Adopt(Lease& lease, SlotPtr slot, std::unique_lock<std::mutex> lock);
  void Released();
  // The host stopped answering: not tried again for SftpDownPeriod() (see SftpSettings.h).
  void MarkDown(int err, const std::string& reason);
  // The error of a lease while the host is marked down; success otherwise.
  CZoError Down();

  const SftpSettings settings_;
  const std::string hostName_;
  std::mutex mutex_;  // guards slots_ and the down state; a slot is only tried while it is held
  std::condition_variable released_;
  std::vector<SlotPtr> slots_;
  std::chrono::steady_clock::time_point downUntil_{};  // guarded by mutex_
  int downErrno_ = 0;
  std::string downReason_;
};

class SftpPool {
 public:
  explicit SftpPool(std::chrono::steady_clock::duration idleLimit = std::chrono::seconds(60));
  ~SftpPool();  // stops the housekeeping thread; connections live on while objects hold them
  SftpPool(const SftpPool&) = delete;
  SftpPool& operator=(const SftpPool&) = delete;

  // The connection for the settings' (address, port, user), made on first use.
  std::shared_ptr<SftpConnection> Get(const SftpSettings& settings, const std::string& hostName);
  size_t Size();
  // The sessions open now, over every connection.
  size_t Sessions();

 private:
  void Housekeeping();

  const std::chrono::steady_clock::duration idleLimit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::map<std::tuple<std::string, int, std::string>, std::shared_ptr<SftpConnection>> connections_;
  std::thread thread_;
};

}  // namespace kxmp::dataserver
