#include "fakes.h"
#include "testmain.h"

#include "app/mainwindow.h"
#include "shell/settingsstore.h"
#include "app/windows.h"
#include "filelist/filelistview.h"
#include "filelist/pathlistmodel.h"

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

// The main window's source list with 100,000 rows, appended in one go and delivered by a
// folder walk of a generated tree. The window must keep working: its event loop runs (a
// timer fires, a wait returns), it paints, and selecting, removing a row and Clear List do
// what they do on a short list. Built with fake dialogs and settings in a temporary file.
class TestBigList : public QObject
{
    Q_OBJECT

private:
    static constexpr int kRows = 100000;

    struct Fixture : TestServices
    {
        std::unique_ptr<Windows> windows;
        MainWindow *window = nullptr;

        MainWindow *start()
        {
            QDir(dir.path()).mkpath(QStringLiteral("app"));
            QDir(dir.path()).mkpath(QStringLiteral("tmp"));
            windows = std::make_unique<Windows>(services(QDir::toNativeSeparators(dir.filePath(QStringLiteral("app"))),
                                                         QDir::toNativeSeparators(dir.filePath(QStringLiteral("tmp")))));
            window = windows->main();
            windows->startUp();
            window->show();
            return window;
        }
        FileListView *list() const { return window->findChild<FileListView *>(QStringLiteral("ListView1")); }
        PathListModel *rows() const { return qobject_cast<PathListModel *>(list()->model()); }
        QPushButton *button(const char *name) const
        {
            return window->findChild<QPushButton *>(QString::fromLatin1(name));
        }
    };

    // The event loop runs: a timer started now fires again and again, and a wait returns.
    static void checkEventsFlow()
    {
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, &timer, [&ticks] { ++ticks; });
        timer.start(5);
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 3, 30000);
        QTest::qWait(20);
        timer.stop();
    }

    static void selectRow(FileListView *list, int row)
    {
        const QModelIndex index = list->model()->index(row, 0);
        list->setCurrentIndex(index);
        list->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        list->scrollTo(index);
    }

    // What a user does with the long list: scroll to its end, select there and in the middle,
    // remove both rows with Delete, then empty it with Clear List.
    static void checkListWorks(Fixture &f)
    {
        FileListView *list = f.list();
        PathListModel *rows = f.rows();
        const int count = rows->count();
        QCOMPARE(list->model()->rowCount(), count);
        list->setFocus();
        QVERIFY(!f.window->grab().isNull());   // paints with all rows

        selectRow(list, 0);
        QTest::keyClick(list, Qt::Key_End);     // the keyboard reaches the last row
        QCOMPARE(list->currentIndex().row(), count - 1);
        selectRow(list, count - 1);
        QCOMPARE(list->selectedRow(), count - 1);
        const QString beforeLast = rows->at(count - 2);
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(rows->count(), count - 1);
        QCOMPARE(rows->at(count - 2), beforeLast);
        checkEventsFlow();

        const int middle = count / 2;
        const QString next = rows->at(middle + 1);
        selectRow(list, middle);
        QCOMPARE(list->selectedRow(), middle);
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(rows->count(), count - 2);
        QCOMPARE(rows->at(middle), next);
        QVERIFY(!f.window->grab().isNull());
        checkEventsFlow();

        QTest::mouseClick(f.button("PushButton4"), Qt::LeftButton);   // Clear List
        QCOMPARE(rows->count(), 0);
        QCOMPARE(list->model()->rowCount(), 0);
        QCOMPARE(list->selectedRow(), -1);
        checkEventsFlow();
    }

private slots:
    void appendedInOneGo()
    {
        Fixture f;
        QVERIFY(f.dir.isValid());
        f.start();
        QVERIFY(QTest::qWaitForWindowExposed(f.window));

        QStringList paths;
        paths.reserve(kRows);
        for (int i = 0; i < kRows; ++i) {
            paths.append(QDir::toNativeSeparators(
                QStringLiteral("/music/album %1/song %2.m4a").arg(i / 1000, 3, 10, QLatin1Char('0')).arg(i, 6, 10, QLatin1Char('0'))));
        }
        f.dialogs.openAnswers.push_back(paths);
        QTest::mouseClick(f.button("PushButton1"), Qt::LeftButton);   // Add M4A File(s)
        checkEventsFlow();
        QCOMPARE(f.rows()->rows(), paths);

        checkListWorks(f);
    }

    void deliveredByAFolderWalk()
    {
        Fixture f;
        QVERIFY(f.dir.isValid());
        // 100 folders of 1,000 sources each (empty files: the walk only lists names).
        const QDir music(f.dir.filePath(QStringLiteral("Music")));
        QSet<QString> expected;
        for (int d = 0; d < kRows / 1000; ++d) {
            const QString folder = QStringLiteral("album %1").arg(d, 3, 10, QLatin1Char('0'));
            QVERIFY(music.mkpath(folder));
            for (int i = 0; i < 1000; ++i) {
                const QString path = music.filePath(folder + QStringLiteral("/song %1.m4a").arg(i, 4, 10, QLatin1Char('0')));
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly));
                expected.insert(QDir::toNativeSeparators(path));
            }
        }
        f.start();
        QVERIFY(QTest::qWaitForWindowExposed(f.window));

        // The walk runs off the event thread: a marker posted before the click is delivered while
        // the walk is still under way (the hourglass up, no row yet), however fast the machine,
        // as the walk's rows come back through the event loop too, behind it.
        bool markerSawTheWalk = false;
        QMetaObject::invokeMethod(
            this, [&] { markerSawTheWalk = f.window->cursor().shape() == Qt::WaitCursor && f.rows()->count() == 0; },
            Qt::QueuedConnection);
        f.dialogs.folderAnswers.push_back(QDir::toNativeSeparators(music.path()));
        QTest::mouseClick(f.button("PushButton3"), Qt::LeftButton);   // Add All M4A File(s) In Folder
        QTRY_COMPARE_WITH_TIMEOUT(f.rows()->count(), kRows, 120000);
        QVERIFY(markerSawTheWalk);
        QCOMPARE(f.window->cursor().shape(), Qt::ArrowCursor);

        const QStringList rows = f.rows()->rows();
        QCOMPARE(rows.size(), kRows);
        QCOMPARE(QSet<QString>(rows.cbegin(), rows.cend()), expected);   // each once
        checkEventsFlow();
        checkListWorks(f);
    }
};

QUORVANE_TEST_MAIN(TestBigList)
#include "tst_biglist.moc"
