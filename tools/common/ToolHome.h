#pragma once
// The home as kxmp and kxmp-host meet it before any work: one that `kxmp setup` made (it
// holds its registry/ folder), and, for a process run as root, the user the home belongs to.

#include <string>

namespace kxmp::tools {

enum class HomeProblem {
  kNone,
  kNotAHome,    // missing, not a folder, or without registry/
  kUnreadable,  // it cannot be examined (permissions)
};

// What is wrong with the home, with the reason in why.
HomeProblem ExamineHome(const std::string& home, std::string& why);

// Root working on a home that another user owns acts as that user, with the user's groups
// and home folder, so that every file it makes there stays usable by the host running as that
// user. Nothing changes for any other user, or for a home root owns or that does not exist
// yet. switchedTo names the user taken on (empty when none); false with why when the switch
// failed. Call it before any thread starts.
bool ActAsHomeOwner(const std::string& home, std::string& switchedTo, std::string& why);

}  // namespace kxmp::tools
