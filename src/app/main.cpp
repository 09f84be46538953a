#include "app/appservices.h"
#include "app/desktoplauncher.h"
#include "app/mainwindow.h"
#include "app/settingsstore.h"
#include "app/userdialogs.h"
#include "convert/signalwatcher.h"
#include "convert/tempnames.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QRandomGenerator>
#include <QThread>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane"));
    QApplication::setOrganizationName(QStringLiteral("Harrowmede"));
    QApplication::setApplicationVersion(QStringLiteral(QUORVANE_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/quorvane.png")));
    QGuiApplication::setDesktopFileName(QStringLiteral("quorvane"));

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
    removeAbandonedTempFiles(services.tempFolder);

    MainWindow window(services);
    // Ctrl+C in a terminal, or the session asking the program to end.
    SignalWatcher stopSignals;
    QObject::connect(&stopSignals, &SignalWatcher::raised, &window, [&window] {
        window.shutDown();
        QCoreApplication::quit();
    });
    window.startUp([&window] { window.show(); });
    return app.exec();
}
