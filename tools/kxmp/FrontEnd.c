#define _GNU_SOURCE /* memmem */
/* kxmp's front end: answers exactly `kxmp --help`, `kxmp -h` and `kxmp --version` by itself,
 * with the text the tool printed for them when it was built, and hands every other command
 * line to the tool, a module (lib/kxmp/libkxmp-tool.so) loaded only then. A call that only
 * asks for help or the version maps neither the C++ runtime nor the library.
 *
 * Built a second time with KXMP_FRONT_END_DRIVER as kxmp-run-tool: `kxmp-run-tool ARGV0
 * ARGS...` runs the tool with the argument vector ARGV0 ARGS..., which is how the build asks
 * the tool for its texts (ARGV0 a marker the front end replaces with its own argv[0], which the
 * usage line shows) and how the tests compare the two. */
#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "ToolModule.h"

#ifndef KXMP_FRONT_END_DRIVER
#include "kxmp_front_end_text.h" /* kKxmpHelp, kKxmpVersion, kKxmpArgv0Marker */

/* Writes the text with every marker replaced by argv0. Like the tool, the exit status does not
 * depend on whether standard output took the text. */
static int Answer(const unsigned char* text, size_t size, const char* argv0) {
  const size_t markerSize = sizeof kKxmpArgv0Marker - 1;
  const unsigned char* end = text + size;
  while (text < end) {
    const unsigned char* marker = memmem(text, (size_t)(end - text), kKxmpArgv0Marker, markerSize);
    const unsigned char* stop = marker != NULL ? marker : end;
    fwrite(text, 1, (size_t)(stop - text), stdout);
    if (marker == NULL) break;
    fputs(argv0, stdout);
    text = marker + markerSize;
  }
  return 0;
}
#endif

/* The tool module: installed, lib/kxmp/ beside bin/; else the build tree's <build>/kxmp/. */
static void ToolPath(char* out, size_t size) {
  char folder[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", folder, sizeof folder - 1);
  if (n <= 0) n = 0;
  folder[n] = '\0';
  char* slash = strrchr(folder, '/');
  if (slash != NULL) *slash = '\0';
  else strcpy(folder, ".");
  snprintf(out, size, "%s/%s", folder, KXMP_TOOL_INSTALLED_PATH);
  if (access(out, F_OK) == 0) return;
  snprintf(out, size, "%s/%s", folder, KXMP_TOOL_BUILT_PATH);
}

/* The status of a tool that cannot run: 1, except for `kxmp get`, where 1 means "not stored"
 * to the database that called it, so that any other failure is above 125 (128, as the tool). */
static int CannotRun(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--home") == 0) {
      ++i;
    } else if (argv[i][0] != '-') {
      return strcmp(argv[i], "get") == 0 ? 128 : 1;
    }
  }
  return 1;
}

static int RunTool(int argc, char** argv) {
  char path[PATH_MAX + 64];
  ToolPath(path, sizeof path);
  /* Lazy binding, as for a program linked with the tool: functions are looked up when first
   * called, so the loader does not resolve the thousand the run never calls. */
  void* handle = dlopen(path, RTLD_LAZY | RTLD_LOCAL);
  if (handle == NULL) {
    const char* why = dlerror();
    fprintf(stderr, "kxmp: cannot load the tool [%s]: %s\n", path, why != NULL ? why : "unknown reason");
    return CannotRun(argc, argv);
  }
  /* Never closed: the tool's objects live until the process exits. */
  const struct kxmp_tool_module* (*entry)(void) = (const struct kxmp_tool_module* (*)(void))dlsym(handle, "kxmp_tool_module");
  const struct kxmp_tool_module* tool = entry != NULL ? entry() : NULL;
  if (tool == NULL || tool->abi != KXMP_TOOL_MODULE_ABI || tool->version == NULL ||
      strcmp(tool->version, KXMP_VERSION_TEXT) != 0 || tool->main == NULL) {
    fprintf(stderr, "kxmp: the tool [%s] does not fit this front end (wanted ABI %u, release %s)\n", path,
            KXMP_TOOL_MODULE_ABI, KXMP_VERSION_TEXT);
    return CannotRun(argc, argv);
  }
  return tool->main(argc, argv);
}

int main(int argc, char** argv) {
#ifdef KXMP_FRONT_END_DRIVER
  if (argc < 2) {
    fprintf(stderr, "usage: kxmp-run-tool ARGV0 [ARG...]\n");
    return 2;
  }
  return RunTool(argc - 1, argv + 1);
#else
  if (argc == 2) {
    const char* argv0 = argv[0] != NULL ? argv[0] : "kxmp";
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) return Answer(kKxmpHelp, sizeof kKxmpHelp, argv0);
    if (strcmp(argv[1], "--version") == 0) return Answer(kKxmpVersion, sizeof kKxmpVersion, argv0);
  }
  return RunTool(argc, argv);
#endif
}
