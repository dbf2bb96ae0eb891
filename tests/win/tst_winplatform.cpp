// Tests of the Windows layer against the real Win32 services (run under Wine on Linux machines).

#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest.h>

#include "platform/win/WinPlatform.h"

#include <filesystem>
#include <fstream>
#include <process.h>
#include <windows.h>

namespace fs = std::filesystem;
using namespace WinPlatform;

namespace {

// Starts the sleeper beside this test, which runs for a minute unless ended.
HANDLE startSleeper() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring sleeper = fs::path(self).replace_filename("sleeper.exe").wstring();
    return HANDLE(_wspawnl(_P_NOWAIT, sleeper.c_str(), (L"\"" + sleeper + L"\"").c_str(), L"60000", nullptr));
}

bool end(HANDLE process) {
    TerminateProcess(process, 0);
    return WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
}

const auto atLeast = isWindowsVersionOrGreater;

} // namespace

TEST_CASE("running programs are found by a case-sensitive part of their file name, the first of two") {
    HANDLE first = startSleeper(), second = startSleeper();
    CHECK(findProcessByName(L"leeper.exe") == GetProcessId(first));
    CHECK((findProcessByName(L"Sleeper.exe") == 0 && findProcessByName(L"NoSuchProbe.exe") == 0));
    REQUIRE(end(first)); // no longer running, though this test still holds a handle to it
    CHECK((!isProcessRunning(GetProcessId(first)) && isProcessRunning(GetProcessId(second))));
    CHECK(findProcessByName(L"leeper.exe") == GetProcessId(second));
    end(second);
    CloseHandle(first);
    CloseHandle(second);
}

TEST_CASE("the start-up value holds the program path with backslashes") {
    std::wstring stored;
    CHECK(setRunValue(L"Quillon", L"C:/Program Files/Quillon.exe"));
    CHECK((readRunValue(L"Quillon", &stored) && stored == L"C:\\Program Files\\Quillon.exe"));
    CHECK((removeRunValue(L"Quillon") && !readRunValue(L"Quillon", &stored) && removeRunValue(L"Quillon")));
}

TEST_CASE("a file is renamed only where none is, replaced in one rename, and locked per program folder") {
    const fs::path folder = fs::temp_directory_path() / ("quillon-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(folder);
    std::ofstream(folder / "tool.exe") << "stale";
    std::ofstream(folder / "tool.exe.part") << "fresh";
    CHECK_FALSE(renameFile((folder / "tool.exe.part").generic_wstring(), folder / "tool.exe"));
    CHECK((replaceFile((folder / "tool.exe.part").generic_wstring(), folder / "tool.exe") &&
           !fs::exists(folder / "tool.exe.part")));
    CHECK((renameFile(folder / "tool.exe", folder / "Old.exe") && fs::exists(folder / "Old.exe")));

    // The clean-up script, given the path with forward slashes as the toolkit spells it, deletes the old
    // program once nothing holds it any more, then itself.
    std::ofstream(folder / "delete.bat") << cleanupScriptText(folder.generic_wstring() + L"/Old.exe");
    HANDLE old = CreateFileW((folder / "Old.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    const std::wstring script = L"\"" + (folder / "delete.bat").wstring() + L"\"";
    HANDLE cleanup = HANDLE(_wspawnlp(_P_NOWAIT, L"cmd.exe", L"cmd.exe", L"/c", script.c_str(), nullptr));
    CHECK((old != INVALID_HANDLE_VALUE && WaitForSingleObject(cleanup, 1000) == WAIT_TIMEOUT));
    CloseHandle(old);
    CHECK(WaitForSingleObject(cleanup, 20000) == WAIT_OBJECT_0);
    CHECK((!fs::exists(folder / "Old.exe") && !fs::exists(folder / "delete.bat")));
    CloseHandle(cleanup);

    // The lock is held without sharing; handed to another process and killed there, it leaves nothing behind.
    const std::wstring lock = folder.generic_wstring() + L"/Quillon.lock";
    bool held = true;
    void *mine = lockFile(lock, &held);
    CHECK((mine && !held && fs::exists(folder / "Quillon.lock")));
    HANDLE holder = startSleeper(), theirs = nullptr;
    REQUIRE(DuplicateHandle(GetCurrentProcess(), mine, holder, &theirs, 0, 0,
                            DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    CHECK((lockFile(lock, &held) == nullptr && held));
    CHECK((end(holder) && !fs::exists(folder / "Quillon.lock")));
    CloseHandle(holder);
    fs::remove_all(folder);
}

TEST_CASE("the version test answers the rows of Windows 7" * doctest::test_suite("win7")) {
    CHECK((atLeast(5, 1, 0) && atLeast(6, 1, 0) && atLeast(6, 1, 1))); // service pack 1
    CHECK_FALSE((atLeast(6, 1, 2) || atLeast(6, 2, 0) || atLeast(10, 0, 0)));
}

TEST_CASE("the version test answers the rows of Windows 10" * doctest::test_suite("win10")) {
    CHECK((atLeast(6, 1, 0) && atLeast(6, 3, 0) && atLeast(10, 0, 0)));
    CHECK_FALSE((atLeast(10, 1, 0) || atLeast(10, 0, 1)));
}

TEST_CASE("without declared systems Windows 10 says Windows 8" * doctest::test_suite("win10-nosupportedos")) {
    CHECK((atLeast(6, 2, 0) && !atLeast(6, 3, 0) && !atLeast(10, 0, 0)));
}

TEST_CASE("a later start sets the call event of its own folder's program only, once") {
    const std::wstring name = L"Local\\Quillon-test-" + std::to_wstring(GetCurrentProcessId());
    CHECK_FALSE(setCallEvent(name)); // nobody listens yet
    void *event = createCallEvent(name), *other = createCallEvent(name + L"-other");
    REQUIRE((event && other && WaitForSingleObject(event, 0) == WAIT_TIMEOUT));
    CHECK((setCallEvent(name) && WaitForSingleObject(event, 0) == WAIT_OBJECT_0));
    CHECK(WaitForSingleObject(event, 0) == WAIT_TIMEOUT); // taken by the wait: one call, one wake-up
    CHECK(WaitForSingleObject(other, 0) == WAIT_TIMEOUT);
    closeHandle(event);
    closeHandle(other);
    CHECK_FALSE(setCallEvent(name)); // gone with its holder
}
