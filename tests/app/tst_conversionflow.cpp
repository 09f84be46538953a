#include "fakes.h"
#include "testkit.h"
#include "testmain.h"

#include "app/mainwindow.h"
#include "shell/settingsstore.h"
#include "app/windows.h"
#include "convert/batchsession.h"
#include "convert/files/workfolder.h"
#include "filelist/pathlistmodel.h"
#include "results/resultswindow.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// "Start Converting" from the main window to the results window, with the real
// ffmpeg and lame on a few seconds of generated tone.
class TestConversionFlow : public QObject
{
    Q_OBJECT

private:
    struct Fixture : TestServices
    {
        std::unique_ptr<Windows> windows;
        MainWindow *window = nullptr;

        Fixture()
        {
            QDir(dir.path()).mkpath(QStringLiteral("app"));
            QDir(dir.path()).mkpath(QStringLiteral("tmp"));
            QDir(dir.path()).mkpath(QStringLiteral("src"));
        }
        QString app(const QString &name = {}) const { return QDir(dir.filePath(QStringLiteral("app"))).filePath(name); }
        QString temp() const { return dir.filePath(QStringLiteral("tmp")); }
        QString source(const QString &name) const { return QDir(dir.filePath(QStringLiteral("src"))).filePath(name); }
        void linkTool(const QString &name)
        {
            QFile::link(QStandardPaths::findExecutable(name), app(name));
        }
        void script(const QString &name, const QByteArray &body)
        {
            QFile file(app(name));
            file.open(QIODevice::WriteOnly);
            file.write("#!/bin/sh\n" + body);
            file.close();
            file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
        }
        int jobs = 1;
        int toolTimeout = 120;
        QString tempOverride;
        MainWindow *start(const QString &bitrate = QStringLiteral("192 kbps"))
        {
            settings->write(SettingsStore::KeyBitrate, bitrate);
            AppServices given = services(QDir::toNativeSeparators(app()),
                                         QDir::toNativeSeparators(tempOverride.isNull() ? temp() : tempOverride), jobs);
            given.toolTimeoutSeconds = toolTimeout;
            windows = std::make_unique<Windows>(given);
            window = windows->main();
            windows->startUp();
            window->show();
            return window;
        }
        PathListModel *rows() const
        {
            return qobject_cast<PathListModel *>(window->findChild<QAbstractItemView *>(QStringLiteral("ListView1"))->model());
        }
        bool convert(const QStringList &sources)
        {
            rows()->append(sources);
            QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("PushButton2")), Qt::LeftButton);
            // The batch has ended when the buttons it locked take clicks again.
            auto *addFiles = window->findChild<QPushButton *>(QStringLiteral("PushButton1"));
            return QTest::qWaitFor([addFiles] { return addFiles->isEnabled(); }, 120000);
        }
        QStringList tempFiles() const { return TestKit::tempEntries(temp()); }
        QStringList tempMp3Files() const { return tempFiles().filter(QRegularExpression(QStringLiteral("\\.mp3$"))); }
    };

    static bool makeTone(const QString &path, int frequency)
    {
        return TestKit::makeSource(QStandardPaths::findExecutable(QStringLiteral("ffmpeg")), path,
                                   {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                                    QStringLiteral("sine=frequency=%1:duration=2").arg(frequency),
                                    QStringLiteral("-c:a"), QStringLiteral("aac")});
    }

private slots:
    void initTestCase()
    {
        for (const char *tool : {"ffmpeg", "ffprobe", "lame"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QFAIL(qPrintable(QStringLiteral("%1 is needed for these tests").arg(QString::fromLatin1(tool))));
        }
    }

    void threeFilesConvertAndPlay()
    {
        Fixture f;
        f.linkTool(QStringLiteral("ffmpeg"));
        f.linkTool(QStringLiteral("lame"));
        const QStringList sources = {f.source(QStringLiteral("first.m4a")), f.source(QStringLiteral("it's $ two.m4a")),
                                     f.source(QStringLiteral("-dash ünï.m4a"))};
        for (int i = 0; i < sources.size(); ++i)
            QVERIFY(makeTone(sources.at(i), 300 + 100 * i));
        MainWindow *w = f.start();
        auto *progress = w->findChild<QProgressBar *>(QStringLiteral("ProgressBar1"));
        QSignalSpy progressValues(progress, &QProgressBar::valueChanged);

        QVERIFY(f.convert(sources));

        QList<int> values;
        for (const QList<QVariant> &args : progressValues)
            values.append(args.first().toInt());
        QCOMPARE(values, (QList<int>{3333, 6667, 10000, 0}));

        ResultsWindow *results = f.windows->results();
        QCOMPARE(TestKit::rows(results),
                 (QStringList{QStringLiteral("first.mp3"), QStringLiteral("it's $ two.mp3"),
                              QStringLiteral("-dash ünï.mp3")}));
        QVERIFY(results->isVisible());
        QVERIFY(!w->isVisible());
        QCOMPARE(results->playingFile(), QDir::fromNativeSeparators(TestKit::convertedFiles(results).first()));
        QVERIFY(f.dialogs.messages.isEmpty());
        for (const QString &file : TestKit::convertedFiles(results)) {
            QVERIFY(QFileInfo(file).fileName().contains(QRegularExpression(QStringLiteral("^zurvek[1-9]{8}\\.mp3$"))));
            const TestKit::Probe stream = TestKit::probe(QStandardPaths::findExecutable(QStringLiteral("ffprobe")), file);
            QCOMPARE(stream.codec, QStringLiteral("mp3"));
            QCOMPARE(stream.bitRate, 192000);
        }
        // Only the three results are in the temporary folder; nothing in the program's folder.
        QCOMPARE(f.tempFiles().size(), 3);
        QCOMPARE(QDir(f.app()).entryList(QDir::Files).size(), 2);

        QTest::mouseClick(results->findChild<QPushButton *>(QStringLiteral("PushButton8")), Qt::LeftButton);
        QVERIFY(f.tempFiles().isEmpty());
        QVERIFY(w->isVisible());
        QVERIFY(!results->isVisible());
        // The source list stays for another run.
        QCOMPARE(f.rows()->count(), 3);
    }

    void aBadFileIsNamedAndTheRestConvert()
    {
        Fixture f;
        f.linkTool(QStringLiteral("ffmpeg"));
        f.linkTool(QStringLiteral("lame"));
        const QString good1 = f.source(QStringLiteral("good1.m4a"));
        const QString bad = f.source(QStringLiteral("broken.m4a"));
        const QString good2 = f.source(QStringLiteral("good2.m4a"));
        QVERIFY(makeTone(good1, 440));
        QVERIFY(makeTone(good2, 550));
        QFile junk(bad);
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, '\x5a'));
        junk.close();
        const QString missing = f.source(QStringLiteral("gone.m4a"));
        f.start(QStringLiteral("64 kbps"));

        QVERIFY(f.convert({good1, bad, missing, good2}));

        ResultsWindow *results = f.windows->results();
        QCOMPARE(TestKit::rows(results), (QStringList{QStringLiteral("good1.mp3"), QStringLiteral("good2.mp3")}));
        QCOMPARE(f.dialogs.messages.size(), 1);
        const FakeDialogs::Message report = f.dialogs.messages.first();
        QCOMPARE(report.kind, FakeDialogs::Message::Warn);
        QVERIFY2(report.text.contains(QStringLiteral("broken.m4a")), qPrintable(report.text));
        QVERIFY2(report.text.contains(QStringLiteral("gone.m4a: file not found")), qPrintable(report.text));
        QCOMPARE(f.tempFiles().size(), 2);
    }

    // Named once, before any file starts.
    void aMissingDecoderIsNamedFirst()
    {
        Fixture f;
        f.linkTool(QStringLiteral("lame"));
        const QString a = f.source(QStringLiteral("a.m4a"));
        QVERIFY(makeTone(a, 440));
        f.start();
        QVERIFY(f.convert({a, a}));
        QCOMPARE(f.dialogs.messages.size(), 1);
        QVERIFY2(f.dialogs.messages.first().text.contains(QStringLiteral("the decoder was not found: ")),
                 qPrintable(f.dialogs.messages.first().text));
        QVERIFY(f.window->isVisible());
        QVERIFY(!f.windows->results()->isVisible());
        QVERIFY(f.tempFiles().isEmpty());
    }

    void closingDuringABatchLeavesNothingBehind_data()
    {
        QTest::addColumn<bool>("askedFromOutside");
        QTest::newRow("the user closes the window") << false;
        QTest::newRow("a signal ends the program") << true;
    }
    void closingDuringABatchLeavesNothingBehind()
    {
        QFETCH(bool, askedFromOutside);
        Fixture f;
        // A decoder that writes part of its output, notes its process id and hangs.
        const QString pidFile = f.dir.filePath(QStringLiteral("decoder.pid"));
        f.script(QStringLiteral("ffmpeg"),
                 "for last; do :; done\nprintf partial > \"$last\"\necho $$ > '" + pidFile.toUtf8() + "'\nexec sleep 60\n");
        f.linkTool(QStringLiteral("lame"));
        const QString a = f.source(QStringLiteral("a.m4a"));
        QVERIFY(makeTone(a, 440));
        MainWindow *w = f.start();
        f.rows()->append(QStringList{a, a});
        QTest::mouseClick(w->findChild<QPushButton *>(QStringLiteral("PushButton2")), Qt::LeftButton);
        QVERIFY(w->isConverting());
        // Nothing may disturb the running batch.
        QCOMPARE(w->findChild<QPushButton *>(QStringLiteral("PushButton2"))->text(), QStringLiteral("Cancel"));
        for (const char *name : {"PushButton1", "PushButton3", "PushButton4", "PushButton5"})
            QVERIFY(!w->findChild<QPushButton *>(QString::fromLatin1(name))->isEnabled());
        QVERIFY(!w->findChild<QComboBox *>(QStringLiteral("Combo1"))->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(pidFile) && QFile(pidFile).size() > 0, 10000);
        QFile pidText(pidFile);
        QVERIFY(pidText.open(QIODevice::ReadOnly));
        const int pid = pidText.readAll().trimmed().toInt();
        QVERIFY(pid > 0);
        QCOMPARE(f.tempMp3Files().size(), 1);

        if (askedFromOutside)
            f.windows->shutDown();
        else
            w->close();

        QVERIFY(!w->isConverting());
        QVERIFY(f.tempFiles().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(::kill(pid, 0) != 0, 5000);
    }

    void severalFilesAtOnceKeepTheirOrder()
    {
        Fixture f;
        f.jobs = 2;
        f.linkTool(QStringLiteral("ffmpeg"));
        f.linkTool(QStringLiteral("lame"));
        QStringList sources;
        for (int i = 0; i < 3; ++i) {
            sources.append(f.source(QStringLiteral("tone%1.m4a").arg(i)));
            QVERIFY(makeTone(sources.last(), 300 + 150 * i));
        }
        MainWindow *w = f.start(QStringLiteral("96 kbps"));
        auto *progress = w->findChild<QProgressBar *>(QStringLiteral("ProgressBar1"));
        QSignalSpy progressValues(progress, &QProgressBar::valueChanged);
        QVERIFY(f.convert(sources));
        QCOMPARE(TestKit::rows(f.windows->results()),
                 (QStringList{QStringLiteral("tone0.mp3"), QStringLiteral("tone1.mp3"), QStringLiteral("tone2.mp3")}));
        // The bar follows the share done, never goes back, and is emptied at the end.
        QList<int> values;
        for (const QList<QVariant> &args : progressValues)
            values.append(args.first().toInt());
        QVERIFY(values.size() >= 2);
        QCOMPARE(values.last(), 0);
        QCOMPARE(values.at(values.size() - 2), 10000);
        for (int i = 1; i < values.size() - 1; ++i)
            QVERIFY(values.at(i) >= values.at(i - 1));
        QVERIFY(f.dialogs.messages.isEmpty());
    }

    void cancellingKeepsWhatIsDoneAndNamesTheRest_data()
    {
        QTest::addColumn<bool>("firstConverts");
        QTest::addColumn<bool>("watched");   // nobody cancels: the watchdog stops the hung decoder
        QTest::newRow("one converted before the cancel") << true << false;
        QTest::newRow("nothing converted yet") << false << false;
        QTest::newRow("the hung decoder stopped by the watchdog") << true << true;
    }
    void cancellingKeepsWhatIsDoneAndNamesTheRest()
    {
        QFETCH(bool, firstConverts);
        QFETCH(bool, watched);
        Fixture f;
        f.toolTimeout = watched ? 2 : 0;
        // The real decoder, except that a source named slow* hangs.
        const QString pidFile = f.dir.filePath(QStringLiteral("decoder.pid"));
        f.script(QStringLiteral("ffmpeg"),
                 "case \"$2\" in *slow*) for last; do :; done; printf partial > \"$last\"; echo $$ > '"
                     + pidFile.toUtf8() + "'; exec sleep 60;; esac\nexec '"
                     + QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).toUtf8() + "' \"$@\"\n");
        f.linkTool(QStringLiteral("lame"));
        const QString good = f.source(QStringLiteral("good.m4a"));
        const QString slow = f.source(QStringLiteral("slow.m4a"));
        const QString after = f.source(QStringLiteral("after.m4a"));
        for (const QString &s : {good, slow, after})
            QVERIFY(makeTone(s, 440));
        MainWindow *w = f.start();
        const QStringList sources = firstConverts ? QStringList{good, slow, after} : QStringList{slow, good, after};
        f.rows()->append(sources);
        auto *button = w->findChild<QPushButton *>(QStringLiteral("PushButton2"));
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(button->text(), QStringLiteral("Cancel"));
        QVERIFY(button->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(QFile(pidFile).size() > 0, 20000);
        QFile pidText(pidFile);
        QVERIFY(pidText.open(QIODevice::ReadOnly));
        const int pid = pidText.readAll().trimmed().toInt();

        if (!watched)
            QTest::mouseClick(button, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("Start Converting"), 20000);

        QTRY_VERIFY_WITH_TIMEOUT(::kill(pid, 0) != 0, 5000);
        if (watched) {
            QCOMPARE(TestKit::rows(f.windows->results()), (QStringList{QStringLiteral("good.mp3"), QStringLiteral("after.mp3")}));
            const QString text = f.dialogs.messages.value(0).text;
            QVERIFY2(text.contains(QDir::toNativeSeparators(slow) + QStringLiteral(": the decoder made no progress for 2 s")), qPrintable(text));
        } else if (firstConverts) {
            QCOMPARE(TestKit::rows(f.windows->results()), QStringList{QStringLiteral("good.mp3")});
            QVERIFY(f.windows->results()->isVisible());
            QCOMPARE(f.tempFiles().size(), 1);
            QCOMPARE(f.dialogs.messages.size(), 1);
            const QString text = f.dialogs.messages.first().text;
            QVERIFY2(text.contains(QStringLiteral("cancelled")), qPrintable(text));
            QVERIFY2(text.contains(QDir::toNativeSeparators(slow)), qPrintable(text));
            QVERIFY2(text.contains(QDir::toNativeSeparators(after)), qPrintable(text));
        } else {
            QVERIFY(w->isVisible());
            QVERIFY(!f.windows->results()->isVisible());
            QVERIFY(f.tempFiles().isEmpty());
            QVERIFY(f.dialogs.messages.isEmpty());
        }
    }

    // One mixed batch through the core's session (with a cancel), the windows and
    // quorvane-cli: the same files convert, keep the decoder's bitrate and fail, for the same
    // reasons, whichever front end renders it.
    void bothFrontEndsRenderTheSessionsOutcome()
    {
        Fixture f;
        f.linkTool(QStringLiteral("ffmpeg"));
        // The real encoder, except that it fails on the long source's bigger decoder file.
        // It also notes the rights of the folder it writes into.
        const QString modes = f.dir.filePath(QStringLiteral("modes"));
        f.script(QStringLiteral("lame"), "stat -c %a \"${7%/*}\" >> '" + modes.toUtf8()
                     + "'\n[ $(wc -c < \"$6\") -gt 200000 ] && { echo 'out of luck' >&2; exit 3; }\nexec '"
                     + QStandardPaths::findExecutable(QStringLiteral("lame")).toUtf8() + "' \"$@\"\n");
        QVERIFY(QFile::copy(QDir(qEnvironmentVariable("QUORVANE_APP_DIR")).filePath(QStringLiteral("quorvane-cli")),
                            f.app(QStringLiteral("quorvane-cli"))));
        const QString ok = f.source(QStringLiteral("ok.m4a"));
        const QString kept = f.source(QStringLiteral("long.m4a"));
        const QString broken = f.source(QStringLiteral("broken.m4a"));
        const QString last = f.source(QStringLiteral("last.m4a"));
        QVERIFY(makeTone(ok, 440) && makeTone(last, 440));
        QVERIFY(TestKit::makeSource(QStandardPaths::findExecutable(QStringLiteral("ffmpeg")), kept,
                                    TestKit::toneOptions(8)));
        QVERIFY(TestKit::writeFile(broken, "not audio at all"));

        SessionSetup setup;
        setup.sources = {ok, kept, broken, last};
        setup.encoding.bitrate = 192;
        setup.appFolder = f.app();
        setup.tools.tempFolder = f.temp();
        BatchSession session(setup);
        connect(&session, &BatchSession::fileFinished, &session, [&session](const FileResult &r) {
            if (r.index == 2)
                session.cancel();
        });
        QSignalSpy finished(&session, &BatchSession::finished);
        QCOMPARE(session.start(), QString());
        QVERIFY(finished.wait(60000));
        const BatchOutcome outcome = finished.at(0).at(0).value<BatchOutcome>();
        const auto sources = [](const QList<FileResult> &files) {
            QStringList paths;
            for (const FileResult &r : files)
                paths.append(r.sourcePath);
            return paths;
        };
        QVERIFY(outcome.cancelled);
        QCOMPARE(sources(outcome.converted()), (QStringList{ok, kept}));
        QCOMPARE(sources(outcome.keptDecoderBitrate()), QStringList{kept});
        QCOMPARE(sources(outcome.failed()), QStringList{broken});
        QCOMPARE(sources(outcome.notConverted()), QStringList{last});
        // The encoder wrote into the program's own folder, closed to other users.
        QCOMPARE(TestKit::readFile(modes), QByteArray("700\n700\n"));
        QCOMPARE(QDir(f.temp()).entryList({QStringLiteral("quorvane-*")}, QDir::Dirs).size(), 1);
        QVERIFY(outcome.keptDecoderBitrate().at(0).reason.contains(QStringLiteral("out of luck")));
        for (const FileResult &r : outcome.converted())
            WorkFolder::discardTempMp3(r.tempPath);

        // The windows: two rows, and the report names the other two with the session's reasons.
        f.start();
        QVERIFY(f.convert({ok, kept, broken}));
        QCOMPARE(TestKit::rows(f.windows->results()), (QStringList{QStringLiteral("ok.mp3"), QStringLiteral("long.mp3")}));
        QCOMPARE(f.dialogs.messages.size(), 1);
        const QString report = f.dialogs.messages.at(0).details;
        // The command line: the same files saved, the same lines of reasons, status 1.
        const QString out = f.dir.filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(out));
        QProcess cli;
        cli.setStandardInputFile(QProcess::nullDevice());
        cli.start(f.app(QStringLiteral("quorvane-cli")), {QStringLiteral("-b"), QStringLiteral("192"), QStringLiteral("-o"), out, ok, kept, broken});
        QVERIFY(cli.waitForFinished(60000));
        QCOMPARE(cli.exitCode(), 1);
        const QString said = QString::fromLocal8Bit(cli.readAllStandardError());
        QCOMPARE(TestKit::entries(out), (QStringList{QStringLiteral("long.mp3"), QStringLiteral("ok.mp3")}));
        for (const FileResult &r : {outcome.failed().at(0), outcome.keptDecoderBitrate().at(0)}) {
            const QString line = QDir::toNativeSeparators(r.sourcePath) + QStringLiteral(": ") + r.reason;
            QVERIFY2(report.contains(line), qPrintable(report));
            QVERIFY2(said.contains(line), qPrintable(said));
        }
    }

    void anUnusableTemporaryFolderStopsTheBatchBeforeItStarts()
    {
        Fixture f;
        f.linkTool(QStringLiteral("ffmpeg"));
        f.linkTool(QStringLiteral("lame"));
        f.tempOverride = f.dir.filePath(QStringLiteral("no-such-folder"));
        const QString a = f.source(QStringLiteral("a.m4a"));
        QVERIFY(makeTone(a, 440));
        MainWindow *w = f.start();
        f.rows()->append(QStringList{a});
        QTest::mouseClick(w->findChild<QPushButton *>(QStringLiteral("PushButton2")), Qt::LeftButton);
        QVERIFY(!w->isConverting());
        QCOMPARE(f.dialogs.messages.size(), 1);
        QCOMPARE(f.dialogs.messages.first().kind, FakeDialogs::Message::Warn);
        QVERIFY2(f.dialogs.messages.first().text.contains(QStringLiteral("no-such-folder")),
                 qPrintable(f.dialogs.messages.first().text));
        QVERIFY(!QFileInfo::exists(f.tempOverride));
        QVERIFY(w->isVisible());
    }
};

QUORVANE_TEST_MAIN(TestConversionFlow)
#include "tst_conversionflow.moc"
