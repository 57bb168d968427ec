#pragma once
// One open file of the data-server file system. Objects come from
// CFileInterface::GetFileInterfaceInstance and are deleted by their maker; deleting an open
// object closes the file without syncing it.
//
// Paths follow the rules of CFSInterface (absolute, inside the served tree, else EACCES).
// The virtual slot order is part of the binary interface: slots 0 and 1 are the destructor,
// then the operations in declaration order (Open is slot 2, Unlock slot 15).

#include "kxmp/kxmp_export.h"
#include "outside/dataserver/CFSInterface.h"

class KXMP_EXPORT CFileInterface {
 public:
  virtual ~CFileInterface();  // slots 0, 1

  // Null when no object could be made. The caller owns the result.
  static CFileInterface* GetFileInterfaceInstance(const CFSInitParams& params);

  // 2: uFlags are open(2) flags, uMode the creation mode (& 07777); shFlag is reserved
  //    (sharing is not enforced). O_NOATIME on a file this process does not own is dropped.
  virtual CZoError Open(std::string path, int uFlags, int uMode, int shFlag) = 0;
  // 3: makes written data durable (fsync) and closes; a failed fsync is an error (the file
  //    is closed all the same). Closing a file that is not open is success.
  virtual CZoError Close() = 0;
  // 4: reads at the current position; *bytesRead 0 at the end of the file.
  virtual CZoError Read(void* buffer, unsigned int size, unsigned int* bytesRead) = 0;
  // 5: writes at the current position; *bytesWritten may be less than size.
  virtual CZoError Write(const void* buffer, unsigned int size, unsigned int* bytesWritten) = 0;
  // 6: whence 0 from the start, 1 from the current position, 2 from the end; the last int
  //    is reserved (0).
  virtual CZoError Seek(long long offset, int whence, int reserved) = 0;
  // 7: the current position.
  virtual CZoError Tell(long long& position) = 0;
  // 8: the file size. By default from Stat.
  virtual CZoError GetSize(long long& size);
  // 9: sets the file size.
  virtual CZoError Truncate(long long size) = 0;
  // 10: status of the open file.
  virtual CZoError Stat(SZoFileStat& st) = 0;
  // 11: makes written data durable (fsync).
  virtual CZoError Flush() = 0;
  // 12, 13: reserved (ENOSYS).
  virtual CZoError Reserved12() = 0;
  virtual CZoError Reserved13() = 0;
  // 14: locks the whole file: bit 0 shared (else exclusive), bit 1 do not wait (EWOULDBLOCK
  //     when held elsewhere). 0 = exclusive, waiting.
  virtual CZoError Lock(int mode) = 0;
  // 15: releases the lock.
  virtual CZoError Unlock() = 0;
};
