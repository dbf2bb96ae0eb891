#include "platform/win/WinPlatform.h"

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>

namespace {

const wchar_t runKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::string toUtf8(const std::wstring &text) {
    if (text.empty())
        return std::string();
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &result[0], size, nullptr, nullptr);
    return result;
}

} // namespace

namespace WinPlatform {

std::wstring nativePath(std::wstring path) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::string cleanupScriptText(const std::wstring &oldProgramPath) {
    const std::wstring quoted = L"\"" + nativePath(oldProgramPath) + L"\"";
    const std::wstring lines[] = {
        L"@echo off",     L":loop",    L"del /F /Q " + quoted,   L"if exist " + quoted + L" (",
        L"    goto loop", L") else (", L"   del /F /Q \"%~f0\"", L")"};
    // Line feeds between the lines, none after the last.
    std::wstring text;
    for (const std::wstring &line : lines)
        text += (text.empty() ? L"" : L"\n") + line;
    return toUtf8(text);
}

unsigned long findProcessByName(const std::wstring &name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    DWORD processId = 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (std::wstring(entry.szExeFile).find(name) != std::wstring::npos) {
            processId = entry.th32ProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    return processId;
}

bool isProcessRunning(unsigned long processId) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
    if (!process)
        return false;
    DWORD exitCode = 0;
    const BOOL known = GetExitCodeProcess(process, &exitCode);
    CloseHandle(process);
    return known && exitCode == STILL_ACTIVE;
}

bool isWindowsVersionOrGreater(unsigned short major, unsigned short minor, unsigned short servicePackMajor) {
    OSVERSIONINFOEXW wanted = {};
    wanted.dwOSVersionInfoSize = sizeof(wanted);
    wanted.dwMajorVersion = major;
    wanted.dwMinorVersion = minor;
    wanted.wServicePackMajor = servicePackMajor;
    DWORDLONG conditions = 0;
    conditions = VerSetConditionMask(conditions, VER_MAJORVERSION, VER_GREATER_EQUAL);
    conditions = VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
    conditions = VerSetConditionMask(conditions, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&wanted, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                              conditions) != FALSE;
}

bool setRunValue(const std::wstring &valueName, const std::wstring &programPath) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, runKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    const std::wstring path = nativePath(programPath);
    const DWORD bytes = DWORD((path.size() + 1) * sizeof(wchar_t));
    const LONG result = RegSetValueExW(key, valueName.c_str(), 0, REG_SZ,
                                       reinterpret_cast<const BYTE *>(path.c_str()), bytes);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool removeRunValue(const std::wstring &valueName) {
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, runKeyPath, 0, KEY_SET_VALUE, &key);
    if (opened == ERROR_FILE_NOT_FOUND)
        return true;
    if (opened != ERROR_SUCCESS)
        return false;
    const LONG result = RegDeleteValueW(key, valueName.c_str());
    RegCloseKey(key);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

bool readRunValue(const std::wstring &valueName, std::wstring *programPath) {
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, runKeyPath, valueName.c_str(), RRF_RT_REG_SZ, nullptr, nullptr,
                     &bytes) != ERROR_SUCCESS)
        return false;
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = DWORD(value.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CURRENT_USER, runKeyPath, valueName.c_str(), RRF_RT_REG_SZ, nullptr, &value[0],
                     &bytes) != ERROR_SUCCESS)
        return false;
    value.resize(wcslen(value.c_str()));
    if (programPath)
        *programPath = value;
    return true;
}

bool renameFile(const std::wstring &from, const std::wstring &to) {
    return MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(), 0) != FALSE;
}

void *lockFile(const std::wstring &path, bool *heldElsewhere) {
    HANDLE file = CreateFileW(nativePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    const bool held = file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
    if (heldElsewhere)
        *heldElsewhere = held;
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

void *createCallEvent(const std::wstring &name) {
    return CreateEventW(nullptr, FALSE, FALSE, name.c_str());
}

bool setCallEvent(const std::wstring &name) {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (!event)
        return false;
    // The caller was just started by the user, so it may hand the foreground on to the running program.
    AllowSetForegroundWindow(ASFW_ANY);
    const bool set = SetEvent(event) != FALSE;
    CloseHandle(event);
    return set;
}

void closeHandle(void *handle) {
    if (handle)
        CloseHandle(handle);
}

bool replaceFile(const std::wstring &from, const std::wstring &to) {
    return MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

int consoleColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

} // namespace WinPlatform
