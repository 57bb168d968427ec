#include "outside/log/CLogWriterInterface.h"

#include "outside/util/FXString.h"

std::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

CLogWriterInterface::~CLogWriterInterface() = default;

void CLogWriterInterface::Write(int level, const char* function, int line, int arg1, int arg2,
                                const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  WriteV(level, function, line, arg1, arg2, fmt, ap);
  va_end(ap);
}

void CLogWriterInterface::WriteV(int level, const char* function, int line, int arg1, int arg2,
                                 const char* fmt, va_list ap) {
  WriteLine(level, function ? function : "", line, arg1, arg2, FXString::FormatV(fmt, ap));
}

std::shared_ptr<CLogWriterInterface> GetLogWriter() { return std::atomic_load(&g_ptrLogWriter); }

void SetLogWriter(std::shared_ptr<CLogWriterInterface> writer) {
  std::atomic_store(&g_ptrLogWriter, std::move(writer));
}
