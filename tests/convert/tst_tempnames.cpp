#include "convert/tempnames.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <vector>

class TestTempNames : public QObject
{
    Q_OBJECT

private slots:
    void pathIsInTheFolderWithTheExpectedName();
    void drawsAgainWhileSomethingExists();
    void leavesAnExistingFileAlone();
    void reservedNamesAreNotHandedOutTwice();
    void recognisesTempNames_data();
    void recognisesTempNames();
};

void TestTempNames::pathIsInTheFolderWithTheExpectedName()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = reserveTempMp3Path(dir.path());
    releaseTempMp3Path(path);

    const QFileInfo info(path);
    static const QRegularExpression format(
        QRegularExpression::anchoredPattern(QStringLiteral("zurvek[1-9]{8}\\.mp3")));
    QVERIFY2(format.match(info.fileName()).hasMatch(), qPrintable(path));
    QVERIFY(isTempMp3Name(info.fileName()));
    QCOMPARE(info.absolutePath(), QDir(dir.path()).absolutePath());
    QCOMPARE(path, QDir::toNativeSeparators(dir.path()) + QDir::separator() + info.fileName());
    QVERIFY(!info.exists());   // reserving creates nothing
}

void TestTempNames::drawsAgainWhileSomethingExists()
{
    QStringList asked;
    const auto firstTwoTaken = [&asked](const QString &path) {
        asked.append(path);
        return asked.size() <= 2;
    };
    const QString path = reserveTempMp3Path(QStringLiteral("/scratch"), firstTwoTaken);
    releaseTempMp3Path(path);

    QCOMPARE(asked.size(), 3);
    QCOMPARE(path, asked.last());
}

void TestTempNames::leavesAnExistingFileAlone()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString taken;
    const auto firstTaken = [&taken](const QString &path) {
        if (!taken.isEmpty())
            return false;
        taken = path;
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write("keep") == 4;
    };
    const QString path = reserveTempMp3Path(dir.path(), firstTaken);
    releaseTempMp3Path(path);

    QVERIFY(path != taken);
    QFile file(taken);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("keep"));
}

// 9^8 names: drawing this many without the reservation would give a few duplicates almost
// surely (birthday bound), so a clean run shows that the reservation is what keeps them apart.
// Several threads draw at once, as conversions may.
void TestTempNames::reservedNamesAreNotHandedOutTwice()
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 6000;
    const auto nothingExists = [](const QString &) { return false; };

    std::vector<QStringList> drawn(kThreads);
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(QThread::create([&drawn, t, nothingExists] {
            for (int i = 0; i < kPerThread; ++i)
                drawn[t].append(reserveTempMp3Path(QStringLiteral("/scratch"), nothingExists));
        }));
        threads.back()->start();
    }
    for (auto &thread : threads)
        QVERIFY(thread->wait());

    QSet<QString> unique;
    for (const QStringList &paths : drawn) {
        for (const QString &path : paths) {
            unique.insert(path);
            releaseTempMp3Path(path);
        }
    }
    QCOMPARE(unique.size(), kThreads * kPerThread);
}

void TestTempNames::recognisesTempNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("matches");

    QTest::newRow("valid") << QStringLiteral("zurvek48213976.mp3") << true;
    QTest::newRow("all nines") << QStringLiteral("zurvek99999999.mp3") << true;
    QTest::newRow("a zero") << QStringLiteral("zurvek48213970.mp3") << false;
    QTest::newRow("seven digits") << QStringLiteral("zurvek4821397.mp3") << false;
    QTest::newRow("nine digits") << QStringLiteral("zurvek482139761.mp3") << false;
    QTest::newRow("capital prefix") << QStringLiteral("Zurvek48213976.mp3") << false;
    QTest::newRow("capital extension") << QStringLiteral("zurvek48213976.MP3") << false;
    QTest::newRow("encoder output") << QStringLiteral("zurvek48213976_128 kbps.mp3") << false;
    QTest::newRow("something in front") << QStringLiteral("xzurvek48213976.mp3") << false;
    QTest::newRow("something behind") << QStringLiteral("zurvek48213976.mp3.bak") << false;
    QTest::newRow("a path") << QStringLiteral("/temp/zurvek48213976.mp3") << false;
    QTest::newRow("empty") << QString() << false;
}

void TestTempNames::recognisesTempNames()
{
    QFETCH(QString, name);
    QFETCH(bool, matches);
    QCOMPARE(isTempMp3Name(name), matches);
}

QTEST_GUILESS_MAIN(TestTempNames)
#include "tst_tempnames.moc"
