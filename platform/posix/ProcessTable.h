#pragma once
// The running processes as Linux lists them in /proc, in plain C++.

#include <string>

namespace ProcessTable {

// Executable file name of a process: the base name of /proc/<pid>/exe, or of its first argument,
// or its short command name when the executable link cannot be read. Empty when the process is gone.
std::string executableName(long processId);

// Id of the first running process, in /proc order, whose executable name contains `name` (case-sensitive); 0
// when none.
long findByName(const std::string &name);

// True while the process exists and has not yet ended (a zombie has ended).
bool isRunning(long processId);

} // namespace ProcessTable
