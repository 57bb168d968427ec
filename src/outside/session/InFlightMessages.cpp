#include "outside/session/InFlightMessages.h"

namespace kxmp::session {

InFlightMessages& InFlightMessages::Instance() {
  static InFlightMessages instance;
  return instance;
}

uint64_t InFlightMessages::Track(CNMessageBase* message) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t ticket = nextTicket_++;
  tickets_[message] = ticket;
  return ticket;
}

bool InFlightMessages::Untrack(CNMessageBase* message) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  return tickets_.erase(message) > 0;
}

bool InFlightMessages::Reclaim(CNMessageBase* message, uint64_t ticket) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = tickets_.find(message);
  if (it == tickets_.end() || it->second != ticket) return false;
  tickets_.erase(it);
  return true;
}

size_t InFlightMessages::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tickets_.size();
}

}  // namespace kxmp::session
