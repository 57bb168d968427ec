#include "outside/dataserver/sftp/SftpConnection.h"

#include <algorithm>
#include <vector>

namespace kxmp::dataserver {

using Clock = std::chrono::steady_clock;

SftpConnection::SftpConnection(SftpSettings settings, std::string hostName)
    : settings_(std::move(settings)), hostName_(std::move(hostName)), lastUse_(Clock::now()) {}

CZoError SftpConnection::Connect(Lease& lease) {
  std::unique_ptr<SshSession> fresh;
  session_.reset();
  CZoError err = SshSession::Open(settings_, hostName_, fresh);
  if (err.IsError()) return err;
  session_ = SessionPtr(std::move(fresh));
  lease.session_ = session_;
  lease.fresh_ = true;
  return CZoError::Success();
}

CZoError SftpConnection::Acquire(Lease& lease) {
  lease.lock_ = std::unique_lock<std::mutex>(mutex_);
  lease.owner_ = this;
  lease.fresh_ = false;
  lastUse_ = Clock::now();
  if (session_ && !session_->Broken()) {
    lease.session_ = session_;
    return CZoError::Success();
  }
  return Connect(lease);
}

CZoError SftpConnection::Lease::Renew() {
  session_.reset();
  return owner_->Connect(*this);
}

void SftpConnection::Tend(Clock::duration idleLimit, bool unused) {
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock() || !session_) return;  // in use: not idle
  if (session_->Broken() || (unused && Clock::now() - lastUse_ >= idleLimit)) {
    session_.reset();
    return;
  }
  if (!session_->KeepAlive()) session_.reset();
}

SftpPool::SftpPool(Clock::duration idleLimit) : idleLimit_(idleLimit), thread_([this] { Housekeeping(); }) {}

SftpPool::~SftpPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

std::shared_ptr<SftpConnection> SftpPool::Get(const SftpSettings& settings, const std::string& hostName) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto key = std::make_tuple(settings.address, settings.port, settings.user);
  auto& slot = connections_[key];
  if (!slot) slot = std::make_shared<SftpConnection>(settings, hostName);
  return slot;
}

size_t SftpPool::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_.size();
}

void SftpPool::Housekeeping() {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto period = std::max<Clock::duration>(std::chrono::seconds(1), std::min<Clock::duration>(idleLimit_ / 4, std::chrono::seconds(15)));
  while (!stopping_) {
    wake_.wait_for(lock, period, [this] { return stopping_; });
    if (stopping_) break;
    std::vector<std::pair<std::shared_ptr<SftpConnection>, bool>> all;
    for (auto& [key, c] : connections_) all.emplace_back(c, c.use_count() == 1);
    lock.unlock();
    for (auto& [c, unused] : all) c->Tend(idleLimit_, unused);
    all.clear();
    lock.lock();
  }
}

}  // namespace kxmp::dataserver
