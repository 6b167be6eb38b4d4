// Runs one command line in the workspace terminal and prints what it writes, then a line
// "--idle--" once it has finished, and stays until it is ended: a real process whose way of
// ending the terminal test chooses. Its standard input closing is its quit.
#include "Store/WorkspaceTerminalModel.h"

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>

#include <unistd.h>

#include <cstdio>

using namespace Qt::Literals::StringLiterals;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    nbd::WorkspaceTerminalModel model(QUrl::fromLocalFile(QDir::currentPath()));
    model.setShell(u"/bin/sh"_s);
    QObject::connect(&model, &nbd::WorkspaceTerminalModel::recordsChanged, &model, [&model] {
        const nbd::TerminalRecord &record = model.records().last();
        if (record.kind == nbd::TerminalRecord::Kind::Output) {
            std::fputs(record.text.toLocal8Bit().constData(), stdout);
            std::fflush(stdout);
        }
    });
    QObject::connect(&model, &nbd::WorkspaceTerminalModel::runningChanged, &model, [](bool running) {
        if (!running) {
            std::fputs("--idle--\n", stdout);
            std::fflush(stdout);
        }
    });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&input] {
        char byte;
        if (::read(STDIN_FILENO, &byte, 1) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    model.execute(QString::fromLocal8Bit(argv[1]));
    return app.exec();
}
