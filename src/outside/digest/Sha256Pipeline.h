#pragma once
// SHA-256 of a stream computed beside the caller's own work: the bytes are hashed on a thread
// of the pipeline's own while the caller writes them to storage or reads the next piece, so a
// copy that hashes what it moves takes about as long as one that does not, where a core is
// free. Hashing costs about as much CPU as copying from the page cache; done in line it would
// add that time to every backup and restore.
//
//   Sha256Pipeline sha;
//   CZoError err = sha.Start();
//   for (;;) {
//     char* piece = sha.Piece(kPiece);      // the pipeline's buffer: hashed without a copy
//     n = read(source, piece, kPiece); ...
//     sha.Add(piece, n);                    // queued: from now on the caller only reads it
//     write(target, piece, n);              // ... until it asks for the next Piece
//   }
//   Sha256Digest digest;
//   err = sha.Finish(digest);               // waits for what is queued
//
// Add of any other buffer copies it (into pieces of kStagingPiece), so the caller may reuse
// its buffer at once. A caller that changed a piece after adding it would change what is
// hashed: pieces stay inside the code that fills them (the log backup writer's writeFrom, the
// reader's readTo). Bytes are hashed in the order they were added. One
// thread uses a pipeline (Start, Piece, Add, Finish); the hashing thread is started on first
// need and ends with the object. At most kPieces pieces are held, so memory stays bounded
// however far the caller runs ahead.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "kxmp/kxmp_export.h"
#include "outside/digest/Sha256.h"
#include "outside/error/CZoError.h"

namespace kxmp::digest {

class KXMP_EXPORT Sha256Pipeline {
 public:
  static constexpr size_t kPieces = 4;
  static constexpr size_t kStagingPiece = size_t(1) << 20;
  // A piece added while nothing waits is hashed at once by the caller when it is this small:
  // handing it over would cost as much as hashing it.
  static constexpr size_t kInlineBytes = 128 * 1024;

  Sha256Pipeline() = default;
  ~Sha256Pipeline();
  Sha256Pipeline(const Sha256Pipeline&) = delete;
  Sha256Pipeline& operator=(const Sha256Pipeline&) = delete;

  // Begins a new digest, dropping whatever an earlier one left queued. The module's error
  // when SHA-256 cannot be had; Add and Piece still work then and Finish repeats the error.
  CZoError Start();
  // A buffer of at least size bytes that the caller fills and hands to Add. Waits while every
  // piece is queued. Null when memory ran out (the caller then uses a buffer of its own).
  char* Piece(size_t size);
  // Adds size bytes. data inside the piece handed out last is queued as it is (the caller
  // must not change it after this call); any other buffer is copied.
  void Add(const char* data, size_t size);
  // Waits until everything added is hashed and gives the digest.
  CZoError Finish(Sha256Digest& out);
  // Bytes added since Start.
  uint64_t bytes() const { return bytes_; }

 private:
  struct Slot {
    std::unique_ptr<char[]> data;
    size_t capacity = 0;
    bool busy = false;  // queued or being hashed
  };
  struct Job {
    size_t slot;
    const char* data;
    size_t size;
  };

  // A free slot of at least size bytes (waits for one), or kNone when memory ran out.
  size_t Acquire(size_t size);
  void Enqueue(size_t slot, const char* data, size_t size);
  void QueueStaging();
  void Run();

  static constexpr size_t kNone = ~size_t(0);

  Sha256 sha_;
  CZoError startError_;
  uint64_t bytes_ = 0;
  Slot slots_[kPieces];            // made when first needed, kept for the object's life
  size_t slotCount_ = 0;
  size_t handedOut_ = kNone;       // the slot Piece gave last
  size_t staging_ = kNone;         // the slot copies gather in
  size_t stagingUsed_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> queue_;          // guarded by mutex_
  bool hashing_ = false;           // the thread holds a job (guarded)
  bool stop_ = false;              // guarded
  std::thread thread_;
};

}  // namespace kxmp::digest
