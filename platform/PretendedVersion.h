#pragma once
// The Windows version that tests pretend the system is, kept the same way by every platform adapter.

#include <atomic>

class PretendedVersion {
public:
    // A major version below 0 pretends nothing.
    static void set(int major, int minor) {
        minorVersion.store(minor);
        majorVersion.store(major);
    }
    static bool isSet() { return majorVersion.load() >= 0; }
    // Compared like the Windows version service: major first, then minor, then the service pack (0 here).
    static bool isAtLeast(int major, int minor, int servicePackMajor) {
        const int pretendedMajor = majorVersion.load();
        const int pretendedMinor = minorVersion.load();
        if (pretendedMajor != major)
            return pretendedMajor > major;
        if (pretendedMinor != minor)
            return pretendedMinor > minor;
        return servicePackMajor == 0;
    }

private:
    static inline std::atomic<int> majorVersion{-1};
    static inline std::atomic<int> minorVersion{0};
};
