#pragma once
// The job results directory is looked up once per process and then cached for good. Tests
// that run in the test process itself therefore all point the registry at one directory made
// for the whole process (removed at exit) and clear what an earlier test left below it;
// tests of the first lookup run in forked children (see JobResultsDirectory_test.cpp).

#include <stdlib.h>
#include <sys/stat.h>

#include <ostream>
#include <string>
#include <vector>

#include "outside/dataserver/CFSInitParams.h"
#include "outside/registry/KXPlatformInfo.h"
#include "outside/util/CZoFile.h"
#include "outside/xml/TesselMessages.h"
#include "support/TempHome.h"

namespace kxmp::test {

class JobResultsTest : public HomeTest {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    jobResults_ = SharedJobResults();
    ASSERT_TRUE(KXPlatformInfo().setRegString("Runtime", "sJobResultsDirectory", jobResults_));
    CZoDirectory::Remove(jobResults_ + "/2", true, false);
  }

  std::string SubclientFolder(unsigned long id) const { return jobResults_ + "/2/" + std::to_string(id); }
  std::string CacheFile(unsigned long id) const { return SubclientFolder(id) + "/DBLogBackupMAPathCache.xml"; }

  std::string jobResults_;

 private:
  struct SharedDir {
    SharedDir() {
      std::string tmpl = "/tmp/kxmp-jobresults-XXXXXX";
      if (::mkdtemp(&tmpl[0]) == nullptr) std::abort();
      path = tmpl;
    }
    ~SharedDir() { CZoDirectory::Remove(path, true, false); }
    std::string path;
  };
  static const std::string& SharedJobResults() {
    static SharedDir dir;
    return dir.path;
  }
};

// One data-path record of a cache message, for assertions.
struct DataPath {
  std::string hostName;
  std::string mountPath;
  int64_t mountPathId;
  bool operator==(const DataPath& o) const {
    return hostName == o.hostName && mountPath == o.mountPath && mountPathId == o.mountPathId;
  }
};

inline void PrintTo(const DataPath& p, std::ostream* os) {
  *os << "{" << p.hostName << ", " << p.mountPath << ", " << p.mountPathId << "}";
}

inline std::vector<DataPath> DataPathsOf(Tessel::MADataPathsListCache& cache) {
  using namespace Tessel;
  std::vector<DataPath> out;
  for (const CNMessageBase& r :
       *cache.getlistobject(1, 1, kMADataPathsListCacheTag, kMADataPathsListCacheDataPathsId, false)) {
    out.push_back({r.getstring(1, 1, kMADataPathsTag, kMADataPathsHostNameId),
                   r.getstring(2, 5, kMADataPathsTag, kMADataPathsMountPathId),
                   r.getint64(3, kMADataPathsTag, kMADataPathsMountPathIdId)});
  }
  return out;
}

inline CFSInitParams ParamsFor(const std::string& host, const std::string& mountPath, int32_t id) {
  CFSInitParams p;
  p.host.hostName = host;
  p.host.mountPath = mountPath;
  p.mountPathId = id;
  return p;
}

}  // namespace kxmp::test
