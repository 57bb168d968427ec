#pragma once
// The SFTP version 3 wire format: building requests and parsing answers.
//
// Everything an answer holds comes from the server, which may be broken or hostile: every
// length is checked against what is left of the packet before it is used, names and handles
// are bounded, and a count never sizes an allocation beyond what the packet could hold. A
// parser that meets anything malformed says so (false) and the session is given up.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kxmp::dataserver {

namespace sftp {

// Packet types.
enum : uint8_t {
  kInit = 1,
  kVersion = 2,
  kOpen = 3,
  kClose = 4,
  kRead = 5,
  kWrite = 6,
  kLstat = 7,
  kFstat = 8,
  kSetstat = 9,
  kFsetstat = 10,
  kOpendir = 11,
  kReaddir = 12,
  kRemove = 13,
  kMkdir = 14,
  kRmdir = 15,
  kRealpath = 16,
  kStat = 17,
  kRename = 18,
  kStatus = 101,
  kHandle = 102,
  kData = 103,
  kName = 104,
  kAttrs = 105,
  kExtended = 200,
  kExtendedReply = 201,
};

// Status codes (the first nine are version 3's; later versions' are mapped when a server sends them).
enum : uint32_t {
  kOk = 0,
  kEof = 1,
  kNoSuchFile = 2,
  kPermissionDenied = 3,
  kFailure = 4,
  kBadMessage = 5,
  kNoConnection = 6,
  kConnectionLost = 7,
  kOpUnsupported = 8,
  kInvalidHandle = 9,
  kNoSuchPath = 10,
  kFileAlreadyExists = 11,
  kWriteProtect = 12,
  kNoMedia = 13,
  kNoSpaceOnFilesystem = 14,
  kQuotaExceeded = 15,
  kUnknownPrincipal = 16,
  kLockConflict = 17,
  kDirNotEmpty = 18,
  kNotADirectory = 19,
  kInvalidFilename = 20,
  kLinkLoop = 21,
};

// Open flags.
enum : uint32_t { kFxfRead = 1, kFxfWrite = 2, kFxfAppend = 4, kFxfCreat = 8, kFxfTrunc = 16, kFxfExcl = 32 };

// Attribute flags.
enum : uint32_t { kAttrSize = 1, kAttrUidGid = 2, kAttrPermissions = 4, kAttrAcModTime = 8, kAttrExtended = 0x80000000u };

constexpr size_t kMaxHandle = 256;     // longer handles are refused
constexpr size_t kMaxName = 65536;     // a path or name, or a status message, longer than this is refused
constexpr size_t kHeaderSlack = 1024;  // what a packet may hold besides its data
constexpr size_t kMinPacketBound = size_t(256) << 10;

}  // namespace sftp

struct SftpAttrs {
  uint32_t flags = 0;
  uint64_t size = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint32_t permissions = 0;
  uint32_t atime = 0;
  uint32_t mtime = 0;

  bool IsFolder() const { return (flags & sftp::kAttrPermissions) && (permissions & 0170000) == 0040000; }
  bool IsLink() const { return (flags & sftp::kAttrPermissions) && (permissions & 0170000) == 0120000; }
  bool IsRegular() const { return (flags & sftp::kAttrPermissions) && (permissions & 0170000) == 0100000; }
};

struct SftpName {
  std::string name;
  SftpAttrs attrs;
};

// statvfs@openssh.com's answer.
struct SftpStatvfs {
  uint64_t bsize = 0, frsize = 0, blocks = 0, bfree = 0, bavail = 0, files = 0, ffree = 0, favail = 0, fsid = 0,
           flag = 0, namemax = 0;
};

// A parsed answer. Which fields hold something depends on its type.
struct SftpReply {
  uint8_t type = 0;
  uint32_t id = 0;
  uint32_t status = 0;      // kStatus
  std::string message;      // kStatus
  std::string handle;       // kHandle
  std::string data;         // kData (when not read straight into a caller's buffer), kExtendedReply
  SftpAttrs attrs;          // kAttrs
  std::vector<SftpName> names;  // kName
};

// Reads the fields of one packet, each checked against what is left.
class WireReader {
 public:
  WireReader(const unsigned char* p, size_t n) : p_(p), n_(n) {}
  bool U8(uint8_t& v);
  bool U32(uint32_t& v);
  bool U64(uint64_t& v);
  // A string of at most max bytes.
  bool String(std::string& out, size_t max);
  bool Skip(size_t max);  // a string not kept
  bool Attrs(SftpAttrs& a);
  size_t Left() const { return n_ - at_; }

 private:
  const unsigned char* p_;
  size_t n_;
  size_t at_ = 0;
};

// Builds one request: its length is filled in by Finish.
class WireWriter {
 public:
  WireWriter(uint8_t type, uint32_t id);
  explicit WireWriter(uint8_t type);  // INIT carries no id
  WireWriter& U32(uint32_t v);
  WireWriter& U64(uint64_t v);
  WireWriter& String(const std::string& s) { return Bytes(s.data(), s.size()); }
  WireWriter& Bytes(const void* data, size_t n);
  WireWriter& Attrs(const SftpAttrs& a);
  // The packet; trailing is the length of data the caller sends right after it (a write's).
  std::string Finish(size_t trailing = 0);

 private:
  std::string buf_;
};

// Parses the body of an answer (from its type byte on; the length is gone). False when it is
// malformed or of a type no request is answered with.
bool ParseReply(const unsigned char* p, size_t n, SftpReply& out);
// The version packet's body: its version and extensions (name, data).
bool ParseVersion(const unsigned char* p, size_t n, uint32_t& version,
                  std::vector<std::pair<std::string, std::string>>& extensions);
// limits@openssh.com's answer: max packet, read and write lengths, open handles.
bool ParseLimits(const std::string& data, uint64_t& packet, uint64_t& read, uint64_t& write);
bool ParseStatvfs(const std::string& data, SftpStatvfs& out);

const char* SftpStatusText(uint32_t status);
// The errno a status stands for (0 for end of file; EIO for a bare failure, which callers
// refine where they can learn the cause).
int SftpStatusErrno(uint32_t status);

}  // namespace kxmp::dataserver
