#pragma once

#include "UI/Shared/AppStartup.h"

#include <QApplication>
#include <QtTest>

// The main() of a widget test: the application starts exactly as the shipped app does.
#define NBD_GUI_TEST_MAIN(TestObject)                                                              \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        nbd::prepareApplication();                                                                 \
        QApplication app(argc, argv);                                                              \
        nbd::finishApplicationSetup(app);                                                          \
        QTEST_DISABLE_KEYPAD_NAVIGATION                                                            \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
