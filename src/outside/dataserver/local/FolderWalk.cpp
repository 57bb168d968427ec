#include "outside/dataserver/local/FolderWalk.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "outside/error/FXErrorUtil.h"

namespace kxmp::dataserver {

namespace {

CZoError Error(const FXCodeLocation& where, int e, const char* what, const std::string& path) {
  return FXErrorUtil::ErrorErrNo(where, e, "%s [%s]: %s", what, path.c_str(), std::strerror(e));
}

// A folder entry below the top folder: never through a link, never "..".
int OpenSubFolder(int parent, const std::string& name) {
  int fd;
  do {
    fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Removed or replaced meanwhile (a link now, or no folder): not followed, not an error.
bool Vanished(int e) { return e == ENOENT || e == ELOOP || e == ENOTDIR; }

struct Entry {
  std::string name;
  bool isFolder;
};

// One folder on the way down from the top folder.
struct Frame {
  DirPtr dir;                  // reading its entries, while it has a descriptor
  UniqueFd fd;                 // reopened after its entries were read into `pending`
  std::vector<Entry> pending;  // the rest of its entries once it gave its descriptor up
  size_t next = 0;
  bool drained = false;        // its entries come from `pending`
  bool lost = false;           // removed or replaced since it was read: no descending
  std::string name;            // its name in the folder above
  dev_t dev = 0;
  ino_t ino = 0;
  size_t cut = 0;              // length of the path text without its name
  int depth = 0;

  int Fd() const { return dir ? ::dirfd(dir.get()) : fd.get(); }
  bool HasDescriptor() const { return dir != nullptr || fd.valid(); }
};

class Walk {
 public:
  Walk(const std::string& path, int level, bool filesOnly, WalkerFunc cb, void* context)
      : folder_(path), level_(level), filesOnly_(filesOnly), cb_(cb), context_(context) {
    while (folder_.size() > 1 && folder_.back() == '/') folder_.pop_back();
  }

  CZoError Run(UniqueFd top) {
    DirPtr dir(::fdopendir(top.get()));
    if (!dir) return Error(FX_LOC, errno, "Cannot read folder", folder_);
    top.release();
    Frame first;
    first.dir = std::move(dir);
    first.cut = folder_.size();
    stack_.push_back(std::move(first));
    held_ = 1;

    while (!stack_.empty()) {
      Entry entry;
      bool found = false;
      CZoError err = Next(stack_.back(), entry, found);
      if (err.IsError()) return err;
      if (!found) {
        if (stack_.back().HasDescriptor()) --held_;
        folder_.resize(stack_.back().cut);
        stack_.pop_back();
        continue;
      }
      if (!entry.isFolder || !filesOnly_) {
        err = cb_(folder_.c_str(), entry.name.c_str(), entry.isFolder, context_);
        if (err.IsError()) return err;
      }
      if (!entry.isFolder || (level_ >= 0 && stack_.back().depth >= level_)) continue;
      err = Descend(entry.name);
      if (err.IsError()) return err;
    }
    return CZoError::Success();
  }

 private:
  // The next entry of the deepest folder; found false at its end.
  CZoError Next(Frame& f, Entry& out, bool& found) {
    if (f.drained) {
      found = f.next < f.pending.size();
      if (found) out = std::move(f.pending[f.next++]);
      return CZoError::Success();
    }
    for (;;) {
      errno = 0;
      struct dirent* de = ::readdir(f.dir.get());
      if (de == nullptr) {
        if (errno != 0) return Error(FX_LOC, errno, "Cannot read folder", folder_);
        found = false;
        return CZoError::Success();
      }
      if (IsDotOrDotDot(de->d_name)) continue;
      int isFolder = EntryIsFolder(::dirfd(f.dir.get()), de);
      if (isFolder < 0) continue;  // removed meanwhile
      out.name = de->d_name;
      out.isFolder = isFolder != 0;
      found = true;
      return CZoError::Success();
    }
  }

  // Opens the folder `name` of the deepest folder and makes it the deepest.
  CZoError Descend(const std::string& name) {
    const size_t i = stack_.size() - 1;
    if (stack_[i].lost) return CZoError::Success();
    CZoError err = MakeRoom(i);
    if (err.IsError()) return err;
    if (!stack_[i].HasDescriptor()) {
      err = Reopen(i);
      if (err.IsError() || stack_[i].lost) return err;
      err = MakeRoom(i);
      if (err.IsError()) return err;
    }
    UniqueFd fd(OpenSubFolder(stack_[i].Fd(), name));
    if (!fd.valid()) {
      int e = errno;
      if (Vanished(e)) return CZoError::Success();
      return Error(FX_LOC, e, "Cannot open folder", Joined(name));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Error(FX_LOC, errno, "Cannot read folder", Joined(name));
    DirPtr dir(::fdopendir(fd.get()));
    if (!dir) return Error(FX_LOC, errno, "Cannot read folder", Joined(name));
    fd.release();

    Frame f;
    f.dir = std::move(dir);
    f.name = name;
    f.dev = st.st_dev;
    f.ino = st.st_ino;
    f.cut = folder_.size();
    f.depth = stack_[i].depth + 1;
    if (folder_.back() != '/') folder_.push_back('/');
    folder_ += name;
    stack_.push_back(std::move(f));
    ++held_;
    return CZoError::Success();
  }

  std::string Joined(const std::string& name) const {
    return folder_.back() == '/' ? folder_ + name : folder_ + "/" + name;
  }

  // The path text of frame i.
  std::string FolderOf(size_t i) const { return i + 1 < stack_.size() ? folder_.substr(0, stack_[i + 1].cut) : folder_; }

  // Frees a descriptor when the walk holds as many as it may, taking it from the shallowest
  // folder between the top (which stays open) and frame `keep`.
  CZoError MakeRoom(size_t keep) {
    if (held_ < kWalkMaxOpenFolders) return CZoError::Success();
    for (size_t j = 1; j < keep; ++j) {
      Frame& f = stack_[j];
      if (!f.HasDescriptor()) continue;
      if (f.dir && !f.drained) {
        // The rest of its entries, read now in the order they would have come.
        Entry entry;
        bool found = true;
        while (found) {
          errno = 0;
          struct dirent* de = ::readdir(f.dir.get());
          if (de == nullptr) {
            if (errno != 0) return Error(FX_LOC, errno, "Cannot read folder", FolderOf(j));
            found = false;
          } else if (!IsDotOrDotDot(de->d_name)) {
            int isFolder = EntryIsFolder(::dirfd(f.dir.get()), de);
            if (isFolder >= 0) f.pending.push_back(Entry{de->d_name, isFolder != 0});
          }
        }
        f.drained = true;
      }
      f.dir.reset();
      f.fd.reset();
      --held_;
      return CZoError::Success();
    }
    return CZoError::Success();
  }

  // Gives frame i a descriptor again, opening its names from the nearest folder above that
  // has one. The folders on the way keep theirs too (within the bound): the walk comes back
  // through them next. A folder that is gone or is another folder now marks frame i lost.
  CZoError Reopen(size_t i) {
    size_t a = i;
    while (!stack_[a].HasDescriptor()) --a;  // the top folder always has one
    for (size_t j = a + 1; j <= i; ++j) {
      UniqueFd next(OpenSubFolder(stack_[j - 1].Fd(), stack_[j].name));
      if (!next.valid()) {
        int e = errno;
        if (!Vanished(e)) return Error(FX_LOC, e, "Cannot open folder", FolderOf(j));
        stack_[i].lost = true;
        return CZoError::Success();
      }
      struct stat st {};
      if (::fstat(next.get(), &st) != 0) return Error(FX_LOC, errno, "Cannot read folder", FolderOf(j));
      if (st.st_dev != stack_[j].dev || st.st_ino != stack_[j].ino) {
        stack_[i].lost = true;
        return CZoError::Success();
      }
      CZoError err = MakeRoom(j);
      if (err.IsError()) return err;
      stack_[j].fd = std::move(next);
      ++held_;
    }
    return CZoError::Success();
  }

  std::vector<Frame> stack_;
  std::string folder_;  // path text of the deepest folder; each frame remembers where to cut
  size_t held_ = 0;     // frames holding a descriptor
  int level_;
  bool filesOnly_;
  WalkerFunc cb_;
  void* context_;
};

}  // namespace

int EntryIsFolder(int dirfd, const struct dirent* de) {
  if (de->d_type == DT_DIR) return 1;
  if (de->d_type != DT_UNKNOWN) return 0;
  struct stat st {};
  if (::fstatat(dirfd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  return S_ISDIR(st.st_mode) ? 1 : 0;
}

CZoError WalkFolderTree(UniqueFd top, const std::string& path, int level, bool filesOnly, WalkerFunc cb,
                        void* context) {
  return Walk(path, level, filesOnly, cb, context).Run(std::move(top));
}

}  // namespace kxmp::dataserver
