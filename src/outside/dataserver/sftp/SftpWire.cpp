#include "outside/dataserver/sftp/SftpWire.h"

#include <errno.h>

#include "outside/util/Endian.h"

namespace kxmp::dataserver {

bool WireReader::U8(uint8_t& v) {
  if (Left() < 1) return false;
  v = p_[at_++];
  return true;
}

bool WireReader::U32(uint32_t& v) {
  if (Left() < 4) return false;
  v = BigEndian32(p_ + at_);
  at_ += 4;
  return true;
}

bool WireReader::U64(uint64_t& v) {
  uint32_t hi = 0, lo = 0;
  if (Left() < 8 || !U32(hi) || !U32(lo)) return false;
  v = (uint64_t(hi) << 32) | lo;
  return true;
}

bool WireReader::String(std::string& out, size_t max) {
  uint32_t n = 0;
  if (!U32(n) || n > max || n > Left()) return false;
  out.assign(reinterpret_cast<const char*>(p_ + at_), n);
  at_ += n;
  return true;
}

bool WireReader::Skip(size_t max) {
  uint32_t n = 0;
  if (!U32(n) || n > max || n > Left()) return false;
  at_ += n;
  return true;
}

bool WireReader::Attrs(SftpAttrs& a) {
  a = SftpAttrs();
  if (!U32(a.flags)) return false;
  if ((a.flags & sftp::kAttrSize) && !U64(a.size)) return false;
  if ((a.flags & sftp::kAttrUidGid) && (!U32(a.uid) || !U32(a.gid))) return false;
  if ((a.flags & sftp::kAttrPermissions) && !U32(a.permissions)) return false;
  if ((a.flags & sftp::kAttrAcModTime) && (!U32(a.atime) || !U32(a.mtime))) return false;
  if (a.flags & sftp::kAttrExtended) {
    uint32_t count = 0;
    if (!U32(count)) return false;
    // Each pair takes at least eight bytes: a count beyond that is a lie, found before any loop.
    if (count > Left() / 8) return false;
    for (uint32_t i = 0; i < count; ++i) {
      if (!Skip(Left()) || !Skip(Left())) return false;
    }
  }
  return true;
}

WireWriter::WireWriter(uint8_t type, uint32_t id) : WireWriter(type) { U32(id); }

WireWriter::WireWriter(uint8_t type) {
  buf_.reserve(64);
  buf_.append(4, '\0');
  buf_.push_back(static_cast<char>(type));
}

WireWriter& WireWriter::U32(uint32_t v) {
  AppendBigEndian32(buf_, v);
  return *this;
}

WireWriter& WireWriter::U64(uint64_t v) {
  U32(static_cast<uint32_t>(v >> 32));
  return U32(static_cast<uint32_t>(v));
}

WireWriter& WireWriter::Bytes(const void* data, size_t n) {
  U32(static_cast<uint32_t>(n));
  buf_.append(static_cast<const char*>(data), n);
  return *this;
}

WireWriter& WireWriter::Attrs(const SftpAttrs& a) {
  const uint32_t flags = a.flags & ~sftp::kAttrExtended;
  U32(flags);
  if (flags & sftp::kAttrSize) U64(a.size);
  if (flags & sftp::kAttrUidGid) U32(a.uid).U32(a.gid);
  if (flags & sftp::kAttrPermissions) U32(a.permissions);
  if (flags & sftp::kAttrAcModTime) U32(a.atime).U32(a.mtime);
  return *this;
}

std::string WireWriter::Finish(size_t trailing) {
  const uint32_t len = static_cast<uint32_t>(buf_.size() - 4 + trailing);
  buf_[0] = char(len >> 24);
  buf_[1] = char(len >> 16);
  buf_[2] = char(len >> 8);
  buf_[3] = char(len);
  return std::move(buf_);
}

bool ParseReply(const unsigned char* p, size_t n, SftpReply& out) {
  WireReader r(p, n);
  out = SftpReply();
  if (!r.U8(out.type) || !r.U32(out.id)) return false;
  switch (out.type) {
    case sftp::kStatus: {
      if (!r.U32(out.status)) return false;
      // Version 3 servers may leave the message and language out.
      if (r.Left() > 0 && !r.String(out.message, sftp::kMaxName)) return false;
      return true;
    }
    case sftp::kHandle: return r.String(out.handle, sftp::kMaxHandle) && !out.handle.empty();
    case sftp::kData: return r.String(out.data, r.Left());
    case sftp::kAttrs: return r.Attrs(out.attrs);
    case sftp::kExtendedReply:
      out.data.assign(reinterpret_cast<const char*>(p) + 5, n - 5);
      return true;
    case sftp::kName: {
      uint32_t count = 0;
      if (!r.U32(count)) return false;
      // A name, its long form and empty attributes take at least twelve bytes.
      if (count > r.Left() / 12) return false;
      out.names.reserve(count);
      for (uint32_t i = 0; i < count; ++i) {
        SftpName name;
        if (!r.String(name.name, sftp::kMaxName) || !r.Skip(sftp::kMaxName) || !r.Attrs(name.attrs)) return false;
        out.names.push_back(std::move(name));
      }
      return true;
    }
    default: return false;
  }
}

bool ParseVersion(const unsigned char* p, size_t n, uint32_t& version,
                  std::vector<std::pair<std::string, std::string>>& extensions) {
  WireReader r(p, n);
  uint8_t type = 0;
  extensions.clear();
  if (!r.U8(type) || type != sftp::kVersion || !r.U32(version)) return false;
  while (r.Left() > 0) {
    std::string name, data;
    if (!r.String(name, sftp::kMaxName) || !r.String(data, sftp::kMaxName)) return false;
    extensions.emplace_back(std::move(name), std::move(data));
  }
  return true;
}

bool ParseLimits(const std::string& data, uint64_t& packet, uint64_t& read, uint64_t& write) {
  WireReader r(reinterpret_cast<const unsigned char*>(data.data()), data.size());
  uint64_t handles = 0;
  return r.U64(packet) && r.U64(read) && r.U64(write) && r.U64(handles);
}

bool ParseStatvfs(const std::string& data, SftpStatvfs& v) {
  WireReader r(reinterpret_cast<const unsigned char*>(data.data()), data.size());
  return r.U64(v.bsize) && r.U64(v.frsize) && r.U64(v.blocks) && r.U64(v.bfree) && r.U64(v.bavail) &&
         r.U64(v.files) && r.U64(v.ffree) && r.U64(v.favail) && r.U64(v.fsid) && r.U64(v.flag) && r.U64(v.namemax);
}

const char* SftpStatusText(uint32_t status) {
  switch (status) {
    case sftp::kEof: return "end of file";
    case sftp::kNoSuchFile: return "no such file";
    case sftp::kPermissionDenied: return "permission denied";
    case sftp::kFailure: return "failure";
    case sftp::kBadMessage: return "bad message";
    case sftp::kNoConnection: return "no connection";
    case sftp::kConnectionLost: return "connection lost";
    case sftp::kOpUnsupported: return "operation unsupported";
    case sftp::kInvalidHandle: return "invalid handle";
    case sftp::kNoSuchPath: return "no such path";
    case sftp::kFileAlreadyExists: return "file already exists";
    case sftp::kWriteProtect: return "write protected";
    case sftp::kNoMedia: return "no media";
    case sftp::kNoSpaceOnFilesystem: return "no space on the file system";
    case sftp::kQuotaExceeded: return "quota exceeded";
    case sftp::kDirNotEmpty: return "folder not empty";
    case sftp::kNotADirectory: return "not a folder";
    case sftp::kInvalidFilename: return "invalid file name";
    case sftp::kLinkLoop: return "link loop";
    default: return "unknown status";
  }
}

int SftpStatusErrno(uint32_t status) {
  switch (status) {
    case sftp::kEof: return 0;
    case sftp::kNoSuchFile:
    case sftp::kNoSuchPath: return ENOENT;
    case sftp::kPermissionDenied:
    case sftp::kWriteProtect: return EACCES;
    case sftp::kBadMessage:
    case sftp::kInvalidFilename: return EINVAL;
    case sftp::kNoConnection:
    case sftp::kConnectionLost: return ECONNRESET;
    case sftp::kOpUnsupported: return ENOTSUP;
    case sftp::kInvalidHandle: return EBADF;
    case sftp::kFileAlreadyExists: return EEXIST;
    case sftp::kNoMedia: return ENODEV;
    case sftp::kNoSpaceOnFilesystem: return ENOSPC;
    case sftp::kQuotaExceeded: return EDQUOT;
    case sftp::kDirNotEmpty: return ENOTEMPTY;
    case sftp::kNotADirectory: return ENOTDIR;
    case sftp::kLinkLoop: return ELOOP;
    default: return EIO;  // a bare failure and the rest: callers refine where the cause can be learned
  }
}

}  // namespace kxmp::dataserver
