#pragma once

// The main of every test program: QTEST_MAIN's, ended as the programs end, through
// ProgramExit once the test object and the application object are gone.

#include "convert/programexit.h"

#include <QTest>

#define QUORVANE_TEST_MAIN_WRAPPER(TestObject, ...)                   \
    int main(int argc, char *argv[])                                  \
    {                                                                 \
        int status = 0;                                               \
        {                                                             \
            QTest::Internal::callInitMain<TestObject>();              \
            __VA_ARGS__                                               \
            TestObject tc;                                            \
            QTEST_SET_MAIN_SOURCE_PATH                                \
            status = QTest::qExec(&tc, argc, argv);                   \
        }                                                             \
        return ProgramExit::leave(status);                            \
    }
#define QUORVANE_TEST_MAIN(TestObject) QUORVANE_TEST_MAIN_WRAPPER(TestObject, QTEST_MAIN_SETUP())
#define QUORVANE_TEST_GUILESS_MAIN(TestObject) \
    QUORVANE_TEST_MAIN_WRAPPER(TestObject, QTEST_QAPP_SETUP(QCoreApplication))
