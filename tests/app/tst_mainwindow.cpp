#include "fakes.h"
#include "testkit.h"
#include "testmain.h"

#include "app/mainwindow.h"
#include "shell/instancechannel.h"
#include "shell/settingsstore.h"
#include "app/windows.h"
#include "convert/engine/toolcommands.h"
#include "filelist/filelistview.h"
#include "filelist/pathlistmodel.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLocalSocket>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

// The main window built with fake dialogs, a fake launcher and settings in a
// temporary file; nothing here opens a real dialog or touches the user's settings.
class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    struct Fixture : TestServices
    {
        std::unique_ptr<Windows> windows;
        MainWindow *window = nullptr;
        int roll = 50;

        explicit Fixture(const QString &storedBitrate = {})
        {
            if (!storedBitrate.isNull())
                settings->write(SettingsStore::KeyBitrate, storedBitrate);
        }
        MainWindow *start()
        {
            QDir(dir.path()).mkpath(QStringLiteral("app"));
            QDir(dir.path()).mkpath(QStringLiteral("tmp"));
            windows = std::make_unique<Windows>(services(QDir::toNativeSeparators(dir.filePath(QStringLiteral("app"))),
                                                           QDir::toNativeSeparators(dir.filePath(QStringLiteral("tmp"))),
                                                           1, [this] { return roll; }));
            window = windows->main();
            windows->startUp();
            return window;
        }
        QString appFolder() const { return dir.filePath(QStringLiteral("app")); }
        QComboBox *combo() const { return window->findChild<QComboBox *>(QStringLiteral("Combo1")); }
        FileListView *list() const { return window->findChild<FileListView *>(QStringLiteral("ListView1")); }
        QPushButton *button(const char *name) const
        {
            return window->findChild<QPushButton *>(QString::fromLatin1(name));
        }
        QStringList rows() const { return qobject_cast<PathListModel *>(list()->model())->rows(); }
        // Rows as the user adds them, through the file dialog.
        void add(const QStringList &paths)
        {
            dialogs.openAnswers.push_back(paths);
            QTest::mouseClick(button("PushButton1"), Qt::LeftButton);
        }
        // The hourglass shows while folder walks are under way; they report back through the event loop.
        bool isBusy() const { return window->cursor().shape() == Qt::WaitCursor; }
    };

    static void selectRow(FileListView *list, int row)
    {
        list->selectionModel()->select(list->model()->index(row, 0),
                                       QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

private slots:
    void windowIsBuiltAsDesigned()
    {
        Fixture f;
        MainWindow *w = f.start();
        QCOMPARE(w->windowTitle(), QStringLiteral("Quorvane"));
        QCOMPARE(w->minimumSize(), w->maximumSize());

        // The program's bitrates in their order, each with its value, the default picked.
        QStringList offered;
        QStringList expected;
        for (int i = 0; i < f.combo()->count(); ++i)
            offered.append(f.combo()->itemText(i) + u'=' + f.combo()->itemData(i).toString());
        for (int rate : Tools::bitrates())
            expected.append(Tools::bitrateText(rate) + u'=' + QString::number(rate));
        QCOMPARE(offered, expected);
        QCOMPARE(f.combo()->currentText(), Tools::defaultBitrateText());
        QVERIFY(!f.combo()->isEditable());

        FileListView *list = f.list();
        QCOMPARE(list->model()->columnCount(), 1);
        QCOMPARE(list->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("M4A File(s)"));
        QVERIFY(!list->isHeaderHidden());
        QVERIFY(list->toolTip().startsWith(QStringLiteral("Drag and drop files here.")));

        const QList<std::pair<const char *, QString>> captions = {
            {"PushButton1", QStringLiteral("Add M4A File(s)")},
            {"PushButton2", QStringLiteral("Start Converting")},
            {"PushButton3", QStringLiteral("Add All M4A File(s) In Folder")},
            {"PushButton4", QStringLiteral("Clear List")},
            {"PushButton5", QStringLiteral("Load Sample/Example Files")}};
        auto *frame = w->findChild<QGroupBox *>(QStringLiteral("Frame2"));
        auto *progress = w->findChild<QProgressBar *>(QStringLiteral("ProgressBar1"));
        QList<QWidget *> controls = {list, frame, progress};
        for (const auto &[name, caption] : captions) {
            QVERIFY2(f.button(name), name);
            QCOMPARE(f.button(name)->text(), caption);
            controls.append(f.button(name));
        }
        QCOMPARE(frame->title(), QStringLiteral("KBPS"));
        QCOMPARE(progress->value(), 0);
        // Every control lies inside the window, none over another; the combo box inside its frame.
        for (qsizetype i = 0; i < controls.size(); ++i) {
            const QRect one = controls.at(i)->geometry();
            QVERIFY2(w->rect().contains(one), qPrintable(controls.at(i)->objectName()));
            for (qsizetype j = 0; j < i; ++j)
                QVERIFY2(!one.intersects(controls.at(j)->geometry()),
                         qPrintable(controls.at(i)->objectName() + u' ' + controls.at(j)->objectName()));
        }
        QVERIFY(frame->rect().contains(f.combo()->geometry()));
        // The focus holder lies outside the client area.
        QVERIFY(f.button("Command1")->geometry().right() < 0);
    }

    void bitrateIsRestored_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("nothing stored") << QString() << Tools::defaultBitrateText();
        QTest::newRow("320") << QStringLiteral("320 kbps") << QStringLiteral("320 kbps");
        QTest::newRow("8") << QStringLiteral("8 kbps") << QStringLiteral("8 kbps");
        QTest::newRow("garbage") << QStringLiteral("fast please") << Tools::defaultBitrateText();
        QTest::newRow("empty") << QStringLiteral("") << Tools::defaultBitrateText();
        QTest::newRow("not one of the list") << QStringLiteral("129 kbps") << Tools::defaultBitrateText();
    }
    void bitrateIsRestored()
    {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        Fixture f(stored);
        QFile file(f.dir.filePath(QStringLiteral("settings.ini")));
        const QByteArray before = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        file.close();
        f.start();
        f.windows->results(); // built at idle after the start
        QCOMPARE(f.combo()->currentText(), shown);
        // Nothing is written at start-up: an unknown value stays until the user picks.
        QCOMPARE(file.exists(), !stored.isNull());
        QVERIFY(!file.exists() || (file.open(QIODevice::ReadOnly) && file.readAll() == before));
    }

    void aPickedBitrateIsStoredAtOnce()
    {
        Fixture f;
        f.start();
        f.combo()->setCurrentIndex(f.combo()->findText(QStringLiteral("320 kbps")));
        QCOMPARE(f.settings->read(SettingsStore::KeyBitrate, QString()), QStringLiteral("320 kbps"));
        f.combo()->setCurrentIndex(0);
        QCOMPARE(f.settings->read(SettingsStore::KeyBitrate, QString()), QStringLiteral("8 kbps"));
        // The next start shows the last pick.
        f.windows.reset();
        f.start();
        QCOMPARE(f.combo()->currentText(), QStringLiteral("8 kbps"));
    }

    void homePageOpensOnOneStartInAHundred_data()
    {
        QTest::addColumn<int>("roll");
        QTest::addColumn<bool>("opens");
        QTest::newRow("1") << 1 << false;
        QTest::newRow("6") << 6 << false;
        QTest::newRow("7") << 7 << true;
        QTest::newRow("100") << 100 << false;
    }
    void homePageOpensOnOneStartInAHundred()
    {
        QFETCH(int, roll);
        QFETCH(bool, opens);
        Fixture f;
        f.roll = roll;
        f.start();
        QCOMPARE(f.launcher.opened.size(), opens ? 1 : 0);
        if (opens)
            QCOMPARE(f.launcher.opened.first(), QUrl(Windows::HomePageUrl));
    }

    void aDamagedHandCursorDoesNotStopTheStart()
    {
        Fixture f;
        QDir(f.dir.path()).mkpath(QStringLiteral("app"));
        QFile cursor(QDir(f.appFolder()).filePath(QStringLiteral("HAND-M.CUR")));
        QVERIFY(cursor.open(QIODevice::WriteOnly));
        cursor.write("not a cursor at all");
        cursor.close();
        MainWindow *w = f.start();
        QCOMPARE(w->windowTitle(), QStringLiteral("Quorvane"));
        QCOMPARE(f.combo()->count(), Tools::bitrates().size());
    }

    void filesChosenInTheDialogAreAppended_data()
    {
        QTest::addColumn<QList<QStringList>>("answers");
        QTest::addColumn<QStringList>("rows");
        const QString a = QDir::toNativeSeparators(QStringLiteral("/music/a.m4a"));
        const QString b = QDir::toNativeSeparators(QStringLiteral("/music/b.m4a"));
        const QString rootA = QDir::toNativeSeparators(QStringLiteral("/a.m4a"));
        const QString rootB = QDir::toNativeSeparators(QStringLiteral("/b.m4a"));
        QTest::newRow("single file") << QList<QStringList>{{a}} << QStringList{a};
        QTest::newRow("several files, dialog order") << QList<QStringList>{{b, a}} << QStringList{b, a};
        QTest::newRow("files at the root") << QList<QStringList>{{rootA, rootB}} << QStringList{rootA, rootB};
        QTest::newRow("cancel") << QList<QStringList>{{}} << QStringList{};
        QTest::newRow("cancel keeps earlier rows") << QList<QStringList>{{a}, {}} << QStringList{a};
        QTest::newRow("same file twice") << QList<QStringList>{{a}, {a}} << QStringList{a, a};
    }
    void filesChosenInTheDialogAreAppended()
    {
        QFETCH(QList<QStringList>, answers);
        QFETCH(QStringList, rows);
        Fixture f;
        f.start();
        for (const QStringList &answer : answers) {
            f.dialogs.openAnswers.push_back(answer);
            QTest::mouseClick(f.button("PushButton1"), Qt::LeftButton);
        }
        QCOMPARE(f.rows(), rows);
        QCOMPARE(f.dialogs.openTitles.first(),
                 QStringLiteral("Add File(s) - Hold Ctrl or Shift to select multiple files"));
        QCOMPARE(f.dialogs.openFilters.first(), QStringLiteral("MPEG 4 Audio Files (*.m4a)"));
        for (const QString &row : f.rows())
            QVERIFY2(!row.contains(QDir::separator() + QString(QDir::separator())), qPrintable(row));
    }

    void removingRows_data()
    {
        QTest::addColumn<int>("selected");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("delete") << 1 << int(Qt::Key_Delete) << int(Qt::NoModifier) << QStringList{u"a"_qs, u"c"_qs};
        QTest::newRow("shift+delete") << 0 << int(Qt::Key_Delete) << int(Qt::ShiftModifier)
                                      << QStringList{u"b"_qs, u"c"_qs};
        QTest::newRow("ctrl+alt+delete") << 2 << int(Qt::Key_Delete) << int(Qt::ControlModifier | Qt::AltModifier)
                                         << QStringList{u"a"_qs, u"b"_qs};
        QTest::newRow("other key") << 1 << int(Qt::Key_Backspace) << int(Qt::NoModifier)
                                   << QStringList{u"a"_qs, u"b"_qs, u"c"_qs};
        QTest::newRow("nothing selected") << -1 << int(Qt::Key_Delete) << int(Qt::NoModifier)
                                          << QStringList{u"a"_qs, u"b"_qs, u"c"_qs};
    }
    void removingRows()
    {
        QFETCH(int, selected);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QStringList, rows);
        Fixture f;
        f.start();
        f.add({u"a"_qs, u"b"_qs, u"c"_qs});
        if (selected >= 0)
            selectRow(f.list(), selected);
        QTest::keyClick(f.list(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(f.rows(), rows);
    }

    void doubleClickRemovesTheSelectedRow()
    {
        Fixture f;
        f.start();
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window));
        // On an empty list a double-click does nothing and says nothing.
        QTest::mouseDClick(f.list()->viewport(), Qt::LeftButton);
        QVERIFY(f.rows().isEmpty());

        f.add({u"a"_qs, u"b"_qs});
        const QRect second = f.list()->visualRect(f.list()->model()->index(1, 0));
        QTest::mouseClick(f.list()->viewport(), Qt::LeftButton, {}, second.center());
        QTest::mouseDClick(f.list()->viewport(), Qt::LeftButton, {}, second.center());
        QCOMPARE(f.rows(), QStringList{u"a"_qs});
        QVERIFY(f.dialogs.messages.isEmpty());
    }

    void clearThenAdd()
    {
        Fixture f;
        f.start();
        QTest::mouseClick(f.button("PushButton4"), Qt::LeftButton); // empty list: nothing happens
        f.add({u"a"_qs, u"b"_qs});
        QTest::mouseClick(f.button("PushButton4"), Qt::LeftButton);
        QVERIFY(f.rows().isEmpty());
        f.dialogs.openAnswers.push_back({u"c"_qs});
        QTest::mouseClick(f.button("PushButton1"), Qt::LeftButton);
        QCOMPARE(f.rows(), QStringList{u"c"_qs});
        QVERIFY(f.dialogs.messages.isEmpty());
    }

    void startingWithAnEmptyListSaysSo()
    {
        Fixture f;
        f.start();
        QTest::mouseClick(f.button("PushButton2"), Qt::LeftButton);
        QCOMPARE(f.dialogs.messageTexts(), QStringList{QStringLiteral("No files added.")});
        QCOMPARE(f.window->findChild<QProgressBar *>(QStringLiteral("ProgressBar1"))->value(), 0);
        QVERIFY(!f.window->isConverting());
    }

    void samplesAreAppendedThenTheFolderIsOffered_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::newRow("yes opens the folder") << true;
        QTest::newRow("no opens nothing") << false;
    }
    void samplesAreAppendedThenTheFolderIsOffered()
    {
        QFETCH(bool, yes);
        Fixture f;
        QDir app(f.dir.filePath(QStringLiteral("app")));
        QVERIFY(app.mkpath(QStringLiteral("Samples/inner")));
        for (const char *name : {"one.m4a", "~two.m4a"}) {
            QFile file(app.filePath(QStringLiteral("Samples/") + QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QFile inner(app.filePath(QStringLiteral("Samples/inner/deep.m4a")));
        QVERIFY(inner.open(QIODevice::WriteOnly));
        f.start();
        f.dialogs.yesNoAnswer = yes;

        QTest::mouseClick(f.button("PushButton5"), Qt::LeftButton);
        QTest::mouseClick(f.button("PushButton5"), Qt::LeftButton);

        const QString samples = QDir::toNativeSeparators(app.filePath(QStringLiteral("Samples")));
        const QString one = samples + QDir::separator() + QStringLiteral("one.m4a");
        const QString two = samples + QDir::separator() + QStringLiteral("~two.m4a");
        QCOMPARE(f.rows(), (QStringList{one, two, one, two}));
        QCOMPARE(f.dialogs.messages.size(), 2);
        QCOMPARE(f.dialogs.messages.first().kind, FakeDialogs::Message::Question);
        QCOMPARE(f.dialogs.messages.first().text,
                 QStringLiteral("Would you like this software to open the folder where the sample files are stored "
                                "so that you can view them before the conversion?"));
        QCOMPARE(f.launcher.opened.size(), yes ? 2 : 0);
        if (yes)
            QCOMPARE(f.launcher.opened.first(), QUrl::fromLocalFile(samples));
    }

    void aFolderTreeIsAddedLevelByLevel()
    {
        Fixture f;
        QDir root(f.dir.filePath(QStringLiteral("Music")));
        QVERIFY(root.mkpath(QStringLiteral("A/A1")));
        QVERIFY(root.mkpath(QStringLiteral("B")));
        for (const char *name : {"top.m4a", "A/a.M4A", "A/A1/deep.m4a", "B/b.m4a", "B/notes.txt", "~skip.m4a"}) {
            QFile file(root.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        f.start();
        f.dialogs.folderAnswers.push_back(QString()); // cancel first
        QTest::mouseClick(f.button("PushButton3"), Qt::LeftButton);
        QVERIFY(!f.window->isWalking());
        QVERIFY(f.rows().isEmpty());

        f.dialogs.folderAnswers.push_back(QDir::toNativeSeparators(root.path()));
        QTest::mouseClick(f.button("PushButton3"), Qt::LeftButton);
        QVERIFY(f.isBusy());
        QTRY_VERIFY_WITH_TIMEOUT(!f.isBusy(), 10000);
        const auto native = [&](const char *rel) { return QDir::toNativeSeparators(root.filePath(QString::fromLatin1(rel))); };
        QCOMPARE(f.rows(), (QStringList{native("top.m4a"), native("A/a.M4A"), native("B/b.m4a"), native("A/A1/deep.m4a")}));
        QCOMPARE(f.dialogs.folderPrompts.last(), QStringLiteral("Please select folder to add:"));
    }

    void dropsOfLocalFilesAreTakenOthersRefused()
    {
        Fixture f;
        QDir root(f.dir.filePath(QStringLiteral("drop")));
        QVERIFY(root.mkpath(QStringLiteral("folder")));
        for (const char *name : {"a.m4a", "b.wav", "folder/x.txt", "folder/~hidden.m4a"}) {
            QFile file(root.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        f.start();
        f.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.window));
        QWidget *target = f.list()->viewport();

        const auto drop = [&](QMimeData *data) {
            QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(target, &enter);
            const bool accepted = enter.isAccepted();
            QDropEvent dropEvent(QPointF(5, 5), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(target, &dropEvent);
            return accepted;
        };

        QMimeData text;
        text.setText(QStringLiteral("just some text"));
        QVERIFY(!drop(&text));

        QMimeData web;
        web.setUrls({QUrl(QStringLiteral("https://example.com/a.m4a"))});
        QVERIFY(!drop(&web));

        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(root.filePath(QStringLiteral("b.wav"))),
                       QUrl::fromLocalFile(root.filePath(QStringLiteral("folder"))),
                       QUrl::fromLocalFile(root.filePath(QStringLiteral("a.m4a")))});
        QVERIFY(drop(&files));
        QVERIFY(f.isBusy());
        QTRY_VERIFY_WITH_TIMEOUT(!f.isBusy(), 10000);
        const auto native = [&](const char *rel) { return QDir::toNativeSeparators(root.filePath(QString::fromLatin1(rel))); };
        QCOMPARE(f.rows(), (QStringList{native("b.wav"), native("folder/x.txt"), native("a.m4a")}));
    }

    // A later start gives its paths to the running window (a name of the test's own, never
    // the user's window), and they are added as a drop would add them.
    void aSecondStartHandsItsPathsToTheFirst()
    {
#ifdef Q_OS_WIN
        QSKIP("a Windows pipe takes a write only as its other end reads, and here both ends share one thread");
#endif
        Fixture f;
        QDir root(f.dir.filePath(QStringLiteral("given")));
        QVERIFY(root.mkpath(QStringLiteral("folder")));
        for (const char *name : {"a.m4a", "folder/b.m4a"}) {
            QFile file(root.filePath(QString::fromLatin1(name)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        f.start();
        const QString name = QStringLiteral("quorvane-test-") + QUuid::createUuid().toString(QUuid::Id128);
        InstanceChannel first(name);
        QVERIFY(first.listen());
        connect(&first, &InstanceChannel::pathsArrived, f.windows.get(), &Windows::openPaths);
        QSignalSpy arrived(&first, &InstanceChannel::pathsArrived);

        const auto native = [&](const char *rel) { return QDir::toNativeSeparators(root.filePath(QString::fromLatin1(rel))); };
        const QStringList paths = {native("a.m4a"), native("folder")};
        QCOMPARE(InstanceChannel(name).handOver(paths), InstanceChannel::HandOver::Taken);
        QVERIFY(arrived.wait(10000));
        QCOMPARE(arrived.first().first().toStringList(), paths);
        QTRY_VERIFY_WITH_TIMEOUT(!f.isBusy(), 10000);
        QCOMPARE(f.rows(), (QStringList{native("a.m4a"), native("folder/b.m4a")}));
    }

    // The channel talks to this user alone: there is none without a runtime folder of the
    // user's own, a message past its bounds is neither sent nor taken, and nothing is handed
    // to another user's listener.
    void channelTalksOnlyToItsUser()
    {
#if defined(Q_OS_LINUX)
        // Without XDG_RUNTIME_DIR, Qt makes a runtime folder in the temporary folder.
        QTemporaryDir shared;
        QCOMPARE(::chmod(QFile::encodeName(shared.path()).constData(), 01777), 0);
        const QByteArray runtimeWas = qgetenv("XDG_RUNTIME_DIR");
        const QByteArray tempWas = qgetenv("TMPDIR");
        const auto restore = qScopeGuard([&] {
            qputenv("XDG_RUNTIME_DIR", runtimeWas);
            qputenv("TMPDIR", tempWas);
        });
        qunsetenv("XDG_RUNTIME_DIR");
        qputenv("TMPDIR", QFile::encodeName(shared.path()));
        const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        QVERIFY(runtime.startsWith(shared.path()));
        QVERIFY(InstanceChannel::userServerName().startsWith(runtime + QStringLiteral("/quorvane-")));
        QCOMPARE(InstanceChannel(QString()).handOver({}), InstanceChannel::HandOver::Refused);

        const QString name = QStringLiteral("quorvane-test-") + QUuid::createUuid().toString(QUuid::Id128);
        InstanceChannel window(name);
        QVERIFY(window.listen());
        QSignalSpy arrived(&window, &InstanceChannel::pathsArrived);
        QCOMPARE(InstanceChannel(name).handOver(QStringList(70000, QStringLiteral("/a"))), InstanceChannel::HandOver::Refused);
        QLocalSocket flood;
        flood.connectToServer(name);
        QVERIFY(flood.waitForConnected(10000));
        QSignalSpy hungUp(&flood, &QLocalSocket::disconnected);
        flood.write(QByteArray("\x7f\xff\xff\xff", 4) + QByteArray(1 << 20, 'a'));
        QVERIFY(hungUp.wait(10000));
        QVERIFY(arrived.isEmpty());

        // Another user made that folder first.
        QUORVANE_SKIP_UNLESS_ROOT();
        const QByteArray runtimeFolder = QFile::encodeName(runtime);
        QVERIFY(QDir().rmdir(runtime));
        QCOMPARE(TestKit::asOtherUser([&] { return ::mkdir(runtimeFolder.constData(), 0700); }), 0);
        QCOMPARE(InstanceChannel::userServerName(), QString());
        // A listener of the other user's reads what reaches it; it reports what it read.
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray listening = QFile::encodeName(shared.filePath(QStringLiteral("listener")));
        qstrncpy(address.sun_path, listening.constData(), sizeof address.sun_path);
        int ready[2];
        QCOMPARE(::pipe(ready), 0);
        const pid_t listener = TestKit::startAsOtherUser([&] {
            const int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::bind(server, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 || ::listen(server, 1) != 0
                || ::write(ready[1], "!", 1) != 1)
                return 2;
            char byte = 0;
            const int peer = ::accept(server, nullptr, nullptr);
            return peer >= 0 && ::read(peer, &byte, 1) == 0 ? 0 : 1;
        });
        ::close(ready[1]);
        char byte = 0;
        QCOMPARE(::read(ready[0], &byte, 1), ssize_t(1));
        ::close(ready[0]);
        QCOMPARE(InstanceChannel(QFile::decodeName(listening)).handOver({QStringLiteral("/secret.m4a")}),
                 InstanceChannel::HandOver::Refused);
        QCOMPARE(TestKit::waitForChild(listener), 0);
#endif
    }

    // What two walks in a row could not take comes in one note once both have ended: a name
    // found that is not UTF-8, and one dropped (it arrives decoded with a replacement character).
    void unreadableItemsAreNamedOnceAfterTheWalks()
    {
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
        Fixture f;
        const QString drop = QDir::toNativeSeparators(f.dir.filePath(QStringLiteral("drop")));
        QVERIFY(QDir().mkpath(drop + QStringLiteral("/ok")));
        const QByteArray latin1 = QFile::encodeName(drop) + "/Caf\xe9.m4a";
        QCOMPARE(::close(::open(latin1.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600)), 0);
        const auto remove = qScopeGuard([&latin1] { ::unlink(latin1.constData()); });
        f.start();

        f.window->addDroppedPaths({drop});
        f.window->addDroppedPaths({drop + QStringLiteral("/ok"), drop + QStringLiteral("/Caf\uFFFD.m4a")});
        QVERIFY(f.isBusy());
        QTRY_VERIFY_WITH_TIMEOUT(!f.isBusy(), 10000);
        QVERIFY(f.rows().isEmpty());
        QCOMPARE(f.dialogs.messages.size(), 1);
        QCOMPARE(f.dialogs.messages.first().text,
                 QStringLiteral("2 items could not be read:\n%1/Caf\\xe9.m4a: %2\n%1/Caf\uFFFD.m4a: %2")
                     .arg(drop, QStringLiteral("its name is not valid UTF-8")));
#endif
    }
};

QUORVANE_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
