#include "testkit.h"
#include "testmain.h"

#include "convert/batchsession.h"
#include "convert/files/workfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

#include <memory>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

// The engine, and quorvane-cli, on a batch of thousands of tiny files, with the fast stand-in
// as decoder and encoder (it copies its input to its output, so every result shows which
// source it came from). What a big batch must not do: lose, repeat or reorder a file, or run
// out of file handles or processes on the way; every tool run is reaped and every handle
// closed, and the temporary folder is left empty.
class TestFaultsBigBatch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fiveThousandTinyFiles();
    void programWithFiveThousandFiles();

private:
    static int openHandles();            // entries of this process's descriptor table
    static QList<qint64> childProcesses();   // processes whose parent is this one, reaped or not
    static bool hasNoChild();            // waitpid says so, without reaping anything that is there
    SessionSetup settings(const QString &temp, int jobs) const;

    QString m_fake;
    QString m_cli;
};

void TestFaultsBigBatch::initTestCase()
{
#ifndef Q_OS_LINUX
    QSKIP("Counts file handles and processes through /proc");
#endif
    m_fake = qEnvironmentVariable("QUORVANE_FAKETOOL");
    QVERIFY2(QFileInfo(m_fake).isExecutable(), "QUORVANE_FAKETOOL names the stand-in tool");
    m_cli = QDir(qEnvironmentVariable("QUORVANE_APP_DIR")).filePath(QStringLiteral("quorvane-cli"));
    QVERIFY2(QFileInfo(m_cli).isExecutable(), "QUORVANE_APP_DIR names the folder of the built programs");
}

void TestFaultsBigBatch::fiveThousandTinyFiles()
{
    constexpr int kFiles = 5000;
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QDir root(work.path());
    QVERIFY(root.mkdir(QStringLiteral("sources")) && root.mkdir(QStringLiteral("temp")));
    const QString temp = root.filePath(QStringLiteral("temp"));

    // A few files first, so that whatever the first tool run sets up once for good (the
    // process-exit watcher, the tool's path lookup) is counted in both handle counts.
    {
        QStringList warmUp;
        for (int i = 0; i < 3; ++i) {
            warmUp.append(root.filePath(QStringLiteral("sources/warm-up %1.m4a").arg(i)));
            QFile file(warmUp.last());
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("w") == 1);
        }
        BatchSession batch(TestKit::withSources(settings(temp, 2), warmUp));
        QSignalSpy finished(&batch, &BatchSession::finished);
        batch.start();
        QVERIFY(finished.wait(30000));
        for (const FileResult &result : finished.at(0).at(0).value<BatchOutcome>().files)
            QVERIFY(result.isConverted());
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(TestKit::tempEntries(temp), QStringList());
    // The work off the event thread runs in Qt's thread pool, whose idle threads (each with
    // its own wake-up handle) come and go: none are kept around while handles are counted.
    QThreadPool::globalInstance()->waitForDone();
    const int handlesBefore = openHandles();
    QVERIFY(handlesBefore > 0);

    QStringList sources;
    QList<QByteArray> contents;
    sources.reserve(kFiles);
    for (int i = 0; i < kFiles; ++i) {
        sources.append(root.filePath(QStringLiteral("sources/song %1.m4a").arg(i, 4, 10, QLatin1Char('0'))));
        contents.append(QByteArray::number(i) + '\n');
        QFile file(sources.last());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(contents.last()) == contents.last().size());
    }

    QList<int> started;
    QList<int> finishedFiles(kFiles, 0);
    int mostHandles = 0;
    QElapsedTimer clock;
    {
        BatchSession batch(TestKit::withSources(settings(temp, 2), sources));
        connect(&batch, &BatchSession::fileStarted, this, [&started](int index, int total) {
            if (total == kFiles)
                started.append(index);
        });
        connect(&batch, &BatchSession::fileFinished, this, [&](const FileResult &result) {
            if (result.index >= 0 && result.index < kFiles)
                ++finishedFiles[result.index];
            // Now and then: what is open while it runs stays bounded.
            if (result.index % 500 == 0)
                mostHandles = qMax(mostHandles, openHandles());
        });
        QSignalSpy finished(&batch, &BatchSession::finished);
        clock.start();
        batch.start();
        QVERIFY(finished.wait(600000));
        qInfo("%d files, two at a time, in %lld ms; at most %d handles open (%d before)", kFiles,
              clock.elapsed(), mostHandles, handlesBefore);

        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).value<BatchOutcome>().cancelled, false);
        const auto results = finished.at(0).at(0).value<BatchOutcome>().files;
        QCOMPARE(results.size(), kFiles);
        QSet<QString> temps;
        for (int i = 0; i < kFiles; ++i) {
            const FileResult &result = results.at(i);
            QCOMPARE(result.index, i);
            QCOMPARE(result.sourcePath, sources.at(i));
            QVERIFY2(result.status == FileStatus::Converted, qPrintable(result.reason));
            QVERIFY(TestKit::isTempMp3Name(QFileInfo(result.tempPath).fileName()));
            QFile file(result.tempPath);
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(result.tempPath));
            QVERIFY(file.readAll().endsWith(contents.at(i)));
            temps.insert(QFileInfo(result.tempPath).fileName());
        }
        QCOMPARE(temps.size(), kFiles);
        // The converted files, each with its lock, and nothing else: no encoder output.
        QStringList expected(temps.cbegin(), temps.cend());
        expected.sort();
        QCOMPARE(TestKit::tempEntries(temp), expected);
        for (const FileResult &result : results)
            WorkFolder::discardTempMp3(result.tempPath);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    // Each file started once, in source order, and finished once.
    QCOMPARE(started.size(), kFiles);
    for (int i = 0; i < kFiles; ++i) {
        QCOMPARE(started.at(i), i);
        QCOMPARE(finishedFiles.at(i), 1);
    }
    QVERIFY2(mostHandles < handlesBefore + 50, qPrintable(QString::number(mostHandles)));
    QThreadPool::globalInstance()->waitForDone();
    QCOMPARE(openHandles(), handlesBefore);
    QCOMPARE(childProcesses(), QList<qint64>());
    QVERIFY(hasNoChild());
    QCOMPARE(TestKit::tempEntries(temp), QStringList());
}

// The same through the command line: a folder of 5,000 sources walked, converted, saved.
void TestFaultsBigBatch::programWithFiveThousandFiles()
{
    constexpr int kFiles = 5000;
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QDir root(work.path());
    for (const char *folder : {"app", "sources", "temp", "out"})
        QVERIFY(root.mkdir(QString::fromLatin1(folder)));
    // The program looks for its tools in its own folder (links resolved), so it runs from a
    // copy, beside links to the stand-in under both tool names.
    const QString program = root.filePath(QStringLiteral("app/quorvane-cli"));
    QVERIFY(QFile::copy(m_cli, program));
    QVERIFY(QFile::link(m_fake, root.filePath(QStringLiteral("app/ffmpeg"))));
    QVERIFY(QFile::link(m_fake, root.filePath(QStringLiteral("app/lame"))));
    for (int i = 0; i < kFiles; ++i) {
        QFile file(root.filePath(QStringLiteral("sources/song %1.m4a").arg(i, 4, 10, QLatin1Char('0'))));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray::number(i) + '\n') > 0);
    }

    QProcess cli;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), root.filePath(QStringLiteral("temp")));
    cli.setProcessEnvironment(environment);
    cli.setStandardInputFile(QProcess::nullDevice());
    cli.setStandardOutputFile(QProcess::nullDevice());
    cli.start(program, {QStringLiteral("-j"), QStringLiteral("2"), QStringLiteral("-o"),
                        root.filePath(QStringLiteral("out")), root.filePath(QStringLiteral("sources"))});
    QVERIFY(cli.waitForStarted(30000));
    // Its handles, looked at now and then while it runs: they stay few.
    int mostHandles = 0;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, [&cli, &mostHandles] {
        const QString fds = QStringLiteral("/proc/%1/fd").arg(cli.processId());
        mostHandles = qMax(mostHandles, int(QDir(fds).entryList(QDir::AllEntries | QDir::System
                                                                | QDir::NoDotAndDotDot).size()));
    });
    sampler.start(100);
    QElapsedTimer clock;
    clock.start();
    QByteArray err;
    connect(&cli, &QProcess::readyReadStandardError, this, [&cli, &err] { err += cli.readAllStandardError(); });
    QTRY_VERIFY_WITH_TIMEOUT(cli.state() == QProcess::NotRunning, 600000);
    sampler.stop();
    err += cli.readAllStandardError();
    qInfo("quorvane-cli: %d files in %lld ms; at most %d handles open", kFiles, clock.elapsed(), mostHandles);
    QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
    QVERIFY2(cli.exitCode() == 0, err.right(2000).constData());
    QVERIFY(err.contains(QByteArrayLiteral("5000 of 5000 file(s) converted")));
    QVERIFY2(mostHandles > 0 && mostHandles < 64, qPrintable(QString::number(mostHandles)));

    const QStringList saved = TestKit::entries(root.filePath(QStringLiteral("out")));
    QCOMPARE(saved.size(), kFiles);
    for (int i = 0; i < kFiles; ++i) {
        const QString name = QStringLiteral("song %1.mp3").arg(i, 4, 10, QLatin1Char('0'));
        QCOMPARE(saved.at(i), name);
        QFile file(root.filePath(QStringLiteral("out/") + name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().endsWith(QByteArray::number(i) + '\n'));
    }
    QCOMPARE(TestKit::entries(root.filePath(QStringLiteral("temp"))), QStringList());
    QCOMPARE(TestKit::entries(root.filePath(QStringLiteral("app"))),
             (QStringList{QStringLiteral("ffmpeg"), QStringLiteral("lame"), QStringLiteral("quorvane-cli")}));
}

SessionSetup TestFaultsBigBatch::settings(const QString &temp, int jobs) const
{
    SessionSetup settings;
    settings.tools.decoder = m_fake;
    settings.tools.encoder = m_fake;
    settings.tools.tempFolder = temp;
    settings.encoding.bitrate = 128;
    settings.jobs = jobs;
    return settings;
}

int TestFaultsBigBatch::openHandles()
{
    // The listing's own handle is open while it reads, the same in every count.
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

QList<qint64> TestFaultsBigBatch::childProcesses()
{
    QList<qint64> children;
#ifdef Q_OS_LINUX
    const QString self = QString::number(QCoreApplication::applicationPid());
    const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : processes) {
        bool number = false;
        const qint64 pid = name.toLongLong(&number);
        if (!number)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(name));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold spaces and brackets.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && QString::fromLatin1(fields.at(1)) == self)
            children.append(pid);
    }
#endif
    return children;
}

bool TestFaultsBigBatch::hasNoChild()
{
#ifdef Q_OS_UNIX
    // WNOWAIT: a child that is there stays for its owner to reap.
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
#else
    return true;
#endif
}

QUORVANE_TEST_GUILESS_MAIN(TestFaultsBigBatch)
#include "tst_faults_bigbatch.moc"
