#include "outside/catalog/postgres/PgConnectionPool.h"

#include <pthread.h>

#include <chrono>

namespace kxmp::catalog {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

PgConnectionPool& PgConnectionPool::Instance() {
  // Never destroyed: a thread may still return a connection while the process exits.
  static PgConnectionPool* pool = [] {
    auto* p = new PgConnectionPool();
    // The lock is held across fork() so that the child's copy is never left locked by a
    // thread that does not exist in it; the child then lets go of its parent's sessions.
    pthread_atfork([] { Instance().mutex_.lock(); }, [] { Instance().mutex_.unlock(); },
                   [] { Instance().LeaveParentsInChild(); });
    return p;
  }();
  return *pool;
}

void PgConnectionPool::LeaveParentsInChild() {
  for (Idle& i : idle_) abandoned_.push_back(i.connection->Abandon());
  idle_.clear();
  mutex_.unlock();
}

std::unique_ptr<PgConnection> PgConnectionPool::Take(const std::string& conninfo) {
  std::vector<std::unique_ptr<PgConnection>> closing;  // closed after the lock is released
  std::unique_ptr<PgConnection> found;
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t now = NowMs();
  for (size_t i = idle_.size(); i-- > 0;) {  // the most recently used first
    const bool stale = now - idle_[i].sinceMs > kMaxIdleMs;
    if (!stale && (found || idle_[i].conninfo != conninfo)) continue;
    std::unique_ptr<PgConnection> c = std::move(idle_[i].connection);
    idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(i));
    if (!stale && c->ReadyForReuse()) {
      found = std::move(c);
    } else {
      closing.push_back(std::move(c));
    }
  }
  return found;
}

void PgConnectionPool::Give(const std::string& conninfo, std::unique_ptr<PgConnection> connection) {
  if (!connection || !connection->ReadyForReuse()) return;  // closed here
  std::unique_ptr<PgConnection> oldest;
  std::lock_guard<std::mutex> lock(mutex_);
  if (idle_.size() >= kMaxIdle) {
    oldest = std::move(idle_.front().connection);
    idle_.erase(idle_.begin());
  }
  idle_.push_back(Idle{conninfo, std::move(connection), NowMs()});
}

void PgConnectionPool::Clear() {
  std::vector<Idle> closing;
  std::lock_guard<std::mutex> lock(mutex_);
  closing.swap(idle_);
}

size_t PgConnectionPool::IdleCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return idle_.size();
}

}  // namespace kxmp::catalog
