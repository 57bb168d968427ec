#pragma once
// The SFTP conversation on one SSH channel: requests carry ids, any number may be in flight,
// and answers are matched to them by id. Sending never waits for the server's window while
// answers are due: output and input are pumped together, so a long run of writes can never
// stall behind answers nobody reads. Every wait is the session's (its bounds, its
// interruption, its broken state).
//
// Results are "rc" values as the session knows them: 0 (or a count) for success, a transport
// failure (libssh's SSH_ERROR, or kTimedOut, kClosed, kBadUse), StatusRc(s) for an SFTP
// status, kBadPacket for a server that broke the protocol (the session is then given up).
//
// Not thread-safe: used under the session's slot.

#include <libssh/libssh.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "outside/dataserver/sftp/SftpWire.h"

namespace kxmp::dataserver {

class SshSession;

class SftpChannel {
 public:
  using Id = uint32_t;
  using Extensions = std::vector<std::pair<std::string, std::string>>;

  static constexpr long kStatusBase = -1000;
  static constexpr long kBadPacket = -2000;
  // No answer within the session's bound (or the wait was interrupted).
  static constexpr long kTimedOut = -3000;
  // No channel (never opened, or the session is gone).
  static constexpr long kClosed = -3001;
  // An answer taken that was never asked for, or taken twice.
  static constexpr long kBadUse = -3002;
  static long StatusRc(uint32_t status) { return kStatusBase - static_cast<long>(status); }
  // The SFTP status behind rc, or -1 when rc is none.
  static long StatusOf(long rc) { return rc <= kStatusBase && rc > kBadPacket ? kStatusBase - rc : -1; }

  // Without a session (null) nothing is sent: Feed alone drives it (tests of the parser).
  explicit SftpChannel(SshSession* session);
  ~SftpChannel();  // frees the channel; a polite close is the session's (Shutdown)
  SftpChannel(const SftpChannel&) = delete;
  SftpChannel& operator=(const SftpChannel&) = delete;

  // Opens the channel, starts the subsystem, exchanges INIT/VERSION and asks for the limits
  // when offered.
  long Start();
  // Closes the channel (within the session's wait bound).
  void Shutdown();
  const Extensions& ServerExtensions() const { return extensions_; }
  bool HasExtension(const char* name) const;
  // The largest write and read a request may carry.
  size_t MaxWrite() {
    if (limits_ != 0) TakeLimits();
    return maxWrite_;
  }
  size_t MaxRead() {
    if (limits_ != 0) TakeLimits();
    return maxRead_;
  }
  // Why the server's last answer was refused (kBadPacket).
  const std::string& ProtocolError() const { return protocolError_; }
  // Whether every request was handed to the SSH layer (a keepalive then waits behind none).
  bool Idle() const { return out_.empty(); }
  // The room left in the server's window for data.
  size_t Window() const;

  // Requests sent without waiting; each answer is taken with a Take* of its id, or dropped
  // with Forget. Output goes out as far as the channel takes it now; Flush sends the rest.
  Id SendPath(uint8_t type, const std::string& path);
  Id SendHandle(uint8_t type, const std::string& handle);
  Id SendOpen(const std::string& path, uint32_t pflags, const SftpAttrs& attrs);
  Id SendSetstat(const std::string& path, const SftpAttrs& attrs);
  Id SendFsetstat(const std::string& handle, const SftpAttrs& attrs);
  Id SendMkdir(const std::string& path, uint32_t mode);
  Id SendRename(const std::string& from, const std::string& to);
  Id SendExtended(const char* name, const std::string& arg);
  // An extended request with two strings (posix-rename@openssh.com: old path, new path).
  Id SendExtended(const char* name, const std::string& first, const std::string& second);
  // A write whose data is sent from the caller's buffer, which must stay as it is until Flush.
  Id SendWrite(const std::string& handle, uint64_t offset, const char* data, size_t n);
  // A read whose data goes straight into `into` (at most n bytes), which must stay until Take.
  Id SendRead(const std::string& handle, uint64_t offset, uint32_t n, char* into);
  long Flush();
  void Forget(Id id);
  // Whether the answer of id has come (or never will: the channel failed); never waits.
  bool Answered(Id id) const;

  long TakeStatus(Id id);
  long TakeHandle(Id id, std::string& handle);
  long TakeAttrs(Id id, SftpAttrs& attrs);
  // Bytes read into the buffer given to SendRead; 0 at the end of the file.
  long TakeData(Id id);
  // The names of a READDIR (their count), 0 at the end of the listing.
  long TakeNames(Id id, std::vector<SftpName>& names);
  long TakeExtended(Id id, std::string& data);

  // The requests one at a time.
  long Lstat(const std::string& path, SftpAttrs& a) { return TakeAttrs(SendPath(sftp::kLstat, path), a); }
  long Stat(const std::string& path, SftpAttrs& a) { return TakeAttrs(SendPath(sftp::kStat, path), a); }
  long Fstat(const std::string& handle, SftpAttrs& a) { return TakeAttrs(SendHandle(sftp::kFstat, handle), a); }
  long Close(const std::string& handle) { return TakeStatus(SendHandle(sftp::kClose, handle)); }
  long Remove(const std::string& path) { return TakeStatus(SendPath(sftp::kRemove, path)); }
  long Rmdir(const std::string& path) { return TakeStatus(SendPath(sftp::kRmdir, path)); }
  long Mkdir(const std::string& path, uint32_t mode) { return TakeStatus(SendMkdir(path, mode)); }
  long Rename(const std::string& from, const std::string& to) { return TakeStatus(SendRename(from, to)); }
  long Open(const std::string& path, uint32_t pflags, uint32_t mode, std::string& handle);
  long OpenDir(const std::string& path, std::string& handle) {
    return TakeHandle(SendPath(sftp::kOpendir, path), handle);
  }
  long RealPath(const std::string& path, std::string& out);
  long Fsync(const std::string& handle) { return TakeStatus(SendFsync(handle)); }
  Id SendFsync(const std::string& handle) { return SendExtended("fsync@openssh.com", handle); }
  long Statvfs(const std::string& path, SftpStatvfs& out);

  // Parses received bytes as answers (what the pump does with what it reads); for tests of
  // the parser without a server. Returns 0, or kBadPacket once the input broke the protocol.
  long Feed(const unsigned char* data, size_t n);

 private:
  struct Pending {
    bool done = false;
    bool forgotten = false;
    SftpReply reply;
    char* into = nullptr;  // a read's buffer
    bool discard = false;  // a forgotten read: its data goes nowhere
    Id id = 0;
    uint32_t want = 0;
    uint32_t got = 0;
  };
  struct Segment {
    std::string own;
    const char* ext = nullptr;  // the caller's data, not copied
    size_t len = 0;
    size_t sent = 0;
    const char* Data() const { return ext ? ext : own.data(); }
  };
  enum class In { Length, Head, Body, Direct };

  Id Queue(std::string packet, const char* data = nullptr, size_t n = 0);
  Id NextId() { return next_++; }
  // Takes an answer; rc is its transport failure when it never came.
  long Take(Id id, SftpReply& out);
  // Takes an answer that must be of the type given: 0 then, a status's rc, or kBadPacket.
  long TakeAs(Id id, uint8_t type, SftpReply& out);
  // Pumps once; waits on the socket when nothing moved. <0 once the channel failed.
  long Step();
  long Pump(bool& moved);
  void Consume();
  void Dispatch();
  // n more bytes of the read under way landed in its buffer.
  void Landed(uint32_t n);
  long Broke(long rc, const std::string& why = std::string());
  size_t PacketBound() const;
  void TakeLimits();

  SshSession* session_;
  ssh_channel channel_ = nullptr;
  Extensions extensions_;
  size_t maxWrite_ = 32768;
  size_t maxRead_ = 32768;
  Id limits_ = 0;  // the limits request, while its answer is not taken
  long failed_ = 0;
  std::string protocolError_;
  Id next_ = 1;
  std::unordered_map<Id, Pending> pending_;
  std::deque<Segment> out_;
  bool windowShut_ = false;  // the last output stopped at a full window

  std::vector<unsigned char> stage_;  // bytes read, not yet parsed: stage_[head_, tail_)
  size_t head_ = 0;
  size_t tail_ = 0;
  In in_ = In::Length;
  uint32_t inLen_ = 0;
  std::vector<unsigned char> body_;
  Pending* direct_ = nullptr;  // the read whose data is coming straight into its buffer
  uint32_t directLeft_ = 0;
};

}  // namespace kxmp::dataserver
