/* The floor for backing up small files: the least a program must do to store each file
 * durably under its own name in one folder. Per file: open and read the source, write
 * "<name>.tmp" in the target folder, fsync, close, rename to "<name>", fsync the folder.
 *
 * Usage: durable_loop TARGET_FOLDER FILE...
 * Exit status 0 when every file was stored, 1 otherwise (the error is printed). */

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { kPiece = 1 << 20 };

static const char* BaseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

static int Fail(const char* what, const char* name) {
  fprintf(stderr, "durable_loop: %s %s: %s\n", what, name, strerror(errno));
  return 1;
}

/* Copies one file; 0 on success. */
static int StoreOne(int folder, const char* source, char* buffer) {
  const char* name = BaseName(source);
  char tmp[4096];
  if (snprintf(tmp, sizeof tmp, "%s.tmp", name) >= (int)sizeof tmp) {
    errno = ENAMETOOLONG;
    return Fail("name", name);
  }
  int in = open(source, O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail("open", source);
  int out = openat(folder, tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (out < 0) {
    close(in);
    return Fail("create", tmp);
  }
  for (;;) {
    ssize_t n = read(in, buffer, kPiece);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail("read", source);
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out, buffer + done, (size_t)(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return Fail("write", tmp);
      done += w;
    }
  }
  close(in);
  if (fsync(out) != 0) return Fail("fsync", tmp);
  if (close(out) != 0) return Fail("close", tmp);
  if (renameat(folder, tmp, folder, name) != 0) return Fail("rename", tmp);
  if (fsync(folder) != 0) return Fail("fsync folder of", name);
  return 0;
}

/* durable_loop_with_libraries.cpp runs the same loop after its own start. */
#ifdef DURABLE_LOOP_NO_MAIN
int DurableLoopMain(int argc, char** argv);
int DurableLoopMain(int argc, char** argv) {
#else
int main(int argc, char** argv) {
#endif
  if (argc < 3) {
    fprintf(stderr, "usage: durable_loop TARGET_FOLDER FILE...\n");
    return 2;
  }
  int folder = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return Fail("open folder", argv[1]);
  char* buffer = malloc(kPiece);
  if (buffer == NULL) return Fail("allocate", "buffer");
  int failed = 0;
  for (int i = 2; i < argc; ++i) failed |= StoreOne(folder, argv[i], buffer);
  free(buffer);
  close(folder);
  return failed;
}
