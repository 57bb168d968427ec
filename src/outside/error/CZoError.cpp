#include "outside/error/CZoError.h"

#include <cstdarg>

#include "outside/error/FXErrorUtil.h"
#include "outside/util/FXString.h"

CZoError::CZoError(int32_t code, const FXCodeLocation& where, std::string message) : code_(code) {
  AddFrame(where, std::move(message));
}

const std::vector<CZoError::Frame>& CZoError::Frames() const {
  static const std::vector<Frame> kNone;
  return details_ ? *details_ : kNone;
}

std::string CZoError::Message() const {
  const auto& frames = Frames();
  for (const auto& f : frames) {
    if (!f.message.empty()) return f.message;
  }
  return std::string();
}

std::string CZoError::AsString() const {
  if (code_ == 0 && !details_) return "Success";
  std::string out;
  switch (FXErrorUtil::KindOf(code_)) {
    case FXErrorUtil::Kind::Win32:
      out = FXString::Format("[error %d (0x%X)] ", FXErrorUtil::NumberOf(code_), FXErrorUtil::NumberOf(code_));
      break;
    case FXErrorUtil::Kind::ErrNo:
      out = FXString::Format("[errno %d] ", FXErrorUtil::NumberOf(code_));
      break;
    default:
      out = FXString::Format("[code %d] ", code_);
      break;
  }
  bool first = true;
  for (const auto& f : Frames()) {
    if (!first) out += " <- ";
    first = false;
    if (!f.message.empty()) {
      out += f.message;
      // Messages of the system often end in a line break; keep the line whole.
      while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
      out += ' ';
    }
    out += FXString::Format("(%s:%d %s)", f.file.c_str(), f.line, f.function.c_str());
  }
  return out;
}

void CZoError::AddFrame(const FXCodeLocation& where, std::string message) {
  auto frames = details_ ? std::make_shared<std::vector<Frame>>(*details_)
                         : std::make_shared<std::vector<Frame>>();
  frames->push_back(Frame{where.file ? where.file : "", where.function ? where.function : "",
                          where.line, std::move(message)});
  details_ = std::move(frames);
}

CZoError& CZoError::Push(const FXCodeLocation& where) {
  AddFrame(where, std::string());
  return *this;
}

CZoError& CZoError::Push(const FXCodeLocation& where, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string msg = FXString::FormatV(fmt, ap);
  va_end(ap);
  AddFrame(where, std::move(msg));
  return *this;
}
