#pragma once
// Text from outside (settings, names on a storage host, the event log) as it can go into a
// message or onto a terminal: control bytes and DEL written as \xHH, so that it cannot drive
// the terminal or fake a line.

#include <string>

namespace kxmp {

// keepLineBreaks leaves '\n' as it is (text printed line by line).
std::string EscapeControlBytes(const std::string& text, bool keepLineBreaks = false);

}  // namespace kxmp
