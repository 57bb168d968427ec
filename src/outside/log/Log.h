#pragma once
// One macro per level, each asking the logger for its level first:
//   KXLOG_ERROR  (-1) always written
//   KXLOG_NORMAL (0)  written when the level is 0 or more
//   KXLOG_DETAIL (2)  written when the level is above 1
//   KXLOG_TRACE  (7)  written when the level is above 6
// The format is checked by the compiler (printf attribute).

#include "outside/log/CLogWriterInterface.h"

namespace kxmp::log {
constexpr int kError = -1;
constexpr int kNormal = 0;
constexpr int kDetail = 2;
constexpr int kTrace = 7;

inline bool Enabled(int messageLevel, int currentLevel) {
  return messageLevel < 0 || currentLevel >= messageLevel;
}
}  // namespace kxmp::log

#define KXLOG_AT(lvl, fmt, ...)                                                         \
  do {                                                                                  \
    if (auto kxLogWriter_ = ::GetLogWriter()) {                                         \
      if (::kxmp::log::Enabled((lvl), kxLogWriter_->GetLevel()))                        \
        kxLogWriter_->Write((lvl), __PRETTY_FUNCTION__, __LINE__, 0, 0, fmt, ##__VA_ARGS__); \
    }                                                                                   \
  } while (0)

#define KXLOG_ERROR(fmt, ...) KXLOG_AT(::kxmp::log::kError, fmt, ##__VA_ARGS__)
#define KXLOG_NORMAL(fmt, ...) KXLOG_AT(::kxmp::log::kNormal, fmt, ##__VA_ARGS__)
#define KXLOG_DETAIL(fmt, ...) KXLOG_AT(::kxmp::log::kDetail, fmt, ##__VA_ARGS__)
#define KXLOG_TRACE(fmt, ...) KXLOG_AT(::kxmp::log::kTrace, fmt, ##__VA_ARGS__)
