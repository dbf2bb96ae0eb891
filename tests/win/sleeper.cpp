// A stand-in for a running program: it stays alive for the milliseconds given as its argument (default one
// minute).

#include <windows.h>

#include <cstdlib>

int main(int argc, char **argv) {
    Sleep(argc > 1 ? DWORD(std::atoi(argv[1])) : 60000);
    return 0;
}
