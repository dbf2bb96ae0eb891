#pragma once
// The main() of a test program: QTEST_MAIN's, ending the process the way the program does
// (Platform::endProcess: on Windows without the runtime's exit-time clean-up, which can hang).

#include "platform/Platform.h"

#include <QtTest/QTest>

#define QUILLON_TEST_MAIN(TestObject)                                                                    \
    static int runTests(int argc, char *argv[]) {                                                        \
        QTest::Internal::callInitMain<TestObject>();                                                     \
        QTEST_MAIN_SETUP()                                                                               \
        TestObject tc;                                                                                   \
        QTEST_SET_MAIN_SOURCE_PATH                                                                       \
        return QTest::qExec(&tc, argc, argv);                                                            \
    }                                                                                                    \
    int main(int argc, char *argv[]) { Platform::endProcess(runTests(argc, argv)); }
