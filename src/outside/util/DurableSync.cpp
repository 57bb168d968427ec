#include "outside/util/DurableSync.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxmp {

int SyncFile(int fd) {
  if (::fsync(fd) == 0) return 0;
  const int e = errno;
  struct stat st {};
  if ((e == EINVAL || e == EROFS) && ::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) return 0;
  return e;
}

int SyncFolder(int fd) {
  if (::fsync(fd) == 0 || errno == EINVAL) return 0;
  return errno;
}

}  // namespace kxmp
