#include "platform/posix/ProcessTable.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string processFolder(long processId) {
    return "/proc/" + std::to_string(processId);
}

std::string baseName(const std::string &path) {
    const std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string readFirstLine(const std::string &path, char end) {
    std::ifstream file(path, std::ios::binary);
    std::string line;
    std::getline(file, line, end);
    return line;
}

} // namespace

namespace ProcessTable {

std::string executableName(long processId) {
    const std::string folder = processFolder(processId);
    char target[4096];
    const ssize_t length = readlink((folder + "/exe").c_str(), target, sizeof(target) - 1);
    if (length > 0) {
        std::string path(target, size_t(length));
        // A file deleted or replaced while its program runs is listed with this suffix.
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() &&
            path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            path.resize(path.size() - deleted.size());
        return baseName(path);
    }
    // Other users' processes hide their executable link; their arguments and command name stay readable.
    const std::string firstArgument = readFirstLine(folder + "/cmdline", '\0');
    if (!firstArgument.empty())
        return baseName(firstArgument);
    return readFirstLine(folder + "/comm", '\n');
}

long findByName(const std::string &name) {
    DIR *proc = opendir("/proc");
    if (!proc)
        return 0;
    long found = 0;
    while (dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long processId = std::strtol(entry->d_name, &end, 10);
        if (processId <= 0 || *end != '\0')
            continue;
        // An ended process still listed (a zombie) is not a running program.
        if (executableName(processId).find(name) != std::string::npos && isRunning(processId)) {
            found = processId;
            break;
        }
    }
    closedir(proc);
    return found;
}

bool isRunning(long processId) {
    if (processId <= 0)
        return false;
    // The state is the field behind the command name, which is in parentheses and may hold anything.
    const std::string stat = readFirstLine(processFolder(processId) + "/stat", '\n');
    const std::string::size_type close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return false;
    const char state = stat[close + 2];
    return state != 'Z' && state != 'X' && state != 'x';
}

} // namespace ProcessTable
