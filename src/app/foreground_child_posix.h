#pragma once
// Running another program in this terminal and waiting for it, as system()
// does: while it runs, Ctrl+C and Ctrl+\ belong to it, not to the caller.

#include <string>
#include <vector>

namespace vr {

// Runs path with args (args[0] is the name it sees). Its exit status, 128
// when it ended on a signal, or -1 when it could not be started (the
// error number in *spawnError).
int RunInForeground(const std::string& path, std::vector<std::string> args, int* spawnError);

}  // namespace vr
