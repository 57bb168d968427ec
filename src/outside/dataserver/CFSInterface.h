#pragma once
// Path operations of the data-server file system. Objects come from
// CFSInterface::GetFSInterfaceInstance, are made per operation and deleted by their maker.
//
// Contract of every backend:
//  - Paths are absolute and lie in the tree of CFSInitParams::host.mountPath (the served
//    tree); anything else is refused with errno EACCES and touches nothing.
//  - Errors are errno-kind CZoErrors carrying the errno (FXErrorUtil::IsErrNo).
//  - The virtual slot order is part of the binary interface: slots 0 and 1 are the
//    destructor, then the operations in declaration order (Exists is slot 4, Move slot 19).
//    Never reorder; add new operations at the end.

#include <sys/stat.h>

#include <string>
#include <vector>

#include "kxmp/kxmp_export.h"
#include "outside/dataserver/CFSInitParams.h"
#include "outside/error/CZoError.h"

typedef struct stat SZoFileStat;

// Walk callback: the full path of the folder holding the entry (it begins with the walked
// path), the entry name, whether the entry is a folder, and the caller's context. An error
// stops the walk and becomes its result.
typedef CZoError (*WalkerFunc)(const char* folder, const char* name, bool isFolder, void* context);

class KXMP_EXPORT CFSInterface {
 public:
  virtual ~CFSInterface();  // slots 0, 1

  // Null when no object could be made. The caller owns the result.
  static CFSInterface* GetFSInterfaceInstance(const CFSInitParams& params);

  // 2: checks that the served tree is reachable (mount path listed and present).
  virtual CZoError Connect() = 0;
  // 3: releases what the object holds open; a later operation reconnects.
  virtual CZoError Disconnect() = 0;
  // 4: an absent path is no error (exists = false).
  virtual CZoError Exists(std::string path, bool& exists) = 0;
  // 5: whether the path names a folder (following links inside the tree). By default from Stat.
  virtual CZoError IsFolder(std::string path, bool& isFolder);
  // 6: flag 0 creates one level, flag 1 the missing parents too. An existing folder is
  //    errno EEXIST (17); an existing entry that is not a folder is ENOTDIR.
  virtual CZoError CreateFolder(std::string path, int flag) = 0;
  // 7: total and free (available) bytes of the volume behind the path; "" means the
  //    served tree.
  virtual CZoError GetVolumeSize(const char* path, unsigned long long* total, unsigned long long* free) = 0;
  // 8: status of the entry itself (a symbolic link is not followed).
  virtual CZoError Lstat(std::string path, SZoFileStat& st) = 0;
  // 9: status of the path (links inside the tree are followed).
  virtual CZoError Stat(std::string path, SZoFileStat& st) = 0;
  // 10: reserved (ENOSYS).
  virtual CZoError Reserved10() = 0;
  // 11: removes a file or a symbolic link; the int is reserved (0).
  virtual CZoError RemoveFile(std::string path, int flag) = 0;
  // 12: removes an empty folder; the int is reserved (0).
  virtual CZoError RemoveFolder(std::string path, int flag) = 0;
  // 13: names of the folder's entries: files (and symbolic links, not followed) into
  //     `files`, folders into `folders`. Both lists are cleared first.
  virtual CZoError GetDirContents(std::string path, std::vector<std::string>& files,
                                  std::vector<std::string>& folders) = 0;
  // 14: calls cb for every entry below path, a folder before its contents. level: how deep
  //     to descend (-1 no limit, 0 only the entries of path itself); filesOnly: report
  //     files only (folders are still descended). Symbolic links are reported as files and
  //     never followed. The last int is reserved (0).
  virtual CZoError WalkDir(std::string path, void* context, int level, bool filesOnly, WalkerFunc cb,
                           int reserved) = 0;
  // 15: permission bits (mode & 07777).
  virtual CZoError Chmod(std::string path, int mode) = 0;
  // 16 .. 18: reserved (ENOSYS).
  virtual CZoError Reserved16() = 0;
  virtual CZoError Reserved17() = 0;
  virtual CZoError Reserved18() = 0;
  // 19: renames; flag 0 replaces an existing target, flag 1 refuses to (EEXIST) in the same
  //     atomic step, so no other writer's target can be replaced between a check and the rename.
  virtual CZoError Move(std::string from, std::string to, int flag) = 0;
};
