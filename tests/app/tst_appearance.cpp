#include "fakes.h"
#include "testmain.h"

#include "app/mainwindow.h"
#include "shell/appearance.h"
#include "shell/cursorfile.h"
#include "shell/settingsstore.h"
#include "shell/twips.h"
#include "app/splashwindow.h"
#include "app/windows.h"
#include "results/resultswindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QImage>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

class TestAppearance : public QObject
{
    Q_OBJECT

private:
    struct Fixture : TestServices
    {
        Fixture() { QDir(dir.path()).mkpath(QStringLiteral("app")); }
        QString app(const QString &name = {}) const { return QDir(dir.filePath(QStringLiteral("app"))).filePath(name); }
        AppServices services() { return TestServices::services(QDir::toNativeSeparators(app()), dir.path()); }
        void write(const QString &relative, const QByteArray &content) const
        {
            const QString path = app(relative);
            QDir().mkpath(QFileInfo(path).path());
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        void writePicture(const QString &relative, int width, int height) const
        {
            const QString path = app(relative);
            QDir().mkpath(QFileInfo(path).path());
            QImage image(width, height, QImage::Format_RGB32);
            image.fill(Qt::darkCyan);
            QVERIFY(image.save(path, "PNG"));
        }
    };

    static QColor background(QWidget *w) { return w->palette().color(QPalette::Window); }

    static QByteArray shippedCursor()
    {
        QFile file(QDir(qEnvironmentVariable("QUORVANE_SOURCE_DIR")).filePath(QStringLiteral("data/HAND-M.CUR")));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void skin_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("applied");
        QTest::newRow("absent") << QByteArray() << false;
        QTest::newRow("style sheet") << QByteArray("QPushButton { color: #123456; } /* {braces} */") << true;
        QTest::newRow("unbalanced") << QByteArray("QPushButton { color: red; ") << false;
        QTest::newRow("binary") << QByteArray("\xff\xfe\x00\x01{}", 6) << false;
        QTest::newRow("no rules") << QByteArray("just words") << false;
    }
    void skin()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, applied);
        Fixture f;
        if (!content.isNull())
            f.write(QStringLiteral("x/o.cjs"), content);
        Windows windows(f.services());
        MainWindow &window = *windows.main();
        windows.startUp();
        auto *frame = window.findChild<QGroupBox *>(QStringLiteral("Frame2"));
        // A file that is there recolours the window, whether or not it reads as a sheet.
        const bool present = !content.isNull();
        QCOMPARE(background(&window), present ? window.palette().color(QPalette::Button) : QColor(Qt::white));
        QCOMPARE(background(frame), present ? frame->palette().color(QPalette::Button) : QColor(Qt::white));
        QCOMPARE(window.styleSheet(), applied ? QString::fromUtf8(content) : QString());
        // The window opens whatever the file held.
        QCOMPARE(window.windowTitle(), QStringLiteral("Quorvane"));
    }

    void resultsWindowAlwaysTakesTheButtonFace()
    {
        // A button face unlike the window colour (the offscreen style paints both alike), so
        // only the window's own recolouring can make its background the face.
        const QPalette before = QApplication::palette();
        const auto restore = qScopeGuard([&] { QApplication::setPalette(before); });
        const QColor face(0x12, 0x34, 0x56);
        QApplication::setPalette(QPalette(face, Qt::white));
        Fixture f;
        ResultsWindow results(f.services());
        QCOMPARE(background(&results), face);
        QCOMPARE(background(results.findChild<QGroupBox *>(QStringLiteral("Frame1"))), face);
    }

    void centring()
    {
        // In twips: a 7200-wide window on a 19200-wide screen stands at 6000.
        QCOMPARE(Appearance::centeredPosition(QRect(0, 0, 19200, 14400), QSize(7200, 4965)), QPoint(6000, 4717));
        // A screen area that does not start at the origin (a panel on the left, a second screen).
        QCOMPARE(Appearance::centeredPosition(QRect(1920, 40, 1280, 984), QSize(472, 331)), QPoint(2324, 366));
    }

    void pointerRule_data()
    {
        QTest::addColumn<bool>("handFile");
        QTest::addColumn<bool>("busy");
        QTest::newRow("idle with the hand") << true << false;
        QTest::newRow("idle without the hand file") << false << false;
        QTest::newRow("busy") << true << true;
    }
    void pointerRule()
    {
        QFETCH(bool, handFile);
        QFETCH(bool, busy);
        Fixture f;
        if (handFile)
            f.write(QStringLiteral("HAND-M.CUR"), shippedCursor());
        Windows windows(f.services());
        MainWindow &window = *windows.main();
        windows.startUp();
        if (busy) {   // a folder walk reports back through the event loop, which does not run here
            f.dialogs.folderAnswers.push_back(f.app());
            QTest::mouseClick(window.findChild<QPushButton *>(QStringLiteral("PushButton3")), Qt::LeftButton);
        }
        auto *button = window.findChild<QPushButton *>(QStringLiteral("PushButton2"));
        if (busy) {
            // The hourglass stays wherever the mouse goes.
            QCOMPARE(window.cursor().shape(), Qt::WaitCursor);
            QVERIFY(!button->testAttribute(Qt::WA_SetCursor));
        } else {
            QVERIFY(!window.testAttribute(Qt::WA_SetCursor));
            QVERIFY(button->testAttribute(Qt::WA_SetCursor));
            QCOMPARE(button->cursor().shape(), handFile ? Qt::BitmapCursor : Qt::ArrowCursor);
            if (handFile)
                QCOMPARE(button->cursor().hotSpot(), QPoint(6, 0));
        }
    }

    void theShippedHandCursorReads()
    {
        const auto cursor = CursorFile::read(shippedCursor());
        QVERIFY(cursor);
        QCOMPARE(cursor->image.size(), QSize(32, 32));
        QCOMPARE(cursor->hotSpot, QPoint(6, 0));
        QCOMPARE(qAlpha(cursor->image.pixel(0, 0)), 0);
        QCOMPARE(cursor->image.pixel(6, 0), qRgba(0, 0, 0, 255));
        QCOMPARE(cursor->image.pixel(6, 1), qRgba(255, 255, 255, 255));
    }

    void cursorFiles_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QPoint>("hotSpot");

        // A 2 x 2 monochrome cursor: black/white palette, top-left pixel masked out.
        QByteArray mono;
        const auto put16 = [](QByteArray &b, quint16 v) { b.append(char(v & 0xff)).append(char(v >> 8)); };
        const auto put32 = [&](QByteArray &b, quint32 v) { put16(b, v & 0xffff); put16(b, v >> 16); };
        QByteArray bitmap;
        put32(bitmap, 40); put32(bitmap, 2); put32(bitmap, 4); put16(bitmap, 1); put16(bitmap, 1);
        for (int i = 0; i < 6; ++i) put32(bitmap, 0);
        bitmap.append("\x00\x00\x00\x00\xff\xff\xff\x00", 8);          // palette
        bitmap.append("\x00\x00\x00\x00\x40\x00\x00\x00", 8);          // colour rows, bottom-up
        bitmap.append("\x00\x00\x00\x00\x80\x00\x00\x00", 8);          // AND mask, bottom-up
        put16(mono, 0); put16(mono, 2); put16(mono, 1);
        mono.append(char(2)).append(char(2)).append(char(2)).append(char(0));
        put16(mono, 1); put16(mono, 1); put32(mono, quint32(bitmap.size())); put32(mono, 22);
        mono.append(bitmap);
        QTest::newRow("monochrome bitmap") << mono << true << QPoint(1, 1);

        QByteArray icon = mono;
        icon[2] = 1; // an icon, not a cursor
        QTest::newRow("icon file") << icon << false << QPoint();
        QTest::newRow("truncated") << mono.left(30) << false << QPoint();
        QTest::newRow("garbage") << QByteArray("not a cursor at all, really not") << false << QPoint();
        QTest::newRow("empty") << QByteArray() << false << QPoint();
    }
    void cursorFiles()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, valid);
        QFETCH(QPoint, hotSpot);
        const auto cursor = CursorFile::read(data);
        QCOMPARE(bool(cursor), valid);
        if (!valid)
            return;
        QCOMPARE(cursor->hotSpot, hotSpot);
        QCOMPARE(qAlpha(cursor->image.pixel(0, 0)), 0);
        QCOMPARE(cursor->image.pixel(1, 0), qRgba(255, 255, 255, 255));
        QCOMPARE(cursor->image.pixel(0, 1), qRgba(0, 0, 0, 255));
    }

    void splashDecision_data()
    {
        QTest::addColumn<QString>("showAgain");
        QTest::addColumn<QString>("folder"); // "missing", "empty", "picture", "damaged"
        QTest::addColumn<bool>("shown");
        QTest::newRow("nothing stored") << QString() << QStringLiteral("picture") << true;
        QTest::newRow("0") << QStringLiteral("0") << QStringLiteral("picture") << true;
        QTest::newRow("1") << QStringLiteral("1") << QStringLiteral("picture") << false;
        QTest::newRow("2") << QStringLiteral("2") << QStringLiteral("picture") << false;
        QTest::newRow("not a number reads as 0") << QStringLiteral("abc") << QStringLiteral("picture") << true;
        QTest::newRow("leading number") << QStringLiteral(" 1 please") << QStringLiteral("picture") << false;
        QTest::newRow("folder missing") << QStringLiteral("0") << QStringLiteral("missing") << false;
        QTest::newRow("folder empty") << QStringLiteral("0") << QStringLiteral("empty") << false;
        QTest::newRow("the file is no picture") << QStringLiteral("0") << QStringLiteral("damaged") << false;
    }
    void splashDecision()
    {
        QFETCH(QString, showAgain);
        QFETCH(QString, folder);
        QFETCH(bool, shown);
        Fixture f;
        if (!showAgain.isNull())
            f.settings->write(SettingsStore::KeyShowAgain, showAgain);
        if (folder == QStringLiteral("empty"))
            QDir(f.app()).mkdir(QStringLiteral("Splash"));
        if (folder == QStringLiteral("picture"))
            f.writePicture(QStringLiteral("Splash/b.png"), 40, 30);
        if (folder == QStringLiteral("damaged"))
            f.write(QStringLiteral("Splash/a.png"), "this is no picture");
        SplashWindow splash(f.services());
        bool done = false;
        splash.splashShow([&done] { done = true; });
        QCOMPARE(splash.isVisible(), shown);
        QCOMPARE(done, !shown);
        if (shown)
            QTRY_VERIFY_WITH_TIMEOUT(done && !splash.isVisible(), 60000);   // up for 4 s
    }

    void splashWindowTakesThePicturesSizeAndAStrip()
    {
        Fixture f;
        f.writePicture(QStringLiteral("Splash/only.png"), 400, 266);
        SplashWindow splash(f.services());
        splash.splashShow([] {});
        const int dpi = splash.logicalDpiX();
        QCOMPARE(splash.size(), QSize(400, 266 + Twips::toPixels(SplashWindow::StripTwips, dpi)));
        QVERIFY(splash.windowFlags().testFlag(Qt::FramelessWindowHint));
        auto *box = splash.findChild<QCheckBox *>(QStringLiteral("Check1"));
        QCOMPARE(box->text(), QStringLiteral("Hide this at next startup"));
        QVERIFY(box->geometry().bottom() < splash.height());
        QVERIFY(box->geometry().top() > 266 - Twips::toPixels(100, dpi));
    }

    void theBoxStoresEveryClick()
    {
        Fixture f;
        f.writePicture(QStringLiteral("Splash/only.png"), 200, 100);
        SplashWindow splash(f.services());
        splash.splashShow([] {});
        auto *box = splash.findChild<QCheckBox *>(QStringLiteral("Check1"));
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
        QCOMPARE(f.settings->read(SettingsStore::KeyShowAgain, QString()), QStringLiteral("1"));
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
        QCOMPARE(f.settings->read(SettingsStore::KeyShowAgain, QString()), QStringLiteral("0"));
    }

    void theMainWindowComesAfterTheSplash()
    {
        Fixture f;
        f.writePicture(QStringLiteral("Splash/only.png"), 200, 100);
        Windows windows(f.services());
        MainWindow &window = *windows.main();
        bool ready = false;
        windows.startUp([&] {
            ready = true;
            window.show();
        });
        QVERIFY(!ready);
        QVERIFY(!window.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(ready, 60000);   // the splash stays 4 s; a loaded machine adds to it
        QVERIFY(window.isVisible());
        // The bitrates are set up once the splash has gone.
        QCOMPARE(window.findChild<QComboBox *>(QStringLiteral("Combo1"))->currentText(), QStringLiteral("128 kbps"));
    }
};

QUORVANE_TEST_MAIN(TestAppearance)
#include "tst_appearance.moc"
