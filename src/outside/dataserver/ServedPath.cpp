#include "outside/dataserver/ServedPath.h"

#include <errno.h>

#include <cstring>

#include "outside/error/FXErrorUtil.h"

namespace kxmp::dataserver {

namespace {

bool IsPrefix(const std::vector<std::string>& prefix, const std::vector<std::string>& comps) {
  if (prefix.size() > comps.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (prefix[i] != comps[i]) return false;
  }
  return true;
}

}  // namespace

ServedPath::ServedPath(const CFSInitParams& params)
    : rootText_(params.host.mountPath), host_(params.host.hostName), subclientId_(params.subclientId) {
  rootCheck_ = SplitAbsolute(rootText_, rootComps_);
}

int ServedPath::SplitAbsolute(const std::string& path, std::vector<std::string>& comps) {
  comps.clear();
  if (path.empty() || path[0] != '/') return EACCES;
  if (path.find('\0') != std::string::npos) return EINVAL;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) {
      if (j - i == 2 && path[i] == '.' && path[i + 1] == '.') return EACCES;
      if (!(j - i == 1 && path[i] == '.')) comps.emplace_back(path, i, j - i);
    }
    i = j;
  }
  return 0;
}

std::string ServedPath::JoinRange(const std::vector<std::string>& comps, size_t from, size_t to) {
  if (from >= to) return ".";
  std::string out;
  for (size_t i = from; i < to; ++i) {
    if (i > from) out.push_back('/');
    out += comps[i];
  }
  return out;
}

std::string ServedPath::PathText(const std::vector<std::string>& comps, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    out.push_back('/');
    out += comps[i];
  }
  return out.empty() ? "/" : out;
}

CZoError ServedPath::Error(const FXCodeLocation& where, int err, const char* what, const std::string& path) {
  return FXErrorUtil::ErrorErrNo(where, err, "%s [%s]: %s", what, path.c_str(), std::strerror(err));
}

CZoError ServedPath::RootCheckError(const FXCodeLocation& where) const {
  return Error(where, EACCES, "The served tree is not an absolute path", rootText_);
}

CZoError ServedPath::Check(const std::string& path, Target& out) const {
  out.text = path;
  int e = SplitAbsolute(path, out.comps);
  if (e == EINVAL) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Path holds a NUL character");
  if (e != 0) return Error(FX_LOC, EACCES, "Refused path: not absolute or with a '..' component", path);
  if (rootCheck_ != 0) return RootCheckError(FX_LOC);
  if (!IsPrefix(rootComps_, out.comps)) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "Refused path [%s]: outside the served tree [%s]", path.c_str(),
                                   rootText_.c_str());
  }
  return CZoError::Success();
}

CZoError ServedPath::FindMountPath(MountPathAuthority* authority, SharedMountPath* shared,
                                   MountPathChoice& out) const {
  if (shared == nullptr) return FindMountPath(authority, out);
  std::lock_guard<std::mutex> lock(shared->mutex);
  if (!shared->located) {
    CZoError err = FindMountPath(authority, shared->mount);
    if (err.IsError()) return err;
    shared->located = true;
  }
  out = shared->mount;
  return CZoError::Success();
}

CZoError ServedPath::FindMountPath(MountPathAuthority* authority, MountPathChoice& out) const {
  if (rootCheck_ != 0) return RootCheckError(FX_LOC);
  if (authority == nullptr) return Error(FX_LOC, EACCES, "No mount path authority for the served tree", rootText_);
  std::vector<std::string> listed;
  CZoError err = authority->MountPathsFor(MountPathQuery{host_, rootText_, subclientId_}, listed);
  if (err.IsError()) {
    // Told apart from the storage host's own failures: the catalog, not the host, is down.
    return FXErrorUtil::ErrorWin32(FX_LOC, kMountPathsUnknown, "Cannot learn the mount paths of storage host [%s]: %s",
                                   host_.c_str(), err.AsString().c_str());
  }
  std::vector<std::string> comps;
  const std::string* best = nullptr;
  size_t bestDepth = 0;
  for (const std::string& m : listed) {
    if (SplitAbsolute(m, comps) != 0 || !IsPrefix(comps, rootComps_)) continue;
    if (best == nullptr || comps.size() > bestDepth) {
      best = &m;
      bestDepth = comps.size();
    }
  }
  if (best == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "[%s] lies below no mount path of storage host [%s]",
                                   rootText_.c_str(), host_.c_str());
  }
  out.text = *best;
  out.depth = bestDepth;
  return CZoError::Success();
}

}  // namespace kxmp::dataserver
