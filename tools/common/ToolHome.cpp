#include "ToolHome.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace kxmp::tools {

HomeProblem ExamineHome(const std::string& home, std::string& why) {
  struct stat st {};
  if (::stat(home.c_str(), &st) != 0) {
    const int e = errno;
    why = std::strerror(e);
    return e == EACCES ? HomeProblem::kUnreadable : HomeProblem::kNotAHome;
  }
  if (!S_ISDIR(st.st_mode)) {
    why = "not a folder";
    return HomeProblem::kNotAHome;
  }
  const std::string registry = home + "/registry";
  if (::stat(registry.c_str(), &st) != 0) {
    const int e = errno;
    why = e == ENOENT ? "no registry/ folder" : std::strerror(e);
    return e == EACCES ? HomeProblem::kUnreadable : HomeProblem::kNotAHome;
  }
  if (!S_ISDIR(st.st_mode)) {
    why = "its registry is not a folder";
    return HomeProblem::kNotAHome;
  }
  return HomeProblem::kNone;
}

bool ActAsHomeOwner(const std::string& home, std::string& switchedTo, std::string& why) {
  switchedTo.clear();
  struct stat st {};
  if (::geteuid() != 0 || ::stat(home.c_str(), &st) != 0 || st.st_uid == 0) return true;
  const uid_t uid = st.st_uid;
  gid_t gid = st.st_gid;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
  int failed = 0;
  if (found != nullptr) {
    gid = found->pw_gid;
    if (::initgroups(found->pw_name, gid) != 0) failed = errno;
  } else if (::setgroups(0, nullptr) != 0) {
    failed = errno;
  }
  if (failed == 0 && ::setresgid(gid, gid, gid) != 0) failed = errno;
  if (failed == 0 && ::setresuid(uid, uid, uid) != 0) failed = errno;
  switchedTo = found != nullptr ? found->pw_name : "#" + std::to_string(uid);
  if (failed != 0) {
    why = "cannot act as " + switchedTo + ", the owner of " + home + ": " + std::strerror(failed);
    return false;
  }
  // Programs that find their files below $HOME (libpq's password file) see the owner's.
  if (found != nullptr && found->pw_dir != nullptr) ::setenv("HOME", found->pw_dir, 1);
  return true;
}

}  // namespace kxmp::tools
