#include "support/TempHome.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "outside/util/CZoFile.h"

namespace kxmp::test {

TempHome::TempHome() {
  const char* prev = std::getenv("KX_HOME");
  if (prev) {
    hadPrevious_ = true;
    previous_ = prev;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kxmp-test-XXXXXX";
  char* made = ::mkdtemp(&tmpl[0]);
  if (made == nullptr) std::abort();
  path_ = made;
  ::setenv("KX_HOME", path_.c_str(), 1);
}

TempHome::~TempHome() {
  CZoDirectory::Remove(path_, true, false);
  if (hadPrevious_) {
    ::setenv("KX_HOME", previous_.c_str(), 1);
  } else {
    ::unsetenv("KX_HOME");
  }
}

void HomeTest::SetUp() {
  home_ = std::make_unique<TempHome>();
  log_ = std::make_shared<CaptureLogWriter>(7);
  SetLogWriter(log_);
}

void HomeTest::TearDown() {
  SetLogWriter(nullptr);
  home_.reset();
}

void WriteFile(const std::string& path, const std::string& content) {
  size_t pos = path.find_last_of('/');
  if (pos != std::string::npos && pos > 0) CZoDirectory::Create(path.substr(0, pos), true);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(d)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kxmp::test
