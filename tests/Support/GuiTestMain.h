#pragma once

#include "UI/Shared/AppStartup.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
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

// Whether `path` is a runtime folder as a desktop session gives one: ours, and 0700.
inline bool isPrivateRuntimeDir(const QString &path)
{
    const QFileInfo info(path);
    constexpr QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    return !path.isEmpty() && info.isDir() && info.ownerId() == ::geteuid()
        && (info.permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser)) == ownerOnly;
}

// The web engine, the single-instance socket and Qt itself want a runtime folder of this user
// alone. The one the build gives each test belongs to whoever configured the build; run by
// anyone else (or with none at all) the test gets a fresh private one, removed at exit.
inline void usePrivateRuntimeDir()
{
    if (isPrivateRuntimeDir(qEnvironmentVariable("XDG_RUNTIME_DIR")))
        return;
    static QTemporaryDir runtime(QDir::tempPath() + QStringLiteral("/nbd-test-runtime-XXXXXX"));
    if (!runtime.isValid() || !QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        qWarning("no private runtime folder: %s", qPrintable(runtime.errorString()));
        return;
    }
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
}

// What a test process and the programs it starts need from the environment, whoever runs it.
inline void prepareTestEnvironment()
{
    usePrivateRuntimeDir();
    allowWebEngineAsRoot();
}

} // namespace nbd::test

// The main() of a widget test: the application starts exactly as the shipped app does.
#define NBD_GUI_TEST_MAIN(TestObject)                                                              \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        nbd::test::prepareTestEnvironment();                                                       \
        nbd::prepareApplication();                                                                 \
        QApplication app(argc, argv);                                                              \
        nbd::finishApplicationSetup(app);                                                          \
        QTEST_DISABLE_KEYPAD_NAVIGATION                                                            \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
