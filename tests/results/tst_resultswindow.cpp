#include "fakes.h"
#include "testkit.h"
#include "testmain.h"

#include "shell/settingsstore.h"
#include "shell/twips.h"
#include "convert/engine/toolcommands.h"
#include "convert/files/pathhelpers.h"
#include "convert/files/processidentity.h"
#include "convert/saving/resultset.h"
#include "filelist/filelistview.h"
#include "preview/sonogram.h"
#include "results/playercontrols.h"
#include "results/resultswindow.h"
#include "results/sonogramview.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QMediaPlayer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSlider>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QToolTip>

using namespace Qt::StringLiterals;

class TestResultsWindow : public QObject
{
    Q_OBJECT

private:
    struct Fixture : TestServices
    {
        std::unique_ptr<ResultsWindow> window;

        ResultsWindow *load(const QString &appFolder = {})
        {
            window = std::make_unique<ResultsWindow>(services(appFolder.isEmpty() ? dir.path() : appFolder, dir.path()));
            return window.get();
        }
        // A converted file waiting in the temporary folder.
        QString tempFile(const QString &name, const QByteArray &content)
        {
            QDir(dir.path()).mkpath(QStringLiteral("tmp"));
            const QString path = QDir(dir.filePath(QStringLiteral("tmp"))).filePath(name);
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(content);
            return QDir::toNativeSeparators(path);
        }
        QString folder(const QString &name)
        {
            QDir(dir.path()).mkpath(name);
            return QDir::toNativeSeparators(dir.filePath(name));
        }
        QPushButton *button(const char *name) const
        {
            return window->findChild<QPushButton *>(QString::fromLatin1(name));
        }
        QLineEdit *box() const { return window->findChild<QLineEdit *>(QStringLiteral("Text1")); }
        QString stored() const { return settings->read(SettingsStore::KeyOutputFolder, QStringLiteral("<none>")); }
    };

    // Saving copies with fsync: on a busy disk it takes far longer than QTest's default wait.
    static bool saved(ResultsWindow *w)
    {
        return QTest::qWaitFor([w] { return !w->isSaving(); }, 120000);
    }

    static QString tool(const QString &name)
    {
        return Paths::toolPath(qEnvironmentVariable("QUORVANE_APP_DIR"), name);
    }

    // A second of the test kit's music, and the real encoder's MP3 of it.
    static QStringList musicAndMp3(const QString &folder, int bitrate)
    {
        const QString wav = QDir(folder).filePath(QStringLiteral("music.wav"));
        const QString mp3 = QDir(folder).filePath(QStringLiteral("music_%1.mp3").arg(bitrate));
        if (!TestKit::makeSource(tool(QStringLiteral("ffmpeg")), wav,
                                 TestKit::musicOptions({44100, 2, 1}) << QStringLiteral("-c:a") << QStringLiteral("pcm_s16le"))
            || !TestKit::runQuietly(tool(QStringLiteral("lame")), Tools::encoderArguments(Tools::Encoding{bitrate}, wav, mp3)))
            return {};
        return {wav, mp3};
    }

    static QByteArray contentOf(const QString &path)
    {
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }

private slots:
    void windowIsBuiltAsDesigned()
    {
        Fixture f;
        ResultsWindow *w = f.load();
        const int dpi = w->logicalDpiX();
        QCOMPARE(w->windowTitle(), QStringLiteral("Quorvane"));
        QCOMPARE(w->size(), Twips::size(8040, 9525, dpi));
        auto *list = w->findChild<FileListView *>(QStringLiteral("ListView1"));
        QCOMPARE(list->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Preview"));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QCOMPARE(list->header()->sectionSize(0), list->viewport()->width());
        QCOMPARE(f.button("PushButton6")->text(), QStringLiteral("Save Results"));
        QCOMPARE(f.button("PushButton7")->text(), QStringLiteral("..."));
        QCOMPARE(f.button("PushButton8")->text(), QStringLiteral("< Back"));
        QCOMPARE(w->findChild<QWidget *>(QStringLiteral("Frame1"))->property("title").toString(),
                 QStringLiteral("Save Result(s) To This Folder"));
    }

    void outputFolderIsRestored_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
#ifdef Q_OS_WIN
        const QString offered = QDir::toNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::MusicLocation)) + QDir::separator();
#else
        const QString offered = QDir::toNativeSeparators(QDir::homePath()) + QDir::separator();
#endif
        QTest::newRow("first start") << QString() << offered;
        QTest::newRow("stored folder") << QStringLiteral("/srv/music/") << QStringLiteral("/srv/music/");
        QTest::newRow("stored empty text stays empty") << QStringLiteral("") << QStringLiteral("");
    }
    void outputFolderIsRestored()
    {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        Fixture f;
        if (!stored.isNull())
            f.settings->write(SettingsStore::KeyOutputFolder, stored);
        f.load();
        QCOMPARE(f.box()->text(), shown);
        QCOMPARE(f.stored(), stored.isNull() ? QStringLiteral("<none>") : stored);
    }

    void typingStoresEveryText()
    {
        Fixture f;
        f.load();
        f.box()->clear();
        QCOMPARE(f.stored(), QStringLiteral(""));
        QTest::keyClicks(f.box(), QStringLiteral("/out"));
        QCOMPARE(f.stored(), QStringLiteral("/out"));
    }

    void browsing_data()
    {
        QTest::addColumn<QString>("picked");
        QTest::addColumn<QString>("shown");
        const QString sep = QDir::separator();
        QTest::newRow("folder gets a separator") << QStringLiteral("/music") << QStringLiteral("/music") + sep;
        QTest::newRow("root keeps its own") << sep << sep;
        QTest::newRow("cancel changes nothing") << QString() << QStringLiteral("/before/");
    }
    void browsing()
    {
        QFETCH(QString, picked);
        QFETCH(QString, shown);
        Fixture f;
        f.settings->write(SettingsStore::KeyOutputFolder, QStringLiteral("/before/"));
        f.load();
        f.dialogs.folderAnswers.push_back(picked);
        QTest::mouseClick(f.button("PushButton7"), Qt::LeftButton);
        QCOMPARE(f.dialogs.folderPrompts, QStringList{QStringLiteral("Please select folder:")});
        QCOMPARE(f.box()->text(), shown);
        QCOMPARE(f.stored(), shown);
    }

    void savingWritesOneFilePerRow()
    {
        Fixture f;
        ResultsWindow *w = f.load();
        ResultSet *set = TestKit::convertedSet({u"a.mp3"_s, u"b.mp3"_s, u"a.mp3"_s},
                                               {f.tempFile(u"zurvek11111111.mp3"_s, "AAA"), f.tempFile(u"zurvek22222222.mp3"_s, "BBB"),
                                                f.tempFile(u"zurvek33333333.mp3"_s, "CCC")});
        // A row says on hover what its record says of the file, and nothing when all is as asked.
        FileResult kept = set->at(1);
        kept.status = FileStatus::KeptDecoderBitrate;
        kept.reason = u"kept at the decoder's bitrate"_s;
        kept.warning = u"may be incomplete"_s;
        set->record(kept);
        w->showResults(set);
        // The list shows the names the files are saved under.
        QCOMPARE(TestKit::rows(w), (QStringList{u"a.mp3"_s, u"b.mp3"_s, u"a (2).mp3"_s}));
        QCOMPARE(TestKit::rows(w, Qt::ToolTipRole), (QStringList{QString(), u"kept at the decoder's bitrate\nmay be incomplete"_s, QString()}));
        const QString out = f.folder(QStringLiteral("out"));
        QFile old(QDir(out).filePath(QStringLiteral("b.mp3")));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old contents");
        old.close();

        // What a saving program killed outright left goes; a running one's part stays.
        const QString deadPart = QStringLiteral(".quorvane-%1-%2-abcdef.part").arg(ProcessIdentity::tag()).arg(TestKit::goneProcessId());
        const QString livePart = QStringLiteral(".quorvane-%1-abcdef.part").arg(ProcessIdentity::mark());
        QVERIFY(QFile(QDir(out).filePath(deadPart)).open(QIODevice::WriteOnly));
        QVERIFY(QFile(QDir(out).filePath(livePart)).open(QIODevice::WriteOnly));

        // Typed by hand, without a final separator and with spaces around it.
        f.box()->setText(QStringLiteral("  ") + out + QStringLiteral(" "));
        QTest::mouseClick(f.button("PushButton6"), Qt::LeftButton);
        QVERIFY(saved(w));

        QCOMPARE(f.dialogs.messageTexts(), QStringList{QStringLiteral("Done.")});
        QCOMPARE(f.dialogs.messages.first().kind, FakeDialogs::Message::Inform);
        QCOMPARE(contentOf(QDir(out).filePath(QStringLiteral("a.mp3"))), QByteArray("AAA"));
        QCOMPARE(contentOf(QDir(out).filePath(QStringLiteral("b.mp3"))), QByteArray("BBB"));
        QCOMPARE(contentOf(QDir(out).filePath(QStringLiteral("a (2).mp3"))), QByteArray("CCC"));
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden).size(), 4);
        QVERIFY(QFile::exists(QDir(out).filePath(livePart)));
        QFile::remove(QDir(out).filePath(livePart));
        // The temporary files stay until the user leaves the window.
        for (const QString &file : TestKit::convertedFiles(w))
            QVERIFY(QFile::exists(file));

        // Saved again where b.mp3 is one of the batch's sources: that file stays as it is.
        w->showResults(TestKit::convertedSet({u"b.mp3"_s}, {f.tempFile(u"zurvek44444444.mp3"_s, "BBB")},
                                             {QDir(out).filePath(u"b.mp3"_s)}));
        QTest::mouseClick(f.button("PushButton6"), Qt::LeftButton);
        QVERIFY(saved(w));
        QCOMPARE(contentOf(QDir(out).filePath(QStringLiteral("b.mp3"))), QByteArray("BBB"));
        QCOMPARE(contentOf(QDir(out).filePath(QStringLiteral("b (2).mp3"))), QByteArray("BBB"));
        QCOMPARE(f.dialogs.messages.last().details, QStringLiteral("b.mp3 is one of the sources, so it was saved as b (2).mp3"));
    }

    void savingIntoNoUsableFolderOnlyWarns_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("missing") << QStringLiteral("/no/such/folder/anywhere/");
        QTest::newRow("empty") << QStringLiteral("");
        QTest::newRow("a file, not a folder") << QStringLiteral("FILE");
    }
    void savingIntoNoUsableFolderOnlyWarns()
    {
        QFETCH(QString, text);
        Fixture f;
        ResultsWindow *w = f.load();
        const QString temp = f.tempFile(QStringLiteral("zurvek11111111.mp3"), "AAA");
        w->showResults(TestKit::convertedSet({u"a.mp3"_s}, {temp}));
        f.box()->setText(text == QStringLiteral("FILE") ? temp : text);
        QTest::mouseClick(f.button("PushButton6"), Qt::LeftButton);
        QVERIFY(saved(w));
        QCOMPARE(f.dialogs.messageTexts(), QStringList{QStringLiteral("Output folder not exists.")});
        QCOMPARE(f.dialogs.messages.first().kind, FakeDialogs::Message::Warn);
    }

    void aFailedSaveKeepsWhatWasThere()
    {
        Fixture f;
        ResultsWindow *w = f.load();
        const QString lost = f.tempFile(QStringLiteral("zurvek11111111.mp3"), "NEW");
        w->showResults(TestKit::convertedSet({u"a.mp3"_s, u"b.mp3"_s, u"c.mp3"_s},
                                             {lost, f.tempFile(u"zurvek22222222.mp3"_s, "BBB"), f.tempFile(u"zurvek33333333.mp3"_s, "CCC")}));
        const QString out = f.folder(QStringLiteral("out"));
        QFile old(QDir(out).filePath(QStringLiteral("a.mp3")));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("OLD");
        old.close();
        // A folder where c.mp3 should go cannot be replaced by a file.
        QVERIFY(QDir(out).mkdir(QStringLiteral("c.mp3")));
        QFile::remove(lost);

        f.box()->setText(out);
        QTest::mouseClick(f.button("PushButton6"), Qt::LeftButton);
        QVERIFY(saved(w));

        QCOMPARE(f.dialogs.messages.size(), 1);
        QCOMPARE(f.dialogs.messages.first().kind, FakeDialogs::Message::Warn);
        QVERIFY(f.dialogs.messages.first().text.startsWith(QStringLiteral("2 of 3")));
        QVERIFY(f.dialogs.messages.first().details.contains(QStringLiteral("a.mp3")));
        QVERIFY(f.dialogs.messages.first().details.contains(QStringLiteral("c.mp3")));
        QCOMPARE(contentOf(QDir(out).filePath(QStringLiteral("a.mp3"))), QByteArray("OLD"));
        QCOMPARE(contentOf(QDir(out).filePath(QStringLiteral("b.mp3"))), QByteArray("BBB"));
        QVERIFY(QFileInfo(QDir(out).filePath(QStringLiteral("c.mp3"))).isDir());
        // No half-written file is left in the output folder.
        QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 3);
        QVERIFY(QFile::exists(TestKit::convertedFiles(w).at(2)));
    }

    void clickingARowPlaysItsFile()
    {
        if (TestKit::underWine())
            QSKIP("wine's media playback needs a sound card");
        Fixture f;
        ResultsWindow *w = f.load();
        // Rows are the converted sources: the second row is the third source.
        ResultSet *set = TestKit::convertedSet({u"a.mp3"_s, u"failed.mp3"_s, u"b.mp3"_s},
                                               {f.tempFile(u"zurvek11111111.mp3"_s, "A"), QString(), f.tempFile(u"zurvek22222222.mp3"_s, "B")});
        FileResult failed = set->at(1);
        failed.status = FileStatus::Failed;
        set->record(failed);
        w->showResults(set);
        QCOMPARE(TestKit::rows(w), (QStringList{u"a.mp3"_s, u"b.mp3"_s}));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        auto *list = w->findChild<FileListView *>(QStringLiteral("ListView1"));
        const QRect second = list->visualRect(list->model()->index(1, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, second.center());
        QCOMPARE(w->playingFile(), QDir::fromNativeSeparators(set->at(2).tempPath));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, second.center());
        QCOMPARE(w->playingFile(), QDir::fromNativeSeparators(set->at(2).tempPath));
        // An arrow key previews the row it moves to, as a click does.
        QTest::keyClick(list, Qt::Key_Up);
        QCOMPARE(w->playingFile(), QDir::fromNativeSeparators(set->at(0).tempPath));
        // Stop keeps the row's file, stopped, and the window answers at once.
        auto *controls = w->findChild<PlayerControls *>(QStringLiteral("WindowsMediaPlayer1"));
        QTest::mouseClick(controls->findChild<QToolButton *>(QStringLiteral("stop")), Qt::LeftButton);
        QCOMPARE(w->findChild<QMediaPlayer *>()->playbackState(), QMediaPlayer::StoppedState);
        QCOMPARE(w->playingFile(), QDir::fromNativeSeparators(set->at(0).tempPath));
        // A click on the position bar jumps to the clicked place, not a page step on.
        controls->setDuration(60000);
        auto *bar = controls->findChild<QSlider *>(QStringLiteral("position"));
        QSignalSpy seeks(controls, &PlayerControls::seekRequested);
        QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() * 3 / 4, bar->height() / 2));
        QCOMPARE(seeks.size(), 1);
        QVERIFY(qAbs(seeks.first().first().toLongLong() - 45000) < 3000);
        // A player error is shown quietly, no message box, with what kind it is and the player's
        // own words: the row's file is no MP3.
        QTRY_VERIFY_WITH_TIMEOUT(controls->findChild<QLabel *>(QStringLiteral("error"))->text().startsWith(
                                     QStringLiteral("This file cannot be played: ")), 20000);
        QVERIFY(f.dialogs.messages.isEmpty());
    }

    // The copies run beside the event loop: it keeps turning, and the ways out wait.
    void savingKeepsTheWindowAnswering()
    {
        Fixture f;
        ResultsWindow *w = f.load();
        QStringList names;
        QStringList temps;
        for (int i = 0; i < 50; ++i) {
            names.append(QStringLiteral("song %1.mp3").arg(i));
            temps.append(f.tempFile(QStringLiteral("zurvek%1.mp3").arg(11111111 + i), QByteArray(256 * 1024, 'x')));
        }
        w->showResults(TestKit::convertedSet(names, temps));
        const QString out = f.folder(QStringLiteral("out"));
        f.box()->setText(out);
        QTest::mouseClick(f.button("PushButton6"), Qt::LeftButton);
        QVERIFY(w->isSaving());
        QVERIFY(!f.button("PushButton8")->isEnabled());
        // Each saved file's report reaches the window through its event loop, queued before
        // the end of the save: the loop turned while saving however fast the disk is.
        int turnsWhileSaving = 0;
        auto *job = w->findChild<ResultSet *>();
        QVERIFY(job);
        connect(job, &ResultSet::progress, w, [&] { turnsWhileSaving += w->isSaving() ? 1 : 0; });
        QVERIFY(saved(w));
        QVERIFY(turnsWhileSaving > 0);
        QVERIFY(f.button("PushButton8")->isEnabled());
        QCOMPARE(f.button("PushButton6")->text(), QStringLiteral("Save Results"));
        QCOMPARE(QDir(out).entryList(QDir::Files).size(), 50);
        QCOMPARE(f.dialogs.messageTexts(), QStringList{QStringLiteral("Done.")});
    }

    void theFaceDrawsThePictureAndAClickSeeks()
    {
#ifdef Q_OS_WIN
        QSKIP("the Windows package's decoder has no test signal and no raw float output to draw from");
#endif
        Fixture f;
        ResultsWindow *w = f.load(qEnvironmentVariable("QUORVANE_APP_DIR"));
        const QStringList files = musicAndMp3(f.dir.path(), 64);
        QCOMPARE(files.size(), 2);
        w->showResults(TestKit::convertedSet({u"music.mp3"_s, u"broken.mp3"_s},
                                             {files.at(1), f.tempFile(u"zurvek22222222.mp3"_s, "B")}, {files.at(0)}));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        auto *view = w->findChild<SonogramView *>(QStringLiteral("spectrum"));
        // A file that cannot be decoded keeps the face as it is.
        w->playResult(1);
        w->playResult(0);
        QTRY_VERIFY_WITH_TIMEOUT(view->keptText().contains(QStringLiteral("source")), 20000);
        QVERIFY(view->isVisible());
        const QRegularExpression kept(QStringLiteral("^Highest frequency kept: source 2[12]\\.\\d kHz, MP3 1[01]\\.\\d kHz$"));
        QVERIFY2(kept.match(view->keptText()).hasMatch(), qPrintable(view->keptText()));
        QSet<QRgb> colours;
        const QImage shot = view->grab().toImage();
        for (int y = 0; y < shot.height(); y += 2)
            for (int x = 0; x < shot.width(); x += 2)
                colours.insert(shot.pixel(x, y));
        QVERIFY2(colours.size() > 100, qPrintable(QString::number(colours.size())));

        // The player's length, where its decoder and sink give one, replaces the picture's;
        // set here (no event comes in between), so the place does not depend on the plugins.
        view->setDuration(1000);
        QSignalSpy seek(view, &SonogramView::seekRequested);
        QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(view->width() / 2, view->height() * 3 / 4));
        QCOMPARE(seek.size(), 1);
        QVERIFY(qAbs(seek.first().first().toLongLong() - 530) < 80);
        // Only the pictures take a click, and only they offer one.
        const QPoint legend(view->width() / 2, view->height() - 2);
        for (const QPoint at : {legend, QPoint(view->width() / 2, view->height() * 3 / 4)}) {
            QTest::mouseMove(view, at);
            QHelpEvent help(QEvent::ToolTip, at, view->mapToGlobal(at));
            QCoreApplication::sendEvent(view, &help);
            QCOMPARE(view->cursor().shape() == Qt::PointingHandCursor, at != legend);
            QCOMPARE(QToolTip::text() == QStringLiteral("Click to play from there"), at != legend);
        }
        QTest::mouseClick(view, Qt::LeftButton, {}, legend);
        QCOMPARE(seek.size(), 1);

        w->playResult(1);
        QVERIFY(!view->isVisible());
    }

    void backDeletesTheTemporaryFiles()
    {
        Fixture f;
        ResultsWindow *w = f.load();
        const QString a = f.tempFile(QStringLiteral("zurvek11111111.mp3"), "A");
        const QString b = f.tempFile(QStringLiteral("zurvek22222222.mp3"), "B");
        w->showResults(TestKit::convertedSet({u"a.mp3"_s, u"b.mp3"_s}, {a, b}));
        const QString out = f.folder(QStringLiteral("out"));
        f.box()->setText(out);
        QTest::mouseClick(f.button("PushButton6"), Qt::LeftButton);
        QVERIFY(saved(w));
        w->playResult(0);
        QFile::remove(b); // someone else got there first: skipped quietly

        QSignalSpy back(w, &ResultsWindow::backRequested);
        QTest::mouseClick(f.button("PushButton8"), Qt::LeftButton);
        QCOMPARE(back.size(), 1);
        QVERIFY(!QFile::exists(a));
        QVERIFY(w->playingFile().isEmpty());
        // The saved copies are not touched.
        QVERIFY(QFile::exists(QDir(out).filePath(QStringLiteral("a.mp3"))));
        QCOMPARE(f.dialogs.messageTexts(), QStringList{QStringLiteral("Done.")});
    }

    void closingDeletesTheTemporaryFiles()
    {
        Fixture f;
        ResultsWindow *w = f.load();
        const QString a = f.tempFile(QStringLiteral("zurvek11111111.mp3"), "A");
        w->showResults(TestKit::convertedSet({u"a.mp3"_s}, {a}));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        // "Save Results" has the focus when the window shows.
        QCOMPARE(w->focusWidget(), f.button("PushButton6"));
        w->close();
        QVERIFY(!QFile::exists(a));
    }
};

QUORVANE_TEST_MAIN(TestResultsWindow)
#include "tst_resultswindow.moc"
