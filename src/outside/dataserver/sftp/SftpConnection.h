#pragma once
// The shared SSH connection to one (address, port, user), and the pool that owns them.
//
// Interface objects hold a shared pointer to their connection and use it through a Lease,
// which locks the connection's mutex (libssh2 sessions are not thread-safe) and connects
// when no usable session exists. A broken session is replaced on the next lease; objects
// that hold handles of the old one keep it alive (SessionPtr) until they let go.
//
// The pool's housekeeping thread sends keepalives on idle connections and closes those idle
// for longer than the idle limit that no object uses.

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>

#include "outside/dataserver/sftp/SftpSettings.h"
#include "outside/dataserver/sftp/SshSession.h"

namespace kxmp::dataserver {

using SessionPtr = std::shared_ptr<SshSession>;

class SftpConnection {
 public:
  SftpConnection(SftpSettings settings, std::string hostName);

  class Lease {
   public:
    Lease() = default;
    SshSession& Session() const { return *session_; }
    const SessionPtr& Shared() const { return session_; }
    // Whether the session was opened by this lease (a drop then is no stale connection).
    bool Fresh() const { return fresh_; }
    // Drops the session and connects again.
    CZoError Renew();
    bool Held() const { return lock_.owns_lock(); }

   private:
    friend class SftpConnection;
    std::unique_lock<std::mutex> lock_;
    SftpConnection* owner_ = nullptr;
    SessionPtr session_;
    bool fresh_ = false;
  };

  // Locks the connection and makes sure a usable session exists.
  CZoError Acquire(Lease& lease);
  // Locks the connection without connecting (for releasing handles).
  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }
  // The current session, or null (call with the lock held).
  const SessionPtr& Current() const { return session_; }

  // Housekeeping (pool thread): keepalive when idle, close when idle longer than idleLimit and
  // unused (users: shared owners besides the pool).
  void Tend(std::chrono::steady_clock::duration idleLimit, bool unused);

  const SftpSettings& Settings() const { return settings_; }
  const std::string& HostName() const { return hostName_; }

 private:
  CZoError Connect(Lease& lease);

  const SftpSettings settings_;
  const std::string hostName_;
  std::mutex mutex_;
  SessionPtr session_;
  std::chrono::steady_clock::time_point lastUse_;
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
