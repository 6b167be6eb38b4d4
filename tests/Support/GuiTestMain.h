#pragma once

#include "App/AppViewSlots.h"
#include "UI/Shared/AppStartup.h"

#include <QApplication>
#include <QtTest>

#include <unistd.h>

namespace nbd::test {

// The web engine's sandbox refuses to start as root; as any other user the sandbox stays on,
// as it does for the shipped app.
inline void allowWebEngineAsRoot()
{
    if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
}

} // namespace nbd::test

// The main() of a widget test: the application starts exactly as the shipped app does.
#define NBD_GUI_TEST_MAIN(TestObject)                                                              \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        nbd::test::allowWebEngineAsRoot();                                                         \
        nbd::prepareApplication();                                                                 \
        QApplication app(argc, argv);                                                              \
        nbd::finishApplicationSetup(app);                                                          \
        nbd::setViewSlots(nbd::appViewSlots());                                                    \
        QTEST_DISABLE_KEYPAD_NAVIGATION                                                            \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
