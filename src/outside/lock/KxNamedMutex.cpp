#include "outside/lock/KxNamedMutex.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "outside/log/Log.h"
#include "outside/util/Fnv1a.h"
#include "outside/util/KxHome.h"

namespace kxmp::lock {

// In-process state of one name: which object holds it (or is acquiring its lock file).
struct NameState {
  std::mutex mutex;
  std::condition_variable cv;
  const KxNamedMutex* holder = nullptr;
};

namespace {

using Clock = std::chrono::steady_clock;

// Waits this long or longer are treated as unbounded (over a year); it keeps deadline
// arithmetic far from overflow.
constexpr unsigned long kUnboundedMs = 366UL * 24 * 3600 * 1000;
// Poll steps while another process holds the lock file.
constexpr auto kFirstStep = std::chrono::microseconds(250);
constexpr auto kMaxStep = std::chrono::milliseconds(10);
constexpr size_t kMaxEncoded = 200;

// Process-wide map name -> state. Entries die with the last object of the name.
class NameTable {
 public:
  std::shared_ptr<NameState> Get(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::weak_ptr<NameState>& slot = states_[name];
    std::shared_ptr<NameState> state = slot.lock();
    if (!state) {
      state = std::make_shared<NameState>();
      slot = state;
    }
    return state;
  }

  void Forget(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = states_.find(name);
    if (it != states_.end() && it->second.expired()) states_.erase(it);
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::weak_ptr<NameState>> states_;
};

NameTable& Table() {
  // Never destroyed: named locks may still be released from other static destructors.
  static NameTable* table = new NameTable();
  return *table;
}

bool Flock(int fd, int op) {
  for (;;) {
    if (::flock(fd, op) == 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

std::string LockFileName(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size() + 8);
  for (unsigned char c : name) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  if (out.size() > kMaxEncoded) {
    char hash[20];
    std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(kxmp::Fnv1a64(name)));
    out.resize(kMaxEncoded - 17);
    out += hash;
  }
  return out + ".lck";
}

}  // namespace kxmp::lock

using namespace kxmp::lock;

KxNamedMutex::KxNamedMutex(const char* name)
    : name_(name != nullptr ? name : ""), state_(kxmp::lock::Table().Get(name_)) {
  std::string dir;
  CZoError err = kxmp::home::Ensure("locks", dir);
  if (err.IsError()) {
    KXLOG_ERROR("Named lock [%s] excludes holders in this process only: %s",
                kxmp::lock::LockFileName(name_).c_str(), err.Message().c_str());
    return;
  }
  std::string path = dir + "/" + kxmp::lock::LockFileName(name_);
  kxmp::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) {
    int e = errno;
    KXLOG_ERROR("Named lock [%s] excludes holders in this process only: cannot open it: %s",
                path.c_str(), std::strerror(e));
    return;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    KXLOG_ERROR("Named lock [%s] excludes holders in this process only: not a regular file",
                path.c_str());
    return;
  }
  fd_ = std::move(fd);
}

KxNamedMutex::~KxNamedMutex() {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    ReleaseAllLocked();
  }
  state_->cv.notify_one();
  fd_.reset();
  state_.reset();
  kxmp::lock::Table().Forget(name_);
}

void KxNamedMutex::ReleaseAllLocked() {
  if (state_->holder != this || count_ == 0) return;
  count_ = 0;
  if (fd_.valid()) Flock(fd_.get(), LOCK_UN);
  state_->holder = nullptr;
}

bool KxNamedMutex::lock() { return Acquire(false, 0); }

bool KxNamedMutex::lock(unsigned long ms) {
  if (ms > static_cast<unsigned long>(LONG_MAX)) ms = 0;  // a negative wait: one attempt
  if (ms >= kUnboundedMs) return Acquire(false, 0);
  return Acquire(true, ms);
}

bool KxNamedMutex::Acquire(bool bounded, unsigned long ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);

  // 1. Become the holder of the name inside this process.
  {
    std::unique_lock<std::mutex> lk(state_->mutex);
    if (state_->holder == this) {
      ++count_;
      return true;
    }
    auto isFree = [this] { return state_->holder == nullptr; };
    if (!bounded) {
      state_->cv.wait(lk, isFree);
    } else if (!state_->cv.wait_until(lk, deadline, isFree)) {
      return false;
    }
    state_->holder = this;
    if (!fd_.valid()) {
      count_ = 1;
      return true;
    }
  }

  // 2. Take the lock file against other processes, within what is left of the wait.
  bool locked = false;
  int error = 0;
  if (!bounded) {
    locked = Flock(fd_.get(), LOCK_EX);
    if (!locked) error = errno;
  } else {
    auto step = std::chrono::duration_cast<Clock::duration>(kFirstStep);
    for (;;) {
      if (Flock(fd_.get(), LOCK_EX | LOCK_NB)) {
        locked = true;
        break;
      }
      if (errno != EWOULDBLOCK) {
        error = errno;
        break;
      }
      Clock::time_point now = Clock::now();
      if (now >= deadline) break;
      std::this_thread::sleep_for(std::min(step, deadline - now));
      step = std::min(step * 2, std::chrono::duration_cast<Clock::duration>(kMaxStep));
    }
  }

  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (locked) {
      count_ = 1;
      return true;
    }
    state_->holder = nullptr;
  }
  state_->cv.notify_one();
  if (error != 0) {
    KXLOG_ERROR("Failed to lock named lock [%s]: %s", kxmp::lock::LockFileName(name_).c_str(),
                std::strerror(error));
  }
  return false;
}

void KxNamedMutex::unlock() {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (state_->holder != this || count_ == 0) return;
    if (--count_ > 0) return;
    if (fd_.valid()) Flock(fd_.get(), LOCK_UN);
    state_->holder = nullptr;
  }
  state_->cv.notify_one();
}

int32_t KxNamedMutex::getLockCnt() const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  return state_->holder == this ? count_ : 0;
}
