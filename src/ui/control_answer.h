#pragma once
// The control channel's framing, the same on the Unix socket and on the
// Windows named pipe: one request line ("COMMAND [ARGUMENT]") per
// connection, answered with lines, the first "ok" or "error TEXT".

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vr {

// Longest request line the server reads, newline excluded.
inline constexpr std::size_t kMaxControlRequestBytes = 1024;

// How long one connection has for its request and the answer (the Windows
// pipe also for the client's close): one slow or silent client must not
// keep the others out.
inline constexpr std::chrono::milliseconds kControlConnectionDeadline{5000};

// Splits an answer: true when its first line is "ok"; lines gets the lines
// after it, message the text after "error " when it is not.
bool ParseAnswer(std::string_view answer, std::vector<std::string>& lines, std::string& message);

}  // namespace vr
