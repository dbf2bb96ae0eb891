// A stand-in program for the Windows tests. Given milliseconds, a running program that stays alive that
// long; given nothing, a driver installer that leaves "installer-ran", holding its own path, in its working
// folder.

#include <windows.h>

#include <cstdlib>
#include <fstream>

int main(int argc, char **argv) {
    if (argc > 1) {
        Sleep(DWORD(std::atoi(argv[1])));
        return 0;
    }
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::ofstream("installer-ran") << self << "\n";
}
