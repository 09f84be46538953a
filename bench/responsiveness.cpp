// How long the GUI's event loop is ever kept from running while the main window adds a
// 100,000-file folder tree, while it converts a batch, and while the results window draws
// the spectrograms of a 4-minute file and its source. A timer ticks every few
// milliseconds; the longest gap between two ticks, less the interval, is the longest
// time the window could not have answered the user. Last, the results window saves 500 files.

#include "app/mainwindow.h"
#include "shell/appservices.h"
#include "shell/desktoplauncher.h"
#include "shell/settingsstore.h"
#include "shell/userdialogs.h"
#include "app/windows.h"
#include "convert/saving/resultset.h"
#include "filelist/filelistview.h"
#include "preview/sonogram.h"
#include "results/resultswindow.h"
#include "testkit.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {

class ScriptedDialogs : public UserDialogs
{
public:
    QString folder;
    QStringList files;
    QStringList said;   // what the windows told the user, in order
    QStringList getOpenFileNames(QWidget *, const QString &, const QString &) override { return files; }
    QString pickFolder(QWidget *, const QString &) override { return folder; }
    void inform(QWidget *, const QString &text, const QString &) override { said.append(text); }
    void warn(QWidget *, const QString &text, const QString &) override { said.append(text); }
    bool askYesNo(QWidget *, const QString &) override { return false; }
};

class NoLauncher : public DesktopLauncher
{
public:
    bool open(const QUrl &) override { return true; }
};

// The longest wait between ticks of a fast timer while something runs.
class LoopProbe : public QObject
{
public:
    static constexpr int IntervalMs = 5;
    LoopProbe()
    {
        m_timer.setInterval(IntervalMs);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_longestNs = qMax(m_longestNs, now - m_lastNs);
            m_lastNs = now;
        });
    }
    void start()
    {
        m_longestNs = 0;
        m_clock.start();
        m_lastNs = 0;
        m_timer.start();
    }
    double stopAndReportMs()
    {
        m_timer.stop();
        return qMax<double>(0.0, m_longestNs / 1e6 - IntervalMs);
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0;
    qint64 m_longestNs = 0;
};

template <typename Done>
void waitFor(Done done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int folders = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 10000;
    const int batchFiles = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 8;

    QTemporaryDir dir;
    SettingsStore settings(dir.filePath(QStringLiteral("settings.ini")));
    ScriptedDialogs dialogs;
    NoLauncher launcher;
    AppServices services;
    services.settings = &settings;
    services.dialogs = &dialogs;
    services.launcher = &launcher;
    services.appFolder = QCoreApplication::applicationDirPath();
    services.tempFolder = dir.path();
    services.rollPercent = [] { return 1; };
    services.jobs = QThread::idealThreadCount();

    // The tree: artistNNN/albumNN/trackNN.m4a, ten files a folder.
    const QString tree = dir.filePath(QStringLiteral("tree"));
    for (int i = 0; i < folders; ++i) {
        const QString folder = QStringLiteral("%1/artist%2/album%3").arg(tree).arg(i / 100, 3, 10, QLatin1Char('0')).arg(i % 100, 2, 10, QLatin1Char('0'));
        QDir().mkpath(folder);
        for (int j = 0; j < 10; ++j)
            QFile(QStringLiteral("%1/track%2.m4a").arg(folder).arg(j, 2, 10, QLatin1Char('0'))).open(QIODevice::WriteOnly);
    }

    Windows windows(services);
    MainWindow &window = *windows.main();
    windows.startUp();
    window.show();
    LoopProbe probe;
    // What the user sees: the rows, the hourglass while a walk runs, the buttons a batch locks.
    const QAbstractItemModel *rows = window.findChild<FileListView *>(QStringLiteral("ListView1"))->model();
    const auto button = [&window](const char *name) { return window.findChild<QPushButton *>(QString::fromLatin1(name)); };

    dialogs.folder = QDir::toNativeSeparators(tree);
    QElapsedTimer clock;
    clock.start();
    probe.start();
    button("PushButton3")->click();
    waitFor([&window] { return window.cursor().shape() != Qt::WaitCursor; });
    const double walkMs = probe.stopAndReportMs();
    std::printf("add folder: %d rows in %.0f ms; event loop blocked at most %.1f ms\n",
                rows->rowCount(), double(clock.elapsed()), walkMs);

    // A batch of real files, one per core at a time.
    button("PushButton4")->click();   // Clear List
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    QStringList sources;
    for (int i = 0; i < batchFiles; ++i) {
        sources.append(dir.filePath(QStringLiteral("song%1.m4a").arg(i)));
        QProcess::execute(ffmpeg, {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"), QStringLiteral("lavfi"),
                                   QStringLiteral("-i"), QStringLiteral("sine=frequency=%1:duration=20").arg(300 + 20 * i),
                                   QStringLiteral("-ac"), QStringLiteral("2"), QStringLiteral("-c:a"), QStringLiteral("aac"),
                                   QStringLiteral("-y"), sources.last()});
    }
    dialogs.files = sources;
    button("PushButton1")->click();   // Add M4A File(s)
    clock.restart();
    probe.start();
    button("PushButton2")->click();   // Start Converting
    waitFor([&] { return button("PushButton1")->isEnabled(); });
    const double batchMs = probe.stopAndReportMs();
    std::printf("batch: %d files of 20 s converted in %.0f ms; event loop blocked at most %.1f ms\n",
                int(windows.results()->findChild<QAbstractItemView *>(QStringLiteral("ListView1"))->model()->rowCount()),
                double(clock.elapsed()), batchMs);

    // "Save Results" with 500 rows of about 5 MB each (a four-minute song at 160 kbps).
    ResultsWindow *results = windows.results();
    const int saveFiles = argc > 3 ? QString::fromLocal8Bit(argv[3]).toInt() : 500;
    const QByteArray fiveMegabytes(5 * 1024 * 1024, 'x');
    QStringList names;
    QStringList files;
    for (int i = 0; i < saveFiles; ++i) {
        QFile file(dir.filePath(QStringLiteral("zurvek%1.mp3").arg(20000000 + i)));
        if (file.open(QIODevice::WriteOnly))
            file.write(fiveMegabytes);
        names.append(QStringLiteral("saved %1.mp3").arg(i));
        files.append(file.fileName());
    }
    results->showResults(TestKit::convertedSet(names, files));
    const QString out = dir.filePath(QStringLiteral("out"));
    QDir().mkpath(out);
    results->findChild<QLineEdit *>(QStringLiteral("Text1"))->setText(out);
    dialogs.said.clear();
    clock.restart();
    probe.start();
    results->saveResults();
    waitFor([&dialogs] { return !dialogs.said.isEmpty(); });   // "Done.", or what could not be saved
    const double saveMs = probe.stopAndReportMs();
    std::printf("save: %d files of 5 MB saved in %.0f ms; event loop blocked at most %.1f ms\n",
                int(QDir(out).entryList(QDir::Files).size()), double(clock.elapsed()), saveMs);

    // The preview of a 4-minute stereo file converted from its source.
    const QString song = dir.filePath(QStringLiteral("song.m4a"));
    const QString songMp3 = dir.filePath(QStringLiteral("song.mp3"));
    QProcess::execute(ffmpeg, {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"), QStringLiteral("lavfi"),
                               QStringLiteral("-i"), QStringLiteral("anoisesrc=d=240:c=pink:a=0.3"), QStringLiteral("-ac"),
                               QStringLiteral("2"), QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-y"), song});
    QProcess::execute(ffmpeg, {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), song,
                               QStringLiteral("-f"), QStringLiteral("mp3"), QStringLiteral("-y"), songMp3});
    results->showResults(TestKit::convertedSet({QStringLiteral("song.mp3")}, {songMp3}, {song}));
    auto *maker = results->findChild<SonogramMaker *>();
    int pictures = 0;
    qint64 firstMs = 0;
    bool drawn = false;
    QObject::connect(maker, &SonogramMaker::pictureReady, [&] {
        if (++pictures == 1)
            firstMs = clock.elapsed();
        else
            drawn = true;
    });
    QObject::connect(maker, &SonogramMaker::pictureFailed, [&] { drawn = true; });
    clock.restart();
    probe.start();
    results->playResult(0);
    waitFor([&drawn] { return drawn; });
    const double previewMs = probe.stopAndReportMs();
    std::printf("preview: pictures of a 4-min stereo file in %lld ms, of its source %lld ms; event loop blocked at most %.1f ms\n",
                firstMs, clock.elapsed(), previewMs);
    std::printf("longest block: %.1f ms (target <= 50 ms)\n", qMax(qMax(walkMs, batchMs), qMax(saveMs, previewMs)));
    windows.results()->close();
    return 0;
}
