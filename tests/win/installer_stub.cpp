// A stand-in driver installer: it leaves "installer-ran", holding its own path, in its working folder.

#include <windows.h>

#include <fstream>

int main() {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::ofstream("installer-ran") << self << "\n";
    return 0;
}
