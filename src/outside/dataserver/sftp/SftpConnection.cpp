#include "outside/dataserver/sftp/SftpConnection.h"

#include <algorithm>
#include <vector>

#include "outside/dataserver/StorageHostNotices.h"
#include "outside/error/FXErrorUtil.h"

namespace kxmp::dataserver {

using Clock = std::chrono::steady_clock;

SftpConnection::SftpConnection(SftpSettings settings, std::string hostName)
    : settings_(std::move(settings)), hostName_(std::move(hostName)) {}

SftpConnection::Lease::~Lease() {
  if (!lock_.owns_lock()) return;
  const bool timedOut = session_ && session_->TimedOut();
  std::string reason = timedOut ? session_->BrokenBecause() : std::string();
  lock_.unlock();
  if (timedOut) owner_->MarkDown(ETIMEDOUT, reason);
  owner_->Released();
}

void SftpConnection::MarkDown(int err, const std::string& reason) {
  const int period = SftpDownPeriod();
  if (period <= 0) return;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto now = Clock::now();
    if (now < downUntil_) return;  // said already
    downUntil_ = now + std::chrono::seconds(period);
    downErrno_ = err;
    downReason_ = reason;
  }
  NoteStorageHostUnusable(hostName_, "it stopped answering during the run (" + reason +
                                         "); it is not tried again in this run");
}

CZoError SftpConnection::Down() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (Clock::now() >= downUntil_) return CZoError::Success();
  return FXErrorUtil::ErrorErrNo(FX_LOC, downErrno_,
                                 "Storage host %s stopped answering during this run and is not tried again: %s",
                                 hostName_.c_str(), downReason_.c_str());
}

void SftpConnection::Released() {
  // Under the connection's mutex: a lease that scanned the slots and is about to wait holds
  // it, so this wake-up cannot fall between its scan and its wait.
  std::lock_guard<std::mutex> guard(mutex_);
  released_.notify_one();
}

CZoError SftpConnection::Connect(Lease& lease) {
  std::unique_ptr<SshSession> fresh;
  lease.slot_->session.reset();
  HostKeyMismatch mismatch;
  CZoError err = SshSession::Open(settings_, hostName_, fresh, &mismatch);
  if (err.IsError()) {
    // The host is skipped (its contexts fail over): the operator hears why.
    NoteStorageHostUnusable(hostName_, err.Message(), mismatch.fingerprint.empty() ? nullptr : &mismatch);
    for (int transport : {ETIMEDOUT, ECONNREFUSED, EHOSTUNREACH, ENETUNREACH, EPROTO, ECONNRESET}) {
      if (FXErrorUtil::IsErrNo(err, transport)) MarkDown(transport, err.Message());
    }
    return err;
  }
  lease.slot_->session = SessionPtr(std::move(fresh));
  lease.session_ = lease.slot_->session;
  lease.fresh_ = true;
  return CZoError::Success();
}

CZoError SftpConnection::Adopt(Lease& lease, SlotPtr slot, std::unique_lock<std::mutex> lock) {
  lease.owner_ = this;
  lease.slot_ = std::move(slot);
  lease.lock_ = std::move(lock);
  lease.fresh_ = false;
  lease.slot_->lastUse = Clock::now();
  lease.slot_->lastThread = std::this_thread::get_id();
  const SessionPtr& current = lease.slot_->session;
  if (current && !current->Broken()) {
    lease.session_ = current;
    return CZoError::Success();
  }
  return Connect(lease);
}

CZoError SftpConnection::Acquire(Lease& lease) {
  CZoError down = Down();
  if (down.IsError()) return down;
  std::unique_lock<std::mutex> guard(mutex_);
  const std::thread::id me = std::this_thread::get_id();
  for (;;) {
    // 0: this thread's last slot, open; 1: another open slot, the least recently used;
    // 2: a slot to reconnect.
    SlotPtr best;
    std::unique_lock<std::mutex> bestLock;
    int bestRank = 3;
    for (const SlotPtr& slot : slots_) {
      std::unique_lock<std::mutex> lock(slot->mutex, std::try_to_lock);
      if (!lock.owns_lock()) continue;
      const bool open = slot->session && !slot->session->Broken();
      const int rank = !open ? 2 : slot->lastThread == me ? 0 : 1;
      if (rank < bestRank || (rank == 1 && bestRank == 1 && slot->lastUse < best->lastUse)) {
        best = slot;  // copied while slots_ cannot change under it
        bestLock = std::move(lock);
        bestRank = rank;
        if (rank == 0) break;
      }
    }
    if (best) {
      guard.unlock();
      return Adopt(lease, std::move(best), std::move(bestLock));
    }
    if (slots_.size() < static_cast<size_t>(std::max(1, SftpSessionsPerHost()))) {
      slots_.push_back(std::make_shared<Slot>());
      SlotPtr slot = slots_.back();
      std::unique_lock<std::mutex> lock(slot->mutex);
      guard.unlock();
      return Adopt(lease, std::move(slot), std::move(lock));
    }
    // Every slot is busy and there may be no more: wait for one to be let go (a slot freed
    // without a lease, by a closing file, is found by the next look).
    released_.wait_for(guard, std::chrono::milliseconds(50));
  }
}

CZoError SftpConnection::Acquire(const SlotPtr& slot, Lease& lease) {
  CZoError down = Down();
  if (down.IsError()) return down;
  return Adopt(lease, slot, std::unique_lock<std::mutex>(slot->mutex));
}

CZoError SftpConnection::Lease::Renew() {
  session_.reset();
  return owner_->Connect(*this);
}

void SftpConnection::Tend(Clock::duration idleLimit, bool unused) {
  std::vector<SlotPtr> slots;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    slots = slots_;
  }
  for (const SlotPtr& slot : slots) {
    std::unique_lock<std::mutex> lock(slot->mutex, std::try_to_lock);
    if (!lock.owns_lock() || !slot->session) continue;  // in use: not idle
    // A slot that an open file holds is in use; the list and this loop hold the others.
    const bool slotUnused = unused && slot.use_count() <= 2;
    if (slot->session->Broken() || (slotUnused && Clock::now() - slot->lastUse >= idleLimit)) {
      slot->session.reset();
      continue;
    }
    if (!slot->session->KeepAlive()) slot->session.reset();
  }
}

size_t SftpConnection::Sessions() {
  std::vector<SlotPtr> slots;
  {
    // Not held while a slot is locked: a lease that marks the host down holds its slot and
    // then takes this mutex.
    std::lock_guard<std::mutex> guard(mutex_);
    slots = slots_;
  }
  size_t n = 0;
  for (const SlotPtr& slot : slots) {
    std::lock_guard<std::mutex> lock(slot->mutex);
    n += slot->session ? 1 : 0;
  }
  return n;
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

size_t SftpPool::Sessions() {
  std::vector<std::shared_ptr<SftpConnection>> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [key, c] : connections_) all.push_back(c);
  }
  size_t n = 0;
  for (auto& c : all) n += c->Sessions();
  return n;
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
