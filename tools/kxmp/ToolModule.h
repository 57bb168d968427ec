/* The tool module (libkxmp-tool.so): what the front end (FrontEnd.c) asks of the kxmp tool.
 * C, so the front end needs neither the C++ runtime nor the library. */
#ifndef KXMP_TOOL_MODULE_H
#define KXMP_TOOL_MODULE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Changes whenever the table changes; the front end also wants the tool of its own release. */
#define KXMP_TOOL_MODULE_ABI 1u

struct kxmp_tool_module {
  unsigned abi;
  const char* version;
  /* The tool's main: parses the command line, runs the subcommand, returns the exit status. */
  int (*main)(int argc, char** argv);
};

const struct kxmp_tool_module* kxmp_tool_module(void);

#ifdef __cplusplus
}
#endif

#endif
