#include "logbackup/DataWriterReaderCommon.h"

#include "outside/error/FXErrorUtil.h"

namespace kxmp::logbackup {
namespace {
const CZoError kOutOfMemory(FXErrorUtil::Win32Code(14), FXCodeLocation("DataWriterReader.cpp", "DataWriterReader", 0),
                            "Out of memory");
}  // namespace

const CZoError& OutOfMemoryError() { return kOutOfMemory; }

bool HasParentComponent(const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end - start == 2 && path.compare(start, 2, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

bool IsTemporaryName(const std::string& name) {
  const size_t n = sizeof kTemporarySuffix - 1;
  return name.size() >= n && name.compare(name.size() - n, n, kTemporarySuffix) == 0;
}

}  // namespace kxmp::logbackup
