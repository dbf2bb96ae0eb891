// Tests of the Windows layer against the real Win32 services (run under Wine on Linux machines).

#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest.h>

#include "platform/win/WinPlatform.h"

#include <windows.h>

#include <array>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace WinPlatform;

namespace {

// A fresh folder below the temporary folder, removed with all it holds at the end of the test.
struct TempFolder : fs::path {
    TempFolder() : path(fs::temp_directory_path() / ("quillon-" + std::to_string(GetCurrentProcessId()))) {
        fs::create_directories(*this);
    }
    ~TempFolder() {
        std::error_code ignored; // what cannot go yet stays behind rather than failing the test
        fs::remove_all(*this, ignored);
    }
};

// A copy of the sleeper beside this test, started under the given file name for a minute.
struct Sleeper {
    PROCESS_INFORMATION info = {};
    explicit Sleeper(const fs::path &file) {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        fs::copy_file(fs::path(self).parent_path() / "sleeper.exe", file);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        std::wstring line = L"\"" + file.wstring() + L"\" 60000";
        REQUIRE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, 0, 0, nullptr, nullptr, &startup, &info));
    }
    ~Sleeper() {
        end();
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    unsigned long id() const { return info.dwProcessId; }
    void end() const {
        TerminateProcess(info.hProcess, 0);
        WaitForSingleObject(info.hProcess, 5000);
    }
};

// Each row: major, minor, service pack, and whether the system is at least that version.
void checkVersions(std::initializer_list<std::array<int, 4>> rows) {
    for (const auto &row : rows) {
        INFO(row[0], '.', row[1], " service pack ", row[2]);
        CHECK(isWindowsVersionOrGreater(row[0], row[1], row[2]) == bool(row[3]));
    }
}

} // namespace

TEST_CASE("running programs are found by a case-sensitive part of their file name, the first of two") {
    TempFolder folder;
    Sleeper first(folder / "FirstProbeTwin.exe"), second(folder / "SecondProbeTwin.exe");
    CHECK(findProcessByName(L"ProbeTwin.exe") == first.id());
    CHECK(findProcessByName(L"SecondProbeTwin.exe") == second.id());
    CHECK(findProcessByName(L"probetwin.exe") == 0);
    CHECK(findProcessByName(L"NoSuchProbe.exe") == 0);
    CHECK(isProcessRunning(first.id()));
    first.end(); // no longer running, though this test still holds a handle to it
    CHECK_FALSE(isProcessRunning(first.id()));
    CHECK(findProcessByName(L"ProbeTwin.exe") == second.id());
}

TEST_CASE("the start-up value holds the program path with backslashes and is removed alone") {
    std::wstring stored;
    REQUIRE(setRunValue(L"QuillonTestNeighbour", L"C:\\Other.exe"));
    CHECK(setRunValue(L"Quillon", L"C:/Program Files/Quillon.exe"));
    CHECK((readRunValue(L"Quillon", &stored) && stored == L"C:\\Program Files\\Quillon.exe"));
    CHECK(setRunValue(L"Quillon", L"D:/Tools/Quillon.exe")); // written again: the later path
    CHECK((readRunValue(L"Quillon", &stored) && stored == L"D:\\Tools\\Quillon.exe"));
    CHECK(removeRunValue(L"Quillon"));
    CHECK_FALSE(readRunValue(L"Quillon", &stored));
    CHECK(removeRunValue(L"Quillon"));
    CHECK((readRunValue(L"QuillonTestNeighbour", &stored) && stored == L"C:\\Other.exe"));
    removeRunValue(L"QuillonTestNeighbour");
}

TEST_CASE("the clean-up script deletes the old program until it is gone, then itself") {
    // Given with forward slashes, as the toolkit spells paths.
    CHECK(
        cleanupScriptText(L"C:/Program Files (x86)/Old.exe") ==
        "@echo off\n:loop\ndel /F /Q \"C:\\Program Files (x86)\\Old.exe\"\n"
        "if exist \"C:\\Program Files (x86)\\Old.exe\" (\n    goto loop\n) else (\n   del /F /Q \"%~f0\"\n)");
}

TEST_CASE("a file is renamed only where none is, and replaced in one rename") {
    TempFolder folder;
    std::ofstream(folder / "tool.exe") << "stale";
    std::ofstream(folder / "tool.exe.part") << "fresh";
    CHECK_FALSE(renameFile((folder / "tool.exe.part").generic_wstring(), folder / "tool.exe"));
    CHECK(replaceFile((folder / "tool.exe.part").generic_wstring(), folder / "tool.exe"));
    std::string text;
    CHECK((std::ifstream(folder / "tool.exe") >> text && text == "fresh" &&
           !fs::exists(folder / "tool.exe.part")));
    CHECK(renameFile(folder / "tool.exe", folder / "Old.exe"));
    CHECK((fs::exists(folder / "Old.exe") && !fs::exists(folder / "tool.exe")));
}

TEST_CASE("the version test answers the rows of Windows 7" * doctest::test_suite("win7")) {
    checkVersions({{5, 1, 0, 1}, {6, 1, 0, 1}, {6, 1, 1, 1}, {6, 1, 2, 0}, {6, 2, 0, 0}, {10, 0, 0, 0}});
}

TEST_CASE("the version test answers the rows of Windows 10" * doctest::test_suite("win10")) {
    checkVersions({{6, 1, 0, 1}, {6, 3, 0, 1}, {10, 0, 0, 1}, {10, 1, 0, 0}, {10, 0, 1, 0}});
}

TEST_CASE("without declared systems Windows 10 reports Windows 8" *
          doctest::test_suite("win10-nosupportedos")) {
    checkVersions({{6, 2, 0, 1}, {6, 3, 0, 0}, {10, 0, 0, 0}});
}

TEST_CASE("a program folder's lock is held until its holder ends, however it ends") {
    TempFolder folder;
    const std::wstring lock = folder.generic_wstring() + L"/Quillon.lock";
    bool held = true;
    void *mine = lockFile(lock, &held);
    CHECK((mine && !held && fs::exists(folder / "Quillon.lock")));
    CHECK((lockFile(lock, &held) == nullptr && held));
    closeHandle(mine);
    CHECK_FALSE(fs::exists(folder / "Quillon.lock")); // deleted when let go

    // Handed to another process; killed, it leaves nothing that blocks the next start.
    Sleeper holder(folder / "holder.exe");
    HANDLE theirs = nullptr;
    REQUIRE(DuplicateHandle(GetCurrentProcess(), lockFile(lock, &held), holder.info.hProcess, &theirs, 0, 0,
                            DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    CHECK((lockFile(lock, &held) == nullptr && held));
    holder.end();
    mine = lockFile(lock, &held);
    CHECK((mine && !held));
    closeHandle(mine);
}

TEST_CASE("a later start sets the call event of its own folder's program only, once") {
    const std::wstring name = L"Local\\Quillon-test-" + std::to_wstring(GetCurrentProcessId());
    CHECK_FALSE(setCallEvent(name)); // nobody listens yet
    void *event = createCallEvent(name), *other = createCallEvent(name + L"-other");
    REQUIRE((event && other));
    CHECK(WaitForSingleObject(event, 0) == WAIT_TIMEOUT);
    CHECK(setCallEvent(name));
    CHECK(WaitForSingleObject(event, 0) == WAIT_OBJECT_0);
    CHECK(WaitForSingleObject(event, 0) == WAIT_TIMEOUT); // taken by the wait: one call, one wake-up
    CHECK(WaitForSingleObject(other, 0) == WAIT_TIMEOUT);
    closeHandle(event);
    closeHandle(other);
    CHECK_FALSE(setCallEvent(name)); // gone with its holder
}
