#include "outside/digest/Sha256Pipeline.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kxmp::digest {

Sha256Pipeline::~Sha256Pipeline() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

CZoError Sha256Pipeline::Start() {
  {
    // What an abandoned digest queued is hashed into the old state and then discarded.
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [&] { return queue_.empty() && !hashing_; });
  }
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (size_t i = 0; i < slotCount_; ++i) slots_[i].busy = false;
  }
  handedOut_ = kNone;
  staging_ = kNone;
  stagingUsed_ = 0;
  bytes_ = 0;
  startError_ = sha_.Start();
  return startError_;
}

size_t Sha256Pipeline::Acquire(size_t size) {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    size_t pick = kNone;
    for (size_t i = 0; i < slotCount_; ++i) {
      if (!slots_[i].busy && (pick == kNone || slots_[i].capacity >= size)) pick = i;
    }
    if (pick == kNone && slotCount_ < kPieces) pick = slotCount_++;
    if (pick != kNone) {
      Slot& s = slots_[pick];
      if (s.capacity < size) {
        // Grown without zeroing: only what the caller puts in is hashed.
        s.data.reset(new (std::nothrow) char[size]);
        s.capacity = s.data ? size : 0;
        if (!s.data) return kNone;
      }
      s.busy = true;  // the caller's until queued
      return pick;
    }
    changed_.wait(hold);
  }
}

char* Sha256Pipeline::Piece(size_t size) {
  QueueStaging();  // bytes gathered so far come first
  if (handedOut_ != kNone) {
    std::lock_guard<std::mutex> hold(mutex_);
    slots_[handedOut_].busy = false;  // handed out and never added
  }
  handedOut_ = Acquire(std::max<size_t>(size, 1));
  return handedOut_ == kNone ? nullptr : slots_[handedOut_].data.get();
}

void Sha256Pipeline::Enqueue(size_t slot, const char* data, size_t size) {
  {
    std::unique_lock<std::mutex> hold(mutex_);
    if (queue_.empty() && !hashing_ && size <= kInlineBytes) {
      // Nothing runs beside: the caller hashes it now (the hashing thread is idle, so the
      // digest's state is the caller's to use).
      hold.unlock();
      sha_.Update(data, size);
      hold.lock();
      slots_[slot].busy = false;
      changed_.notify_all();
      return;
    }
    queue_.push_back(Job{slot, data, size});
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  }
  changed_.notify_all();
}

void Sha256Pipeline::QueueStaging() {
  if (staging_ == kNone) return;
  const size_t slot = staging_;
  staging_ = kNone;
  if (stagingUsed_ == 0) {
    std::lock_guard<std::mutex> hold(mutex_);
    slots_[slot].busy = false;
    return;
  }
  Enqueue(slot, slots_[slot].data.get(), stagingUsed_);
  stagingUsed_ = 0;
}

void Sha256Pipeline::Add(const char* data, size_t size) {
  bytes_ += size;
  if (handedOut_ != kNone) {
    const Slot& s = slots_[handedOut_];
    if (data >= s.data.get() && size <= s.capacity && data + size <= s.data.get() + s.capacity) {
      const size_t slot = handedOut_;
      handedOut_ = kNone;
      Enqueue(slot, data, size);
      return;
    }
  }
  while (size > 0) {
    if (staging_ == kNone) {
      staging_ = Acquire(kStagingPiece);
      stagingUsed_ = 0;
      if (staging_ == kNone) {
        // No memory for a copy: hashed in line after what is queued.
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [&] { return queue_.empty() && !hashing_; });
        hold.unlock();
        sha_.Update(data, size);
        return;
      }
    }
    Slot& s = slots_[staging_];
    const size_t n = std::min(size, s.capacity - stagingUsed_);
    std::memcpy(s.data.get() + stagingUsed_, data, n);
    stagingUsed_ += n;
    data += n;
    size -= n;
    if (stagingUsed_ == s.capacity) QueueStaging();
  }
}

CZoError Sha256Pipeline::Finish(Sha256Digest& out) {
  QueueStaging();
  {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [&] { return queue_.empty() && !hashing_; });
    if (handedOut_ != kNone) slots_[handedOut_].busy = false;
  }
  handedOut_ = kNone;
  if (startError_.IsError()) return startError_;
  return sha_.Finish(out);
}

void Sha256Pipeline::Run() {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    changed_.wait(hold, [&] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;
    const Job job = queue_.front();
    queue_.pop_front();
    hashing_ = true;
    hold.unlock();
    sha_.Update(job.data, job.size);
    hold.lock();
    hashing_ = false;
    slots_[job.slot].busy = false;
    changed_.notify_all();
  }
}

}  // namespace kxmp::digest
