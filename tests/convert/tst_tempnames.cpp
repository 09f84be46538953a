#include "testkit.h"

#include "convert/tempnames.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <vector>

namespace {

using TestKit::entries;
using TestKit::readFile;
using TestKit::writeFile;

// The n-th of all temporary names in order: zurvek11111111.mp3, zurvek11111112.mp3, ...
QString nthName(int n)
{
    QString digits(8, u'1');
    for (int i = 7; i >= 0 && n > 0; --i, n /= 9)
        digits[i] = QChar(char16_t(u'1' + n % 9));
    return QStringLiteral("zurvek") + digits + QStringLiteral(".mp3");
}

// Hands out names in the given order, then zurvek11111111.mp3 and on.
std::function<QString()> namesInOrder(const QStringList &names)
{
    auto next = std::make_shared<int>(0);
    return [names, next] {
        const int i = (*next)++;
        return i < names.size() ? names.at(i) : nthName(i - int(names.size()));
    };
}

// A lock file as another program on this machine would have written it, in the three-line
// form every Qt version reads (process id, program name, host name).
QByteArray lockContents(qint64 pid, const QString &program)
{
    return QByteArray::number(pid) + '\n' + program.toUtf8() + '\n'
           + QSysInfo::machineHostName().toUtf8() + '\n';
}

} // namespace

class TestTempNames : public QObject
{
    Q_OBJECT

private slots:
    void pathIsInTheFolderWithTheExpectedName();
    void lockFileMarksTheNameWhileReserved();
    void drawsAgainWhileSomethingExists_data();
    void drawsAgainWhileSomethingExists();
    void leavesAnExistingFileAlone();
    void takenNameIsNeverHandedOut_data();
    void takenNameIsNeverHandedOut();
    void staleLockIsTakenOver_data();
    void staleLockIsTakenOver();
    void abandonedFilesAreRemoved_data();
    void abandonedFilesAreRemoved();
    void givesUpInAFolderWhereEverythingExists();
    void reservedNamesAreNotHandedOutTwice_data();
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
    QVERIFY(!info.exists());   // reserving creates no MP3 file
    QCOMPARE(entries(dir.path()), QStringList());
}

void TestTempNames::lockFileMarksTheNameWhileReserved()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = reserveTempMp3Path(dir.path());
    QVERIFY(!path.isEmpty());
    const QString lockName = QFileInfo(path).fileName() + QStringLiteral(".lock");
    QCOMPARE(tempMp3LockPath(path), QDir::toNativeSeparators(dir.filePath(lockName)));
    QCOMPARE(entries(dir.path()), QStringList{lockName});

    // Another program looking at the lock sees a live holder and keeps off.
    QLockFile other(tempMp3LockPath(path));
    other.setStaleLockTime(0);
    QVERIFY(!other.tryLock(0));
    QCOMPARE(other.error(), QLockFile::LockFailedError);
    qint64 pid = 0;
    QVERIFY(other.getLockInfo(&pid, nullptr, nullptr));
    QCOMPARE(pid, QCoreApplication::applicationPid());

    // The caller's file stays; only the lock goes.
    QVERIFY(writeFile(path, "mp3"));
    releaseTempMp3Path(path);
    QCOMPARE(entries(dir.path()), QStringList{QFileInfo(path).fileName()});
    releaseTempMp3Path(path);   // a second release does nothing
    QCOMPARE(readFile(path), QByteArray("mp3"));
}

void TestTempNames::drawsAgainWhileSomethingExists_data()
{
    QTest::addColumn<bool>("realFolder");
    QTest::newRow("folder that takes lock files") << true;
    QTest::newRow("missing folder") << false;
}

void TestTempNames::drawsAgainWhileSomethingExists()
{
    QFETCH(bool, realFolder);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = realFolder ? dir.path() : dir.filePath(QStringLiteral("missing"));

    QStringList asked;
    const auto firstTwoTaken = [&asked](const QString &path) {
        if (!asked.contains(path))
            asked.append(path);
        return asked.indexOf(path) < 2;
    };
    const QString path = reserveTempMp3Path(folder, firstTwoTaken);
    QCOMPARE(asked.size(), 3);
    QCOMPARE(path, asked.last());
    // Only a folder that exists can hold the lock; elsewhere the name is this process's alone.
    QCOMPARE(QFileInfo::exists(tempMp3LockPath(path)), realFolder);
    releaseTempMp3Path(path);
    QCOMPARE(entries(dir.path()), QStringList());
}

void TestTempNames::leavesAnExistingFileAlone()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString taken;
    const auto firstTaken = [&taken](const QString &path) {
        if (!taken.isEmpty())
            return path == taken;
        taken = path;
        return writeFile(path, "keep");
    };
    const QString path = reserveTempMp3Path(dir.path(), firstTaken);
    releaseTempMp3Path(path);

    QVERIFY(path != taken);
    QCOMPARE(readFile(taken), QByteArray("keep"));
    QCOMPARE(entries(dir.path()), QStringList{QFileInfo(taken).fileName()});
}

// Another program's name, in every form it can take in the folder: the draws are made to hit
// it first, and it must be passed over without touching what is there.
void TestTempNames::takenNameIsNeverHandedOut_data()
{
    QTest::addColumn<QString>("form");
    QTest::newRow("lock held by a running program") << QStringLiteral("held");
    QTest::newRow("lock whose holder cannot be read") << QStringLiteral("garbage");
    QTest::newRow("empty lock (just being made)") << QStringLiteral("empty");
    QTest::newRow("converted MP3, lock already gone") << QStringLiteral("mp3");
    QTest::newRow("MP3 and its lock") << QStringLiteral("both");
}

void TestTempNames::takenNameIsNeverHandedOut()
{
    QFETCH(QString, form);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString name = QStringLiteral("zurvek12345678.mp3");
    const QString path = QDir::toNativeSeparators(dir.filePath(name));
    const QString lockPath = tempMp3LockPath(path);

    // The test process plays the other program: its lock names a running process (this one)
    // of the same name, which is what another copy of the converter looks like.
    QLockFile held(lockPath);
    held.setStaleLockTime(0);
    if (form == QStringLiteral("held") || form == QStringLiteral("both"))
        QVERIFY(held.tryLock(0));
    else if (form == QStringLiteral("garbage"))
        QVERIFY(writeFile(lockPath, "not a lock\n"));
    else if (form == QStringLiteral("empty"))
        QVERIFY(writeFile(lockPath, QByteArray()));
    if (form == QStringLiteral("mp3") || form == QStringLiteral("both"))
        QVERIFY(writeFile(path, "theirs"));
    const QStringList before = entries(dir.path());
    const QByteArray lockBefore = readFile(lockPath);

    // Several times in a row, so that a later draw is not let through by an earlier one.
    const QString other = QStringLiteral("zurvek87654321.mp3");
    const QString reserved = reserveTempMp3Path(dir.path(), Paths::fileExists,
                                                namesInOrder({name, name, name, other}));
    QCOMPARE(reserved, QDir::toNativeSeparators(dir.filePath(other)));
    QVERIFY(QFileInfo::exists(tempMp3LockPath(reserved)));
    releaseTempMp3Path(reserved);

    QCOMPARE(entries(dir.path()), before);
    QCOMPARE(readFile(lockPath), lockBefore);
    if (QFileInfo::exists(path))
        QCOMPARE(readFile(path), QByteArray("theirs"));
}

// A lock left by a program that was killed outright must not block its name for ever.
void TestTempNames::staleLockIsTakenOver_data()
{
    QTest::addColumn<bool>("processReused");
    QTest::newRow("its process is gone") << false;
    QTest::newRow("its process id now belongs to another program") << true;
}

void TestTempNames::staleLockIsTakenOver()
{
#ifndef Q_OS_LINUX
    QSKIP("Telling a stale lock needs the process table");
#endif
    QFETCH(bool, processReused);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString sleep = QStandardPaths::findExecutable(QStringLiteral("sleep"));
    if (sleep.isEmpty())
        QSKIP("sleep is needed");

    // A real process id: one that has ended and been reaped, or one of a running program
    // that is not a converter.
    QProcess process;
    process.start(sleep, {processReused ? QStringLiteral("60") : QStringLiteral("0")});
    QVERIFY(process.waitForStarted());
    const qint64 pid = process.processId();
    if (!processReused)
        QVERIFY(process.waitForFinished());
    const QString name = QStringLiteral("zurvek24681357.mp3");
    const QString path = QDir::toNativeSeparators(dir.filePath(name));
    QVERIFY(writeFile(tempMp3LockPath(path), lockContents(pid, QStringLiteral("quorvane-cli"))));

    const QString reserved = reserveTempMp3Path(dir.path(), Paths::fileExists, namesInOrder({name}));
    QCOMPARE(reserved, path);
    QLockFile probe(tempMp3LockPath(path));
    qint64 holder = 0;
    QVERIFY(probe.getLockInfo(&holder, nullptr, nullptr));
    QCOMPARE(holder, QCoreApplication::applicationPid());
    releaseTempMp3Path(reserved);
    QCOMPARE(entries(dir.path()), QStringList());
    process.kill();
    process.waitForFinished();
}

// What a program killed outright leaves, beside what others still own. Each row puts one
// name's files in the folder (with other programs' files that must stay) and says whether
// a sweep removes them.
void TestTempNames::abandonedFilesAreRemoved_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<bool>("removed");
    QTest::newRow("killed while encoding: lock, MP3, encoder output") << QStringLiteral("killed") << true;
    QTest::newRow("killed before its decoder wrote: lock only") << QStringLiteral("killed early") << true;
    QTest::newRow("running program's name") << QStringLiteral("running") << false;
    QTest::newRow("this process's own reservation") << QStringLiteral("ours") << false;
    // A living file holds its lock to the end, so a file without one is a dead program's.
    QTest::newRow("file without its lock") << QStringLiteral("converted") << true;
    QTest::newRow("converted file held by a running program") << QStringLiteral("marked") << false;
    QTest::newRow("converted file held by a program that was killed") << QStringLiteral("marked, killed") << true;
    QTest::newRow("lock that cannot be read") << QStringLiteral("garbage") << false;
    QTest::newRow("lock of another machine") << QStringLiteral("elsewhere") << false;
}

void TestTempNames::abandonedFilesAreRemoved()
{
#ifndef Q_OS_UNIX
    QSKIP("Telling a dead holder needs its process id");
#endif
    QFETCH(QString, form);
    QFETCH(bool, removed);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString sleep = QStandardPaths::findExecutable(QStringLiteral("sleep"));
    if (sleep.isEmpty())
        QSKIP("sleep is needed");
    QProcess ended;
    ended.start(sleep, {QStringLiteral("0")});
    QVERIFY(ended.waitForStarted());
    const qint64 deadPid = ended.processId();
    QVERIFY(ended.waitForFinished());

    const QString name = QStringLiteral("zurvek13572468.mp3");
    const QString path = QDir::toNativeSeparators(dir.filePath(name));
    const QString lockPath = tempMp3LockPath(path);
    const QString encoderOutput = dir.filePath(QStringLiteral("zurvek13572468_128 kbps.mp3"));
    // Never touched: files of other names and of other programs.
    // A running program's batch folder stays; a killed one's goes with its files.
    const QString ours = QStringLiteral("quorvane-%1-abcdef").arg(QCoreApplication::applicationPid());
    const QStringList others = {QStringLiteral("notes.txt"), ours, QStringLiteral("zurvek1357.mp3.lock"),
                                QStringLiteral("zurvek9999999.mp3")};
    for (const QString &other : others)
        QVERIFY(writeFile(other == ours ? QDir(dir.filePath(ours)).filePath(QStringLiteral("x.mp3")) : dir.filePath(other), "other"));
    if (removed)
        QVERIFY(writeFile(dir.filePath(QStringLiteral("quorvane-%1-ghijkl/x.mp3").arg(deadPid)), "killed"));

    QLockFile running(lockPath);
    running.setStaleLockTime(0);
    QString reserved;
    if (form == QStringLiteral("killed") || form == QStringLiteral("killed early"))
        QVERIFY(writeFile(lockPath, lockContents(deadPid, QStringLiteral("quorvane-cli"))));
    else if (form == QStringLiteral("running"))
        QVERIFY(running.tryLock(0));
    else if (form == QStringLiteral("ours"))
        QCOMPARE(reserved = reserveTempMp3Path(dir.path(), Paths::fileExists, namesInOrder({name})), path);
    else if (form == QStringLiteral("marked") || form == QStringLiteral("marked, killed"))
        QVERIFY(writeFile(tempMp3HeldPath(path),
                          lockContents(form == QStringLiteral("marked") ? QCoreApplication::applicationPid() : deadPid,
                                       QStringLiteral("quorvane"))));
    else if (form == QStringLiteral("garbage"))
        QVERIFY(writeFile(lockPath, "not a lock\n"));
    else if (form == QStringLiteral("elsewhere"))
        QVERIFY(writeFile(lockPath, QByteArray::number(deadPid) + "\nquorvane-cli\nsomewhere-else\n"));
    if (form != QStringLiteral("killed early")) {
        QVERIFY(writeFile(path, "mp3"));
        QVERIFY(writeFile(encoderOutput, "encoding"));
    }
    const QStringList before = entries(dir.path());

    QStringList othersOnly = others;
    othersOnly.sort();

    QCOMPARE(removeAbandonedTempFiles(dir.path()), removed ? 2 : 0);
    QCOMPARE(entries(dir.path()), removed ? othersOnly : before);
    if (!reserved.isEmpty())
        releaseTempMp3Path(reserved);
}

void TestTempNames::givesUpInAFolderWhereEverythingExists()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    int asked = 0;
    const QString path = reserveTempMp3Path(dir.path(), [&asked](const QString &) {
        ++asked;
        return true;
    });
    QVERIFY(path.isEmpty());
    QVERIFY(asked > 1000);
    QCOMPARE(entries(dir.path()), QStringList());   // no lock file was made for a taken name
}

// 9^8 names: drawing this many without the reservation would give a few duplicates almost
// surely (birthday bound), so a clean run shows that the reservation is what keeps them apart.
// In a real folder every name also holds an open lock file, so fewer are drawn there.
void TestTempNames::reservedNamesAreNotHandedOutTwice_data()
{
    QTest::addColumn<bool>("realFolder");
    QTest::addColumn<int>("count");
    QTest::newRow("missing folder, in this process only") << false << 24000;
    QTest::newRow("folder with lock files") << true << 400;
}

void TestTempNames::reservedNamesAreNotHandedOutTwice()
{
    QFETCH(bool, realFolder);
    QFETCH(int, count);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = realFolder ? dir.path() : dir.filePath(QStringLiteral("missing"));
    const auto nothingExists = [](const QString &) { return false; };

    QSet<QString> unique;
    for (int i = 0; i < count; ++i)
        unique.insert(reserveTempMp3Path(folder, nothingExists));
    QCOMPARE(unique.size(), count);
    QCOMPARE(int(entries(dir.path()).size()), realFolder ? count : 0);
    for (const QString &path : std::as_const(unique))
        releaseTempMp3Path(path);
    QCOMPARE(entries(dir.path()), QStringList());
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
    QTest::newRow("its lock file") << QStringLiteral("zurvek48213976.mp3.lock") << false;
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
