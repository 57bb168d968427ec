#include "logbackup/DataWriterReaderPattern.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <new>

#include "logbackup/DataWriterReaderPatternSyntax.h"
#include "outside/log/Log.h"

namespace kxmp::logbackup {

namespace {

// A runaway match ends with an error long before it costs a noticeable time per name.
constexpr uint32_t kMatchLimit = 1000000;
constexpr uint32_t kDepthLimit = 10000;
constexpr uint32_t kHeapLimitKiB = 64 * 1024;
constexpr size_t kJitStackStart = 32 * 1024;
constexpr size_t kJitStackMax = 1024 * 1024;

constexpr uint32_t kCompileOptions = PCRE2_UTF | PCRE2_DOLLAR_ENDONLY | PCRE2_MATCH_UNSET_BACKREF |
#ifdef PCRE2_MATCH_INVALID_UTF
                                     PCRE2_MATCH_INVALID_UTF |  // names that are not UTF-8 match where they are
#endif
                                     PCRE2_NEVER_BACKSLASH_C;

struct CodeFree {
  void operator()(pcre2_code* p) const { pcre2_code_free(p); }
};
struct MatchDataFree {
  void operator()(pcre2_match_data* p) const { pcre2_match_data_free(p); }
};
struct MatchContextFree {
  void operator()(pcre2_match_context* p) const { pcre2_match_context_free(p); }
};
struct JitStackFree {
  void operator()(pcre2_jit_stack* p) const { pcre2_jit_stack_free(p); }
};

std::string ErrorText(int code) {
  PCRE2_UCHAR buffer[256];
  if (pcre2_get_error_message(code, buffer, sizeof buffer) < 0) return "error " + std::to_string(code);
  return reinterpret_cast<const char*>(buffer);
}

}  // namespace

struct SearchPattern::Engine {
  std::unique_ptr<pcre2_code, CodeFree> code;
  std::unique_ptr<pcre2_match_data, MatchDataFree> data;
  std::unique_ptr<pcre2_match_context, MatchContextFree> context;
  std::unique_ptr<pcre2_jit_stack, JitStackFree> jitStack;

  // Empty on success, else why the pattern cannot be used.
  std::string Compile(const std::string& translated) {
    int code_ = 0;
    PCRE2_SIZE offset = 0;
    code.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(translated.data()), translated.size(), kCompileOptions,
                             &code_, &offset, nullptr));
    if (!code) return ErrorText(code_);
    data.reset(pcre2_match_data_create_from_pattern(code.get(), nullptr));
    context.reset(pcre2_match_context_create(nullptr));
    if (!data || !context) throw std::bad_alloc();
    pcre2_set_match_limit(context.get(), kMatchLimit);
    pcre2_set_depth_limit(context.get(), kDepthLimit);
    pcre2_set_heap_limit(context.get(), kHeapLimitKiB);
    // Without JIT (not built in, or refused by the system) the interpreter runs the pattern.
    if (pcre2_jit_compile(code.get(), PCRE2_JIT_COMPLETE) == 0) {
      jitStack.reset(pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr));
      if (jitStack) pcre2_jit_stack_assign(context.get(), nullptr, jitStack.get());
    }
    return std::string();
  }
};

bool SearchPattern::Check(const std::string& pattern, std::string& why) {
  why.clear();
  if (pattern.find_first_of("\\^$.|?*+()[]{}") == std::string::npos) return true;
  std::string translated;
  if (TranslateEcmaScriptPattern(pattern, translated, why)) why = Engine().Compile(translated);
  return why.empty();
}

SearchPattern::SearchPattern(const std::string& pattern) : pattern_(pattern) {
  if (pattern_.find_first_of("\\^$.|?*+()[]{}") == std::string::npos) {
    kind_ = Kind::Literal;
    return;
  }
  std::string translated, reason;
  if (TranslateEcmaScriptPattern(pattern_, translated, reason)) {
    auto engine = std::make_unique<Engine>();
    reason = engine->Compile(translated);
    if (reason.empty()) {
      engine_ = std::move(engine);
      kind_ = Kind::Regex;
      return;
    }
  }
  kind_ = Kind::Invalid;
  KXLOG_ERROR("Search pattern [%s] is not a valid regular expression (%s); only file names equal to it match",
              pattern_.c_str(), reason.c_str());
}

SearchPattern::~SearchPattern() = default;

bool SearchPattern::Search(const std::string& name) {
  switch (kind_) {
    case Kind::Literal:
      return name.find(pattern_) != std::string::npos;
    case Kind::Invalid:
      return false;
    case Kind::Regex:
      break;
  }
  const int rc = pcre2_match(engine_->code.get(), reinterpret_cast<PCRE2_SPTR>(name.data()), name.size(), 0, 0,
                             engine_->data.get(), engine_->context.get());
  if (rc >= 0) return true;
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  if (!runawayLogged_) {
    runawayLogged_ = true;
    KXLOG_ERROR("Search pattern [%s] gave up on file name [%s] (%s); such names count as no match",
                pattern_.c_str(), name.c_str(), ErrorText(rc).c_str());
  }
  return false;
}

}  // namespace kxmp::logbackup
