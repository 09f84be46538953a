#include "app/mainwindow.h"
#include "shell/desktoplauncher.h"
#include "shell/instancechannel.h"
#include "shell/settingsstore.h"
#include "shell/userdialogs.h"
#include "app/windows.h"
#include "convert/files/workfolder.h"
#include "convert/programexit.h"
#include "convert/signalwatcher.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QRandomGenerator>
#include <QThread>

#include <cstring>

namespace {

// The files and folders named on the command line (the file manager's "Open With" passes
// them through the desktop entry's %F), as absolute native paths. --help, --version and
// a usage error print and end the program here.
QStringList openedPaths(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Converts .m4a files to MP3 at the bitrate you pick, with a preview of the results."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FILE|FOLDER"),
                                 QStringLiteral("Added to the list after start-up, as if dropped on it."),
                                 QStringLiteral("[FILE|FOLDER...]"));
    parser.process(app);
    QStringList paths;
    for (const QString &argument : parser.positionalArguments())
        if (!argument.isEmpty())
            paths.append(QDir::toNativeSeparators(QFileInfo(argument).absoluteFilePath()));
    return paths;
}

// Help and version are answered without a display, as in a terminal over ssh.
bool asksForTextOnly(int argc, char *argv[])
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        for (const char *option : {"-h", "--help", "--help-all", "-v", "--version"}) {
            if (std::strcmp(argv[i], option) == 0)
                return true;
        }
    }
    return false;
}

// The whole run, from the command line to the last window closed; everything it made, the
// application object last, is gone when it returns.
int run(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("Quorvane"));
    QCoreApplication::setOrganizationName(QStringLiteral("Harrowmede"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVANE_VERSION));
    if (asksForTextOnly(argc, argv)) {
        QCoreApplication app(argc, argv);
        openedPaths(app);
        return 0;
    }

    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/quorvane.png")));
    QGuiApplication::setDesktopFileName(QStringLiteral("quorvane"));
    const QStringList opened = openedPaths(app);

    // One window per user: a later start gives its paths to the running one and ends.
    InstanceChannel instance;
    switch (instance.handOver(opened)) {
    case InstanceChannel::HandOver::Taken:
        return 0;
    case InstanceChannel::HandOver::NoWindow:
        instance.listen();
        break;
    case InstanceChannel::HandOver::Refused:
        break;   // a window of its own, leaving the channel to whoever has it
    }

    // The composition root: the real store, dialogs and launcher live here.
    SettingsStore settings;
    QtUserDialogs dialogs;
    QtDesktopLauncher launcher;

    AppServices services;
    services.settings = &settings;
    services.dialogs = &dialogs;
    services.launcher = &launcher;
    services.appFolder = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    services.tempFolder = QDir::toNativeSeparators(QDir::tempPath());
    // One file per processor core: each file's two tools run one after the other.
    services.jobs = QThread::idealThreadCount();
    services.rollPercent = [] { return int(QRandomGenerator::global()->bounded(1, 101)); };

    // What an earlier run that was killed outright left in the temporary folder.
    WorkFolder::removeAbandoned(services.tempFolder);

    Windows windows(services);
    // Ctrl+C in a terminal, or the session asking the program to end.
    SignalWatcher stopSignals;
    QObject::connect(&stopSignals, &SignalWatcher::raised, &windows, [&windows] {
        windows.shutDown();
        QCoreApplication::quit();
    });
    QObject::connect(&instance, &InstanceChannel::pathsArrived, &windows, &Windows::openPaths);
    windows.startUp([&windows, opened] {
        windows.main()->show();
        windows.main()->addDroppedPaths(opened);
    });
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    return ProgramExit::leave(run(argc, argv));
}
