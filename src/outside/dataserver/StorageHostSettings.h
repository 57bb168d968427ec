#pragma once
// Where a storage host's data server is reached, kept in the platform registry:
//
//   DataServer/Hosts/<NAME>   sTransport "sftp", sAddress, nPort (22), sUser (empty: the user
//                             this process runs as), sIdentityFile (empty: the ssh agent),
//                             sPassphraseFile (empty: none), sKnownHostsFile,
//                             nConnectTimeoutSec (10), nIoTimeoutSec (30)
//
// NAME is the storage host's plain name, the first part of its mangled name ("ma1" for
// "ma1*ma1*0*0"). A host without a key is served by the local backend. A key that names
// another transport, misses a required value or holds an invalid one is an error (EINVAL)
// naming the key and the value: such a host is never served locally by mistake.

#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/dataserver/sftp/SftpSettings.h"
#include "outside/error/CZoError.h"

namespace kxmp::dataserver {

constexpr char kStorageHostsKey[] = "DataServer/Hosts";
constexpr char kSftpTransport[] = "sftp";
constexpr int kMaxTimeoutSec = 3600;

// The registry key of the host's settings.
KXMP_EXPORT std::string StorageHostKey(const std::string& plainName);
// The plain name of a mangled storage host name (the name itself when it is plain).
KXMP_EXPORT std::string PlainStorageHostName(const std::string& mangledName);

// A name usable as NAME: 1 to 255 of [A-Za-z0-9._-], not starting with "." or "-".
KXMP_EXPORT CZoError ValidateStorageHostName(const std::string& plainName);
// Checks the settings as `set` stores them and the reader accepts them: an address without
// blanks or control bytes, port 1-65535, a user without blanks, control bytes or "@",
// absolute file paths (the identity may be empty: the ssh agent), timeouts 1-3600 s.
// The message names `where` (the key, or the command's options) and the offending value.
KXMP_EXPORT CZoError ValidateSftpSettings(const SftpSettings& settings, const std::string& where);

// Reads the host's settings. No key: success with found false. A key with another transport
// or an invalid value: EINVAL naming the key and value; an unreadable key: its errno number.
KXMP_EXPORT CZoError ReadStorageHost(const std::string& plainName, bool& found, SftpSettings& settings);
// Validates and writes every value of the host (values not given are written with their
// defaults, so a `set` replaces the whole configuration); sTransport goes last, so a key left
// half-written by a crash reads as invalid rather than as another host's address.
KXMP_EXPORT CZoError WriteStorageHost(const std::string& plainName, const SftpSettings& settings);
// Removes the host's key; ENOENT when there is none.
KXMP_EXPORT CZoError RemoveStorageHost(const std::string& plainName);
// The names of every configured host, sorted (a missing DataServer/Hosts key lists none).
KXMP_EXPORT CZoError ListStorageHosts(std::vector<std::string>& plainNames);

}  // namespace kxmp::dataserver
