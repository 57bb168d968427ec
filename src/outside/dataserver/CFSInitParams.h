#pragma once
// Connection parameters of the data-server file-system interface. A data-server context fills
// them once and hands them to the factories of CFSInterface and CFileInterface for every
// operation. Fields keep their declaration order; the comments give the default and the
// value a data-server context sets.

#include <cstdint>
#include <string>

// The storage host and the folder served on it.
struct CFSHost {
  int32_t port = 0;          // data-server port; 0 = the host's default
  std::string hostName;      // storage host name, mangled (HOST*SECOND*N1*N2)
  std::string mountPath;     // the served tree: every path of an operation must lie in it
  std::string extra;         // transport options; unused by the local backend
};

// Credentials for the data server. Contexts never fill them.
struct CFSUser {
  std::string userName;
  std::string password;
  uint64_t token = 0;
};

struct CFSInitParams {
  int32_t version = 0;        // 1: layout version; contexts set 2
  int32_t protocol = -1;      // 2: transport; -1 unset, contexts set 4 (direct file access)
  uint64_t flags = 0;         // 3: option bits; none defined
  int32_t reserved1 = 0;      // 4
  CFSHost host;               // 5: storage host, its mount path
  CFSUser user;               // 6: never filled
  std::string clientName;     // 7: this machine's mangled client name
  int32_t mountPathId = 0;    // 8: the mount path's id in the catalog
  int32_t reserved2 = 0;      // 9
  std::string reserved3;      // 10
  int32_t reserved4 = 0;      // 11
  uint64_t subclientId = 0;   // 12: whose root folder is served (0 unknown); contexts set it, so
                              // that the subclient's cached mount paths vouch for the tree
};
