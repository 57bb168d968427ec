#pragma once
// The host's logger. A log call first asks for the current level, then writes one line with
// the message level, the caller's full signature, the source line, two zero arguments and a
// printf-style message. Use the KXLOG_* macros of Log.h rather than calling this directly.

#include <cstdarg>
#include <memory>
#include <string>

#include "kxmp/kxmp_export.h"

class KXMP_EXPORT CLogWriterInterface {
 public:
  virtual ~CLogWriterInterface();

  virtual int GetLevel() const = 0;

  void Write(int level, const char* function, int line, int arg1, int arg2, const char* fmt, ...)
      __attribute__((format(printf, 7, 8)));
  void WriteV(int level, const char* function, int line, int arg1, int arg2, const char* fmt, va_list ap)
      __attribute__((format(printf, 7, 0)));

 protected:
  // One formatted line; implementations must be safe to call from many threads at once.
  virtual void WriteLine(int level, const char* function, int line, int arg1, int arg2,
                         const std::string& message) = 0;
};

// The host owns the logger; an empty pointer means no logging. Read and replace it only
// through GetLogWriter/SetLogWriter (atomic), never by touching the variable directly.
KXMP_EXPORT extern std::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

KXMP_EXPORT std::shared_ptr<CLogWriterInterface> GetLogWriter();
KXMP_EXPORT void SetLogWriter(std::shared_ptr<CLogWriterInterface> writer);
