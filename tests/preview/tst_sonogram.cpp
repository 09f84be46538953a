#include "convert/scripttools.h"
#include "preview/sonogram.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace ScriptTools;

// A drawing that is no longer wanted ends its decoder at once, even one that writes nothing,
// and reports nothing.
class TestSonogram : public QObject
{
    Q_OBJECT

private slots:
    void anUnwantedDrawingEndsItsDecoder_data()
    {
        QTest::addColumn<bool>("superseded");
        QTest::newRow("a new request") << true;
        QTest::newRow("the maker goes") << false;
    }
    void anUnwantedDrawingEndsItsDecoder()
    {
        QFETCH(bool, superseded);
        QTemporaryDir dir;
        const QString pidFile = dir.filePath(QStringLiteral("pid"));
        const QString decoder = writeScript(dir.path(), QStringLiteral("decoder"),
                                            QStringLiteral("case \"$4\" in *stalls*) echo $$ > %1; exec sleep 60;; esac\n"
                                                           "exit 1").arg(shellQuoted(pidFile)));
        auto maker = std::make_unique<SonogramMaker>(decoder);
        QSignalSpy failed(maker.get(), &SonogramMaker::pictureFailed);
        maker->request({QStringLiteral("stalls.m4a")}, 100);
        QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 20000);
        if (superseded) {
            maker->request({QStringLiteral("next.m4a")}, 100);
            QVERIFY(failed.wait(20000));
            QCOMPARE(failed.first().first().toString(), QStringLiteral("next.m4a"));
        } else {
            maker.reset();
        }
        QVERIFY(!processExists(readPid(pidFile)));
    }
};

QTEST_GUILESS_MAIN(TestSonogram)
#include "tst_sonogram.moc"
