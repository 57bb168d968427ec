#pragma once
// The messages that a session server has handed to a service and not yet taken back. The
// service frees a received message with the static CKxNetworkServer::CleanXmlBuffer, which
// knows no server, so the record is process-wide (guarded). Each entry carries a ticket: a
// server takes back only the entry it made, even when its message was freed and another
// message later got the same address.

#include <cstdint>
#include <mutex>
#include <unordered_map>

class CNMessageBase;

namespace kxmp::session {

class InFlightMessages {
 public:
  static InFlightMessages& Instance();

  // Records the message as in flight; the ticket identifies this hand-over. Throws
  // std::bad_alloc when the record cannot grow (the caller still owns the message).
  uint64_t Track(CNMessageBase* message);
  // Forgets the message whatever its ticket; true when it was recorded. Never throws.
  bool Untrack(CNMessageBase* message) noexcept;
  // Forgets the message only when it is still recorded under this ticket; true then, and the
  // caller owns the message again. Never throws.
  bool Reclaim(CNMessageBase* message, uint64_t ticket) noexcept;
  size_t Count() const;

 private:
  InFlightMessages() = default;

  mutable std::mutex mutex_;
  std::unordered_map<CNMessageBase*, uint64_t> tickets_;
  uint64_t nextTicket_ = 1;
};

}  // namespace kxmp::session
