// test-labels: integration
// The built shared library as the host sees it: loaded with dlopen, one C entry, the rest of
// its internals hidden.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "kxmp/IOnDemandSvcInterface.h"
#include "support/TempHome.h"

namespace {
std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  ::pclose(pipe);
  return out;
}
}  // namespace

class SharedLibraryTest : public kxmp::test::HomeTest {};

TEST_F(SharedLibraryTest, LoadedLibraryHandsOutOneServiceThatInitializes) {
  void* lib = ::dlopen(KXMP_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  using Entry = void* (*)();
  auto entry = reinterpret_cast<Entry>(::dlsym(lib, "GetOnDemandSvcLibInstance"));
  ASSERT_NE(entry, nullptr);
  void* first = entry();
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(entry(), first);

  auto* svc = static_cast<IOnDemandSvcInterface*>(first);
  std::string text;
  int number = 0;
  EXPECT_EQ(svc->Initialize(0, nullptr, text, number, nullptr).GetErrorCode(), 0);
  CNSession::OnDemandServiceStatusType status = CNSession::ONDEMAND_SERVICE_STATUS_FAILED;
  std::string job;
  EXPECT_EQ(svc->SubmitJob(job, status, CNSession::ONDEMAND_SERVICE_MODE_SYNC).GetErrorCode(), 0);
  EXPECT_EQ(status, CNSession::ONDEMAND_SERVICE_STATUS_OK);
  // Not unloaded: the service lives until the process ends.
}

TEST(SharedLibrary, ExportsTheCEntryAndHidesInternals) {
  std::string symbols = RunCommand(std::string("nm -D --defined-only ") + KXMP_LIBRARY_PATH);
  ASSERT_FALSE(symbols.empty());
  // Every export carries the library's version node.
  EXPECT_NE(symbols.find(" T GetOnDemandSvcLibInstance@@KXMP_1\n"), std::string::npos) << symbols.substr(0, 2000);
  EXPECT_EQ(symbols.find("LockFileName"), std::string::npos);  // internal helper of the named lock
  EXPECT_EQ(symbols.find("NameTable"), std::string::npos);
  EXPECT_EQ(symbols.find("kDriverAllocationFailed"), std::string::npos);
}
