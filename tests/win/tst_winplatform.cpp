// Tests of the Windows layer against the real Win32 services (run under Wine on Linux machines).

#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest.h>

#include "platform/win/WinPlatform.h"

#include <windows.h>

#include <cstring>
#include <fstream>
#include <string>

namespace {

std::wstring folderOf(const std::wstring &path) {
    return path.substr(0, path.find_last_of(L'\\'));
}

bool exists(const std::wstring &path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring selfPath() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return self;
}

std::wstring sleeperPath() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return folderOf(self) + L"\\sleeper.exe";
}

void removeTree(const std::wstring &folder) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(folder + L"\\" + name);
            else
                DeleteFileW((folder + L"\\" + name).c_str());
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

// A fresh folder below the temporary folder, removed with everything in it at the end of the test.
struct TempFolder {
    std::wstring path;
    explicit TempFolder(const std::wstring &name) {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        path = std::wstring(temp) + L"quillon-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
        removeTree(path);
        CreateDirectoryW(path.c_str(), nullptr);
    }
    ~TempFolder() { removeTree(path); }
    std::wstring copyOfSleeper(const std::wstring &fileName) const {
        const std::wstring target = path + L"\\" + fileName;
        CopyFileW(sleeperPath().c_str(), target.c_str(), FALSE);
        return target;
    }
};

// A child process of the test, ended at the latest when the object goes away.
struct Child {
    PROCESS_INFORMATION info = {};
    bool started = false;

    explicit Child(const std::wstring &commandLine, DWORD flags = 0) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        std::wstring line = commandLine;
        started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                                 &startup, &info);
    }
    static Child program(const std::wstring &path, int milliseconds = 60000) {
        return Child(L"\"" + path + L"\" " + std::to_wstring(milliseconds));
    }
    Child(Child &&other) : info(other.info), started(other.started) { other.started = false; }
    ~Child() {
        if (!started)
            return;
        if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(info.hProcess, 1);
            WaitForSingleObject(info.hProcess, 5000);
        }
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    unsigned long id() const { return info.dwProcessId; }
    bool waitForEnd(DWORD milliseconds) const {
        return WaitForSingleObject(info.hProcess, milliseconds) == WAIT_OBJECT_0;
    }
    void end() const {
        TerminateProcess(info.hProcess, 0);
        WaitForSingleObject(info.hProcess, 5000);
    }
};

// This test program started as a second program with one of the switches of main().
Child helper(const std::wstring &switchName, const std::wstring &argument) {
    return Child(L"\"" + selfPath() + L"\" " + switchName + L" \"" + argument + L"\"");
}

DWORD exitCodeOf(const Child &child) {
    DWORD code = 99;
    if (child.waitForEnd(20000))
        GetExitCodeProcess(child.info.hProcess, &code);
    return code;
}

std::string readFile(const std::wstring &path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

} // namespace

TEST_CASE("a running program is found by a case-sensitive substring of its file name") {
    TempFolder folder(L"lookup");
    Child child = Child::program(folder.copyOfSleeper(L"MyProbeConsole.exe"));
    REQUIRE(child.started);

    CHECK(WinPlatform::findProcessByName(L"MyProbeConsole.exe") == child.id());
    CHECK(WinPlatform::findProcessByName(L"ProbeConsole.exe") == child.id());
    CHECK(WinPlatform::findProcessByName(L"probeconsole.exe") == 0);
    CHECK(WinPlatform::findProcessByName(L"NoSuchProbeProgram.exe") == 0);
}

TEST_CASE("a program counts as running until it has exited") {
    TempFolder folder(L"running");
    Child child = Child::program(folder.copyOfSleeper(L"ShortProbe.exe"), 500);
    REQUIRE(child.started);
    CHECK(WinPlatform::isProcessRunning(child.id()));

    REQUIRE(child.waitForEnd(10000));
    // The test still holds a handle, so the process can be opened but reports its exit code.
    CHECK_FALSE(WinPlatform::isProcessRunning(child.id()));
    CHECK_FALSE(WinPlatform::isProcessRunning(0));
}

TEST_CASE("only the first of two matching programs is watched") {
    TempFolder folder(L"twins");
    Child first = Child::program(folder.copyOfSleeper(L"FirstProbeTwin.exe"));
    Child second = Child::program(folder.copyOfSleeper(L"SecondProbeTwin.exe"));
    REQUIRE(first.started);
    REQUIRE(second.started);

    const unsigned long watched = WinPlatform::findProcessByName(L"ProbeTwin.exe");
    CHECK(watched == first.id());
    CHECK(WinPlatform::isProcessRunning(watched));

    first.end();
    CHECK_FALSE(WinPlatform::isProcessRunning(watched));
    CHECK(WinPlatform::isProcessRunning(second.id()));
    CHECK(WinPlatform::findProcessByName(L"ProbeTwin.exe") == second.id());
}

TEST_CASE("the start-up value holds the program path with backslashes and is removed alone") {
    const wchar_t *runKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    const std::wstring other = L"C:\\Other\\Other.exe";
    REQUIRE(RegSetKeyValueW(HKEY_CURRENT_USER, runKey, L"QuillonTestNeighbour", REG_SZ, other.c_str(),
                            DWORD((other.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS);

    CHECK(WinPlatform::setRunValue(L"Quillon", L"C:/Program Files/Brightfen/Quillon.exe"));
    std::wstring stored;
    CHECK(WinPlatform::readRunValue(L"Quillon", &stored));
    CHECK(stored == L"C:\\Program Files\\Brightfen\\Quillon.exe");

    // Written twice: still one value, holding the later path.
    CHECK(WinPlatform::setRunValue(L"Quillon", L"D:/Tools/Quillon.exe"));
    CHECK(WinPlatform::readRunValue(L"Quillon", &stored));
    CHECK(stored == L"D:\\Tools\\Quillon.exe");

    CHECK(WinPlatform::removeRunValue(L"Quillon"));
    CHECK_FALSE(WinPlatform::readRunValue(L"Quillon", &stored));
    CHECK(WinPlatform::removeRunValue(L"Quillon"));
    CHECK(WinPlatform::readRunValue(L"QuillonTestNeighbour", &stored));
    CHECK(stored == other);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, runKey, L"QuillonTestNeighbour");
}

TEST_CASE("the clean-up script deletes the old program once it is free, then itself") {
    TempFolder folder(L"cleanup");
    const std::wstring programFolder = folder.path + L"\\Program Files (x86)";
    CreateDirectoryW(programFolder.c_str(), nullptr);
    const std::wstring oldProgram = programFolder + L"\\Old.exe";
    CopyFileW(sleeperPath().c_str(), oldProgram.c_str(), FALSE);
    const std::wstring script = programFolder + L"\\delete.bat";

    // Given with forward slashes, as the toolkit spells paths.
    std::wstring slashed = oldProgram;
    for (wchar_t &c : slashed)
        if (c == L'\\')
            c = L'/';
    const std::string text = WinPlatform::cleanupScriptText(slashed);
    std::string quoted(oldProgram.begin(), oldProgram.end());
    quoted = "\"" + quoted + "\"";
    CHECK(text == "@echo off\n:loop\ndel /F /Q " + quoted + "\nif exist " + quoted +
                      " (\n    goto loop\n) else (\n   del /F /Q \"%~f0\"\n)");
    std::ofstream(script.c_str(), std::ios::binary) << text;

    // While the old program still runs its file cannot be deleted: the script keeps trying.
    Child oldRunning = Child::program(oldProgram);
    REQUIRE(oldRunning.started);
    Child run(L"\"" + script + L"\"", CREATE_NO_WINDOW);
    REQUIRE(run.started);
    CHECK_FALSE(run.waitForEnd(1500));
    CHECK(exists(oldProgram));
    CHECK(exists(script));

    oldRunning.end();
    CHECK(run.waitForEnd(20000));
    CHECK_FALSE(exists(oldProgram));
    CHECK_FALSE(exists(script));
}

TEST_CASE("the file of a running program is renamed aside and a new one takes its place") {
    TempFolder folder(L"rename");
    const std::wstring program = folder.copyOfSleeper(L"Quillon.exe");
    const std::wstring old = folder.path + L"\\Old.exe";
    Child running = Child::program(program);
    REQUIRE(running.started);

    CHECK(WinPlatform::renameFile(program, old));
    CHECK(exists(old));
    CHECK_FALSE(exists(program));
    CHECK(WinPlatform::isProcessRunning(running.id()));
    CHECK(CopyFileW(sleeperPath().c_str(), program.c_str(), TRUE));

    // A left-over old file blocks the next rename.
    CHECK_FALSE(WinPlatform::renameFile(program, old));
    CHECK(exists(program));
    CHECK(readFile(program) == readFile(old));
}

TEST_CASE("a complete file replaces an existing one in one rename, where a plain rename refuses") {
    TempFolder folder(L"replace");
    const std::wstring target = folder.copyOfSleeper(L"tool.exe");
    const std::wstring complete = folder.path + L"\\tool.exe.5-7.part";
    { std::ofstream(complete.c_str(), std::ios::binary) << "fresh"; }

    CHECK_FALSE(WinPlatform::renameFile(complete, target));
    CHECK(WinPlatform::replaceFile(complete, target));
    CHECK(readFile(target) == "fresh");
    CHECK_FALSE(exists(complete));
}

TEST_CASE("the version test answers the rows of Windows 7" * doctest::test_suite("win7")) {
    CHECK(WinPlatform::isWindowsVersionOrGreater(5, 1, 0));
    CHECK(WinPlatform::isWindowsVersionOrGreater(6, 0, 0));
    CHECK(WinPlatform::isWindowsVersionOrGreater(6, 1, 0));
    CHECK_FALSE(WinPlatform::isWindowsVersionOrGreater(6, 2, 0));
    CHECK_FALSE(WinPlatform::isWindowsVersionOrGreater(6, 3, 0));
    CHECK_FALSE(WinPlatform::isWindowsVersionOrGreater(10, 0, 0));
    // Windows 7 with service pack 1.
    CHECK(WinPlatform::isWindowsVersionOrGreater(6, 1, 1));
    CHECK_FALSE(WinPlatform::isWindowsVersionOrGreater(6, 1, 2));
}

TEST_CASE("the version test answers the rows of Windows 10" * doctest::test_suite("win10")) {
    CHECK(WinPlatform::isWindowsVersionOrGreater(6, 1, 0));
    CHECK(WinPlatform::isWindowsVersionOrGreater(6, 2, 0));
    CHECK(WinPlatform::isWindowsVersionOrGreater(6, 3, 0));
    CHECK(WinPlatform::isWindowsVersionOrGreater(10, 0, 0));
    CHECK_FALSE(WinPlatform::isWindowsVersionOrGreater(10, 1, 0));
    CHECK_FALSE(WinPlatform::isWindowsVersionOrGreater(10, 0, 1));
}

TEST_CASE("without declared systems Windows 10 reports Windows 8" *
          doctest::test_suite("win10-nosupportedos")) {
    CHECK(WinPlatform::isWindowsVersionOrGreater(6, 1, 0));
    CHECK(WinPlatform::isWindowsVersionOrGreater(6, 2, 0));
    CHECK_FALSE(WinPlatform::isWindowsVersionOrGreater(6, 3, 0));
    CHECK_FALSE(WinPlatform::isWindowsVersionOrGreater(10, 0, 0));
}

TEST_CASE("a program folder's lock is held until its holder ends, however it ends") {
    TempFolder folder(L"instance");
    const std::wstring lock = folder.path + L"/Quillon.lock";
    bool held = true;
    void *mine = WinPlatform::lockFile(lock, &held);
    REQUIRE(mine);
    CHECK_FALSE(held);
    CHECK(exists(folder.path + L"\\Quillon.lock"));
    CHECK(WinPlatform::lockFile(lock, &held) == nullptr);
    CHECK(held);
    WinPlatform::closeHandle(mine);
    CHECK_FALSE(exists(folder.path + L"\\Quillon.lock"));

    // Another process takes it; killed, it leaves nothing that blocks the next start.
    Child holder = helper(L"--hold-lock", lock);
    REQUIRE(holder.started);
    held = false;
    for (int i = 0; i < 500 && !held; ++i) {
        WinPlatform::closeHandle(WinPlatform::lockFile(lock, &held));
        Sleep(20);
    }
    REQUIRE(held);
    holder.end();
    mine = WinPlatform::lockFile(lock, &held);
    CHECK(mine);
    CHECK_FALSE(held);
    WinPlatform::closeHandle(mine);
}

TEST_CASE("a later start sets the call event of its own folder's program only") {
    const std::wstring name = L"Local\\Quillon-test-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring otherName = name + L"-other";
    // Nobody listens yet.
    CHECK(exitCodeOf(helper(L"--call", name)) == 1);

    void *event = WinPlatform::createCallEvent(name);
    void *other = WinPlatform::createCallEvent(otherName);
    REQUIRE(event);
    REQUIRE(other);
    CHECK(WaitForSingleObject(event, 0) == WAIT_TIMEOUT);
    CHECK(exitCodeOf(helper(L"--call", name)) == 0);
    CHECK(WaitForSingleObject(event, 5000) == WAIT_OBJECT_0);
    // Taken by the wait: one call, one wake-up.
    CHECK(WaitForSingleObject(event, 0) == WAIT_TIMEOUT);
    CHECK(WaitForSingleObject(other, 0) == WAIT_TIMEOUT);

    // Gone with its holder.
    WinPlatform::closeHandle(event);
    WinPlatform::closeHandle(other);
    CHECK(exitCodeOf(helper(L"--call", name)) == 1);
}

// The test program doubles as the second program of the tests above.
int main(int argc, char **argv) {
    const std::string mode = argc == 3 ? argv[1] : "";
    const std::wstring argument = argc == 3 ? std::wstring(argv[2], argv[2] + std::strlen(argv[2])) : L"";
    if (mode == "--hold-lock") {
        if (!WinPlatform::lockFile(argument, nullptr))
            return 1;
        Sleep(60000);
        return 0;
    }
    if (mode == "--call")
        return WinPlatform::setCallEvent(argument) ? 0 : 1;
    return doctest::Context(argc, argv).run();
}
