#pragma once
// The main() of a test program: QtTest's, ending the process the way the program does
// (Platform::endProcess: on Windows without the runtime's exit-time clean-up, which can hang).

#include "platform/Platform.h"

#include <QtTest/QTest>

#define QUILLON_TEST_MAIN_WITH(TestObject, setup)                                                            \
    static int runTests(int argc, char *argv[]) {                                                            \
        QTest::Internal::callInitMain<TestObject>();                                                         \
        setup TestObject tc;                                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                           \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }                                                                                                        \
    int main(int argc, char *argv[]) {                                                                       \
        Platform::endProcess(runTests(argc, argv));                                                          \
    }

#define QUILLON_TEST_MAIN(TestObject) QUILLON_TEST_MAIN_WITH(TestObject, QTEST_MAIN_SETUP())
#define QUILLON_GUILESS_TEST_MAIN(TestObject)                                                                \
    QUILLON_TEST_MAIN_WITH(TestObject, QTEST_QAPP_SETUP(QCoreApplication))
#define QUILLON_APPLESS_TEST_MAIN(TestObject) QUILLON_TEST_MAIN_WITH(TestObject, )
