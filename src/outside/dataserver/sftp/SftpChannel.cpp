#include "outside/dataserver/sftp/SftpChannel.h"

#include <algorithm>
#include <cstring>

#include "outside/dataserver/sftp/SshSession.h"
#include "outside/util/Endian.h"

namespace kxmp::dataserver {

namespace {

constexpr size_t kStage = 64 << 10;
// What the limits may raise a request's data to; more buys nothing and would let a server
// make every answer's buffer large.
constexpr uint64_t kMaxLength = 1u << 20;

}  // namespace

SftpChannel::SftpChannel(SshSession* session) : session_(session) {}

SftpChannel::~SftpChannel() {
  if (channel_ != nullptr) ssh_channel_free(channel_);
}

bool SftpChannel::HasExtension(const char* name) const {
  for (const auto& e : extensions_) {
    if (e.first == name) return true;
  }
  return false;
}

size_t SftpChannel::Window() const { return channel_ ? ssh_channel_window_size(channel_) : 0; }

size_t SftpChannel::PacketBound() const { return std::max(maxRead_, sftp::kMinPacketBound) + sftp::kHeaderSlack; }

long SftpChannel::Start() {
  channel_ = ssh_channel_new(session_->session_);
  if (channel_ == nullptr) return SSH_ERROR;
  long rc = session_->Call([&] { return ssh_channel_open_session(channel_); });
  if (rc != SSH_OK) return rc;
  rc = session_->Call([&] { return ssh_channel_request_subsystem(channel_, "sftp"); });
  if (rc != SSH_OK) return rc;
  // INIT is the one request without an id; VERSION the one answer without one.
  // The version packet is read here, byte-exact, before the pump (which knows only answers
  // with ids) takes the channel over.
  const std::string init = WireWriter(sftp::kInit).U32(3).Finish();
  for (size_t sent = 0; sent < init.size();) {
    rc = ssh_channel_write(channel_, init.data() + sent, static_cast<uint32_t>(init.size() - sent));
    if (rc < 0) return Broke(rc);
    if (rc == 0 && !session_->Wait()) return Broke(kTimedOut);
    sent += static_cast<size_t>(rc);
  }
  unsigned char head[4];
  std::string version;
  size_t want = 4;
  while (version.size() < want) {
    char buf[4096];
    const size_t ask = std::min(sizeof buf, want - version.size());
    // Reading also sends what the SSH layer still holds (the INIT).
    rc = ssh_channel_read_nonblocking(channel_, buf, static_cast<uint32_t>(ask), 0);
    if (rc == SSH_EOF) return Broke(kBadPacket, "the SFTP server closed the channel");
    if (rc < 0) return Broke(rc);
    if (rc == 0) {
      if (!session_->Wait()) return Broke(kTimedOut);
      continue;
    }
    version.append(buf, static_cast<size_t>(rc));
    if (want == 4 && version.size() >= 4) {
      std::memcpy(head, version.data(), 4);
      const uint32_t len = BigEndian32(head);
      if (len < 5 || len > sftp::kMinPacketBound) return Broke(kBadPacket, "malformed SFTP version packet");
      want = 4 + len;
    }
  }
  uint32_t v = 0;
  if (!ParseVersion(reinterpret_cast<const unsigned char*>(version.data()) + 4, version.size() - 4, v, extensions_) ||
      v < 3) {
    return Broke(kBadPacket, "no SFTP version 3 packet");
  }
  // The limits are asked for now and taken when first needed: the answer comes with that of
  // the session's first request, so it costs no round trip of its own.
  if (HasExtension("limits@openssh.com")) limits_ = SendExtended("limits@openssh.com", std::string());
  return failed_;
}

void SftpChannel::TakeLimits() {
  std::string data;
  const long rc = TakeExtended(limits_, data);
  limits_ = 0;
  uint64_t packet = 0, read = 0, write = 0;
  if (rc != 0 || !ParseLimits(data, packet, read, write)) return;  // the defaults stand (or the channel failed)
  // 0 stands for "no limit given"; a packet limit bounds what a write can carry.
  if (packet > 1024 && write > packet - 1024) write = packet - 1024;
  if (write >= 1024) maxWrite_ = static_cast<size_t>(std::min(write, kMaxLength));
  if (read >= 1024) maxRead_ = static_cast<size_t>(std::min(read, kMaxLength));
}

void SftpChannel::Shutdown() {
  if (channel_ == nullptr || session_ == nullptr) return;
  if (!session_->Broken() && failed_ == 0) {
    if (Flush() == 0 && ssh_channel_close(channel_) != SSH_ERROR) session_->Settle();
  }
}

long SftpChannel::Broke(long rc, const std::string& why) {
  if (failed_ == 0) {
    failed_ = rc;
    if (!why.empty()) protocolError_ = why;
  }
  if (session_ != nullptr && rc != kTimedOut) session_->MarkBroken();
  return failed_;
}

SftpChannel::Id SftpChannel::Queue(std::string packet, const char* data, size_t n) {
  const Id id = BigEndian32(reinterpret_cast<const unsigned char*>(packet.data()) + 5);
  pending_[id];
  if (session_ != nullptr) ++session_->calls_;
  if (!out_.empty() && out_.back().ext == nullptr && out_.back().sent == 0) {
    out_.back().own += packet;  // small requests go out together
    out_.back().len = out_.back().own.size();
  } else {
    const size_t len = packet.size();
    out_.push_back(Segment{std::move(packet), nullptr, len, 0});
  }
  if (n > 0) out_.push_back(Segment{std::string(), data, n, 0});
  if (failed_ == 0 && session_ != nullptr) {
    bool moved = false;
    Pump(moved);  // what the channel takes now; the rest goes with the next wait
  }
  return id;
}

SftpChannel::Id SftpChannel::SendPath(uint8_t type, const std::string& path) {
  return Queue(WireWriter(type, NextId()).String(path).Finish());
}

SftpChannel::Id SftpChannel::SendHandle(uint8_t type, const std::string& handle) {
  return Queue(WireWriter(type, NextId()).String(handle).Finish());
}

SftpChannel::Id SftpChannel::SendOpen(const std::string& path, uint32_t pflags, const SftpAttrs& attrs) {
  return Queue(WireWriter(sftp::kOpen, NextId()).String(path).U32(pflags).Attrs(attrs).Finish());
}

SftpChannel::Id SftpChannel::SendSetstat(const std::string& path, const SftpAttrs& attrs) {
  return Queue(WireWriter(sftp::kSetstat, NextId()).String(path).Attrs(attrs).Finish());
}

SftpChannel::Id SftpChannel::SendFsetstat(const std::string& handle, const SftpAttrs& attrs) {
  return Queue(WireWriter(sftp::kFsetstat, NextId()).String(handle).Attrs(attrs).Finish());
}

SftpChannel::Id SftpChannel::SendMkdir(const std::string& path, uint32_t mode) {
  SftpAttrs a;
  a.flags = sftp::kAttrPermissions;
  a.permissions = mode;
  return Queue(WireWriter(sftp::kMkdir, NextId()).String(path).Attrs(a).Finish());
}

SftpChannel::Id SftpChannel::SendRename(const std::string& from, const std::string& to) {
  return Queue(WireWriter(sftp::kRename, NextId()).String(from).String(to).Finish());
}

SftpChannel::Id SftpChannel::SendExtended(const char* name, const std::string& arg) {
  WireWriter w(sftp::kExtended, NextId());
  w.String(name);
  if (!arg.empty()) w.String(arg);
  return Queue(w.Finish());
}

SftpChannel::Id SftpChannel::SendExtended(const char* name, const std::string& first, const std::string& second) {
  return Queue(WireWriter(sftp::kExtended, NextId()).String(name).String(first).String(second).Finish());
}

SftpChannel::Id SftpChannel::SendWrite(const std::string& handle, uint64_t offset, const char* data, size_t n) {
  // The data follows its header from where it is, not copied.
  WireWriter w(sftp::kWrite, NextId());
  w.String(handle).U64(offset).U32(static_cast<uint32_t>(n));
  return Queue(w.Finish(n), data, n);
}

SftpChannel::Id SftpChannel::SendRead(const std::string& handle, uint64_t offset, uint32_t n, char* into) {
  const Id id = next_;
  Pending& p = pending_[id];
  p.id = id;
  p.into = into;
  p.want = n;
  return Queue(WireWriter(sftp::kRead, NextId()).String(handle).U64(offset).U32(n).Finish());
}

void SftpChannel::Forget(Id id) {
  auto it = pending_.find(id);
  if (it == pending_.end()) return;
  if (it->second.done) {
    pending_.erase(it);
  } else {
    // Its data, should it be a read's, is dropped: the buffer may be gone by then.
    it->second.forgotten = true;
    it->second.discard = it->second.into != nullptr;
  }
}

bool SftpChannel::Answered(Id id) const {
  auto it = pending_.find(id);
  return failed_ != 0 || it == pending_.end() || it->second.done;
}

long SftpChannel::Pump(bool& moved) {
  // Output first, as far as the server's window takes it. What the SSH layer accepts is
  // sealed in packets at once and held in its buffer until pushed to the socket (below).
  windowShut_ = false;
  while (!out_.empty()) {
    Segment& seg = out_.front();
    if (seg.sent == seg.len) {
      out_.pop_front();
      continue;
    }
    const size_t ask = std::min<size_t>(seg.len - seg.sent, 1u << 30);
    const int rc = ssh_channel_write(channel_, seg.Data() + seg.sent, static_cast<uint32_t>(ask));
    if (rc < 0) return Broke(rc);
    if (rc == 0) {
      // The window is full (its adjustment comes with the input), or a key exchange holds
      // output back until it ends.
      windowShut_ = Window() == 0;
      break;
    }
    seg.sent += static_cast<size_t>(rc);
    moved = true;
  }
  // Then input: answers parsed as they come, a read's data straight into its buffer.
  for (;;) {
    Consume();
    if (failed_ != 0) return failed_;
    char* into;
    size_t room;
    const bool straight = in_ == In::Direct && head_ == tail_ && !direct_->discard;
    if (straight) {
      into = direct_->into + direct_->got;
      room = directLeft_;
    } else {
      if (stage_.size() < kStage) stage_.resize(kStage);
      if (head_ == tail_) head_ = tail_ = 0;
      if (tail_ == stage_.size()) break;  // consumed below, on the next round
      into = reinterpret_cast<char*>(stage_.data()) + tail_;
      room = stage_.size() - tail_;
    }
    const int rc = ssh_channel_read_nonblocking(channel_, into, static_cast<uint32_t>(room), 0);
    if (rc > 0) {
      moved = true;
      if (straight) {
        Landed(static_cast<uint32_t>(rc));
      } else {
        tail_ += static_cast<size_t>(rc);
      }
      continue;
    }
    if (rc == 0) break;
    if (rc == SSH_EOF) return Broke(kBadPacket, "the SFTP server closed the channel");
    return Broke(rc);
  }
  Consume();
  // Requests the SSH layer still holds go out now, as far as the socket takes them: one that
  // is not waited for (a close) must not wait for the session's next use.
  if (failed_ == 0 && (ssh_get_poll_flags(session_->session_) & SSH_WRITE_PENDING) != 0 &&
      ssh_blocking_flush(session_->session_, 0) == SSH_ERROR) {
    return Broke(SSH_ERROR);
  }
  return failed_;
}

long SftpChannel::Feed(const unsigned char* data, size_t n) {
  while (n > 0 && failed_ == 0) {
    if (stage_.size() < kStage) stage_.resize(kStage);
    if (head_ == tail_) head_ = tail_ = 0;
    const size_t take = std::min(n, stage_.size() - tail_);
    std::memcpy(stage_.data() + tail_, data, take);
    tail_ += take;
    data += take;
    n -= take;
    Consume();
  }
  return failed_;
}

void SftpChannel::Consume() {
  while (failed_ == 0 && head_ < tail_) {
    const size_t avail = tail_ - head_;
    const unsigned char* p = stage_.data() + head_;
    switch (in_) {
      case In::Length: {
        if (avail < 4) {
          // Too little for a length: kept at the start of the stage for the next read.
          std::memmove(stage_.data(), p, avail);
          head_ = 0;
          tail_ = avail;
          return;
        }
        inLen_ = BigEndian32(p);
        head_ += 4;
        if (inLen_ < 5 || inLen_ > PacketBound()) {
          Broke(kBadPacket, "an SFTP packet of " + std::to_string(inLen_) + " bytes");
          return;
        }
        body_.clear();
        in_ = In::Head;
        break;
      }
      case In::Head: {
        // The type, the id and, for data, its length: enough to send a read's data straight on.
        const size_t need = std::min<size_t>(inLen_, 9) - body_.size();
        const size_t take = std::min(avail, need);
        body_.insert(body_.end(), p, p + take);
        head_ += take;
        if (take < need) return;
        in_ = In::Body;
        if (body_.size() == 9 && body_[0] == sftp::kData) {
          auto it = pending_.find(BigEndian32(&body_[1]));
          if (it != pending_.end() && it->second.into != nullptr && !it->second.done) {
            const uint32_t len = BigEndian32(&body_[5]);
            if (len != inLen_ - 9 || len > it->second.want) {
              Broke(kBadPacket, "an SFTP read answered with more than it asked for");
              return;
            }
            direct_ = &it->second;
            directLeft_ = len;
            in_ = In::Direct;
            Landed(0);
          }
        }
        if (in_ == In::Body && body_.size() == inLen_) Dispatch();
        break;
      }
      case In::Body: {
        const size_t take = std::min<size_t>(avail, inLen_ - body_.size());
        body_.insert(body_.end(), p, p + take);
        head_ += take;
        if (body_.size() == inLen_) Dispatch();
        break;
      }
      case In::Direct: {
        const size_t take = std::min<size_t>(avail, directLeft_);
        if (!direct_->discard) std::memcpy(direct_->into + direct_->got, p, take);
        head_ += take;
        Landed(static_cast<uint32_t>(take));
        break;
      }
    }
  }
}

void SftpChannel::Landed(uint32_t n) {
  direct_->got += n;
  directLeft_ -= n;
  if (directLeft_ != 0) return;
  direct_->done = true;
  direct_->reply.type = sftp::kData;
  if (direct_->forgotten) pending_.erase(direct_->id);
  direct_ = nullptr;
  in_ = In::Length;
}

void SftpChannel::Dispatch() {
  in_ = In::Length;
  SftpReply reply;
  if (!ParseReply(body_.data(), body_.size(), reply)) {
    Broke(kBadPacket, "a malformed SFTP answer (type " + std::to_string(body_.empty() ? 0 : body_[0]) + ")");
    return;
  }
  auto it = pending_.find(reply.id);
  if (it == pending_.end() || it->second.done) {
    Broke(kBadPacket, "an SFTP answer to no request (id " + std::to_string(reply.id) + ")");
    return;
  }
  if (it->second.forgotten) {
    pending_.erase(it);
    return;
  }
  if (reply.type == sftp::kData && it->second.into != nullptr) {
    Broke(kBadPacket, "an SFTP read answered with more than it asked for");
    return;
  }
  it->second.reply = std::move(reply);
  it->second.done = true;
  body_.clear();
  if (body_.capacity() > (64 << 10)) std::vector<unsigned char>().swap(body_);
}

long SftpChannel::Step() {
  if (failed_ != 0) return failed_;
  if (session_ == nullptr || channel_ == nullptr) return Broke(kClosed);
  bool moved = false;
  long rc = Pump(moved);
  if (rc != 0 || moved) return rc;
  // A window adjustment taken in by a read makes room for output no socket event announces.
  if (!out_.empty() && windowShut_ && Window() > 0) return 0;
  if (!session_->Wait()) return Broke(kTimedOut);
  return 0;
}

long SftpChannel::Flush() {
  while (!out_.empty()) {
    if (out_.front().sent == out_.front().len) {
      out_.pop_front();
      continue;
    }
    long rc = Step();
    if (rc != 0) return rc;
  }
  return failed_;
}

long SftpChannel::Take(Id id, SftpReply& out) {
  for (;;) {
    auto it = pending_.find(id);
    if (it == pending_.end()) return kBadUse;
    if (failed_ != 0) {
      // Nothing of a channel that failed is trusted, answers that came before included.
      if (direct_ == &it->second) direct_ = nullptr;
      pending_.erase(it);
      return failed_;
    }
    if (it->second.done) {
      out = std::move(it->second.reply);
      if (out.type == sftp::kData && it->second.into != nullptr) out.status = it->second.got;
      pending_.erase(it);
      return 0;
    }
    Step();
  }
}

long SftpChannel::TakeAs(Id id, uint8_t type, SftpReply& r) {
  long rc = Take(id, r);
  if (rc != 0 || r.type == type) return rc;
  // A status where another answer was due: its rc (an OK there breaks the protocol).
  if (r.type == sftp::kStatus && r.status != sftp::kOk) return StatusRc(r.status);
  return Broke(kBadPacket, "an SFTP answer of the wrong type");
}

long SftpChannel::TakeStatus(Id id) {
  SftpReply r;
  long rc = Take(id, r);
  if (rc != 0) return rc;
  if (r.type != sftp::kStatus) return Broke(kBadPacket, "an SFTP answer of the wrong type");
  return r.status == sftp::kOk ? 0 : StatusRc(r.status);
}

long SftpChannel::TakeHandle(Id id, std::string& handle) {
  SftpReply r;
  long rc = TakeAs(id, sftp::kHandle, r);
  if (rc == 0) handle = std::move(r.handle);
  return rc;
}

long SftpChannel::TakeAttrs(Id id, SftpAttrs& attrs) {
  SftpReply r;
  long rc = TakeAs(id, sftp::kAttrs, r);
  if (rc == 0) attrs = r.attrs;
  return rc;
}

long SftpChannel::TakeData(Id id) {
  SftpReply r;
  long rc = TakeAs(id, sftp::kData, r);
  if (rc == 0) return static_cast<long>(r.status);
  return StatusOf(rc) == sftp::kEof ? 0 : rc;
}

long SftpChannel::TakeNames(Id id, std::vector<SftpName>& names) {
  SftpReply r;
  names.clear();
  long rc = TakeAs(id, sftp::kName, r);
  if (StatusOf(rc) == sftp::kEof) return 0;
  if (rc != 0) return rc;
  names = std::move(r.names);
  // An empty NAME would make a listing loop for ever.
  return names.empty() ? Broke(kBadPacket, "an empty SFTP name list") : static_cast<long>(names.size());
}

long SftpChannel::TakeExtended(Id id, std::string& data) {
  SftpReply r;
  long rc = TakeAs(id, sftp::kExtendedReply, r);
  if (rc == 0) data = std::move(r.data);
  return rc;
}

long SftpChannel::Open(const std::string& path, uint32_t pflags, uint32_t mode, std::string& handle) {
  SftpAttrs a;
  if (pflags & sftp::kFxfCreat) {
    a.flags = sftp::kAttrPermissions;
    a.permissions = mode;
  }
  return TakeHandle(SendOpen(path, pflags, a), handle);
}

long SftpChannel::RealPath(const std::string& path, std::string& out) {
  SftpReply r;
  long rc = TakeAs(SendPath(sftp::kRealpath, path), sftp::kName, r);
  if (rc != 0) return rc;
  if (r.names.size() != 1) return Broke(kBadPacket, "a malformed SFTP realpath answer");
  out = std::move(r.names[0].name);
  return 0;
}

long SftpChannel::Statvfs(const std::string& path, SftpStatvfs& out) {
  std::string data;
  long rc = TakeExtended(SendExtended("statvfs@openssh.com", path), data);
  if (rc != 0) return rc;
  return ParseStatvfs(data, out) ? 0 : Broke(kBadPacket, "a malformed statvfs answer");
}

}  // namespace kxmp::dataserver
