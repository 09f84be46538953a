#include "convert/engine/processrunner.h"
#include "convert/scripttools.h"
#include "testmain.h"

#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace ScriptTools;

class TestProcessRunner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void exitCodeIsTheResult_data();
    void exitCodeIsTheResult();
    void programThatCannotStart_data();
    void programThatCannotStart();
    void argumentsReachTheProgramUnchanged();
    void standardInputIsClosed();
    void eventLoopRunsWhileToolRuns();
    void errorTextIsTheLastStderrLine_data();
    void errorTextIsTheLastStderrLine();
    void stderrLinesArriveBeforeFinished_data();
    void stderrLinesArriveBeforeFinished();
    void firstLineOfALongOutputArrives();
    void cancelFromALine();
    void programKilledBySignalCrashed();
    void cancelEndsTheProgram_data();
    void cancelEndsTheProgram();
    void cancelKillsAProgramThatIgnoresTerminate();
    void abortLeavesNoChildAndNoSignal();
    void destructorLeavesNoChild();
    void nextRunCanStartFromFinished();

private:
    static ProcessOutcome outcomeOf(const QSignalSpy &spy) { return spy.at(0).at(0).value<ProcessOutcome>(); }

    QString m_sh;
};

void TestProcessRunner::initTestCase()
{
#ifndef Q_OS_UNIX
    QSKIP("The stand-in programs are POSIX shell scripts");
#endif
    m_sh = QStandardPaths::findExecutable(QStringLiteral("sh"));
    QVERIFY(!m_sh.isEmpty());
}

void TestProcessRunner::exitCodeIsTheResult_data()
{
    QTest::addColumn<int>("code");
    QTest::newRow("0") << 0;
    QTest::newRow("1") << 1;
    QTest::newRow("3") << 3;
    QTest::newRow("255") << 255;
}

void TestProcessRunner::exitCodeIsTheResult()
{
    QFETCH(int, code);
    ProcessRunner runner;
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    runner.start(m_sh, {QStringLiteral("-c"), QStringLiteral("exit %1").arg(code)});
    QVERIFY(runner.isRunning());
    QVERIFY(spy.wait(10000));

    const ProcessOutcome outcome = outcomeOf(spy);
    QVERIFY(outcome.started);
    QVERIFY(!outcome.crashed);
    QCOMPARE(outcome.exitCode, code);
    QCOMPARE(outcome.succeeded(), code == 0);
    QVERIFY(!runner.isRunning());
}

void TestProcessRunner::programThatCannotStart_data()
{
    QTest::addColumn<QString>("program");   // under a fresh folder unless it has no folder part
    QTest::addColumn<int>("errorNumber");

    QTest::newRow("missing path") << QStringLiteral("no-such-tool") << int(StartError::NotFound);
    QTest::newRow("not on the search path") << QStringLiteral("quorvane-no-such-tool")
                                            << int(StartError::NotFound);
    QTest::newRow("not executable") << QStringLiteral("plain-file") << int(StartError::NotPermitted);
    QTest::newRow("a folder") << QStringLiteral(".") << int(StartError::NotPermitted);
    QTest::newRow("empty") << QString() << int(StartError::NotFound);
}

void TestProcessRunner::programThatCannotStart()
{
    QFETCH(QString, program);
    QFETCH(int, errorNumber);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile plain(dir.filePath(QStringLiteral("plain-file")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.write("#!/bin/sh\nexit 0\n");
    plain.close();
    if (program != QStringLiteral("quorvane-no-such-tool") && !program.isEmpty())
        program = dir.filePath(program);

    ProcessRunner runner;
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    runner.start(program, {});
    QCOMPARE(spy.count(), 0);   // never from inside start()
    QVERIFY(spy.wait(10000));

    const ProcessOutcome outcome = outcomeOf(spy);
    QVERIFY(!outcome.started);
    QVERIFY(!outcome.succeeded());
    QVERIFY(outcome.exitCode < 0);
    QCOMPARE(outcome.exitCode, errorNumber + kStartErrorBase);
    QVERIFY(!outcome.errorText.isEmpty());
    QVERIFY(!runner.isRunning());
}

void TestProcessRunner::argumentsReachTheProgramUnchanged()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString out = dir.filePath(QStringLiteral("args.txt"));
    const QStringList words = {QStringLiteral("two words"), QStringLiteral("\"quoted\" 'too'"),
                               QStringLiteral("$HOME $(id)"), QStringLiteral("-n"),
                               QStringLiteral("été 日本"), QStringLiteral("*")};

    ProcessRunner runner;
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    runner.start(m_sh, QStringList{QStringLiteral("-c"), QStringLiteral("printf '%s\\n' \"$@\" > \"$0\""), out} + words);
    QVERIFY(spy.wait(10000));
    QVERIFY(outcomeOf(spy).succeeded());

    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll()), words.join(u'\n') + u'\n');
}

// With an open standard input, cat would wait for it for ever.
void TestProcessRunner::standardInputIsClosed()
{
    ProcessRunner runner;
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    runner.start(QStandardPaths::findExecutable(QStringLiteral("cat")), {});
    QVERIFY(spy.wait(10000));
    QVERIFY(outcomeOf(spy).succeeded());
}

// The program ends only once the timer's slot has run, so finished() can only come if the
// event loop kept turning while the program ran.
void TestProcessRunner::eventLoopRunsWhileToolRuns()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString flag = dir.filePath(QStringLiteral("clicked"));

    ProcessRunner runner;
    QStringList events;
    connect(&runner, &ProcessRunner::finished, this, [&events] { events.append(QStringLiteral("finished")); });
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    runner.start(m_sh, {QStringLiteral("-c"),
                        QStringLiteral("while [ ! -e \"$0\" ]; do sleep 0.02; done"), flag});
    QTimer::singleShot(10, this, [&] {
        events.append(runner.isRunning() ? QStringLiteral("timer while running")
                                         : QStringLiteral("timer after the end"));
        QFile file(flag);
        QVERIFY(file.open(QIODevice::WriteOnly));
    });
    QVERIFY(spy.wait(10000));
    QCOMPARE(events, (QStringList{QStringLiteral("timer while running"), QStringLiteral("finished")}));
}

void TestProcessRunner::errorTextIsTheLastStderrLine_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("errorText");

    QTest::newRow("last of several")
        << QStringLiteral("echo first >&2; echo 'on stdout'; echo 'the reason' >&2; exit 1")
        << QStringLiteral("the reason");
    QTest::newRow("blank lines after it")
        << QStringLiteral("echo 'the reason' >&2; printf '\\n  \\n\\n' >&2; exit 1")
        << QStringLiteral("the reason");
    QTest::newRow("progress lines with carriage returns")
        << QStringLiteral("printf 'start\\n10%%\\r50%%\\r' >&2")
        << QStringLiteral("50%");
    QTest::newRow("no final newline")
        << QStringLiteral("printf 'one\\ntwo' >&2; exit 2") << QStringLiteral("two");
    QTest::newRow("after a lot of output")
        << QStringLiteral("i=0; while [ $i -lt 4000 ]; do echo \"noise line $i\" >&2; i=$((i+1)); done; "
                          "echo 'the end' >&2; exit 1")
        << QStringLiteral("the end");
    QTest::newRow("nothing") << QStringLiteral("exit 1") << QString();
    QTest::newRow("non-ASCII") << QStringLiteral("echo 'fichier illisible: été' >&2; exit 1")
                               << QStringLiteral("fichier illisible: été");
    // As lame fails on a full disk: its progress table's control sequences, then the message
    // on the same line.
    QTest::newRow("after terminal control sequences")
        << QStringLiteral("printf '    0.0           \\033[K\\033[A\\033[A\\rError writing mp3 output \\n' >&2; exit 1")
        << QStringLiteral("Error writing mp3 output");
    QTest::newRow("message before an erase sequence")
        << QStringLiteral("printf 'kbps %%\\033[K\\n    0.0   \\033[KError writing mp3 output' >&2; exit 1")
        << QStringLiteral("Error writing mp3 output");
    // ffmpeg on a full disk: the reason stands above its closing summary.
    QTest::newRow("the line that names a system error")
        << QStringLiteral("printf 'av_interleaved_write_frame(): No space left on device\\nError writing trailer of x.mp3: "
                          "No space left on device\\n[aac @ 0x1] Qavg: 1.0\\nConversion failed!\\n' >&2; exit 1")
        << QStringLiteral("Error writing trailer of x.mp3: No space left on device");
    QTest::newRow("not a bare summary")
        << QStringLiteral("printf 'bad header\\nConversion failed!\\n' >&2; exit 1") << QStringLiteral("bad header");
    QTest::newRow("other control characters")
        << QStringLiteral("printf 'bad\\007 \\001input\\tfile\\n' >&2; exit 1") << QStringLiteral("bad input file");
}

void TestProcessRunner::errorTextIsTheLastStderrLine()
{
    QFETCH(QString, script);
    QFETCH(QString, errorText);

    ProcessRunner runner;
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    runner.start(m_sh, {QStringLiteral("-c"), script});
    QVERIFY(spy.wait(10000));
    QCOMPARE(outcomeOf(spy).errorText, errorText);
}

void TestProcessRunner::stderrLinesArriveBeforeFinished_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("newlines") << QStringLiteral("printf 'one\\ntwo\\n' >&2")
                              << QStringList{QStringLiteral("one"), QStringLiteral("two")};
    QTest::newRow("progress lines with carriage returns")
        << QStringLiteral("printf 'start\\n10%%\\r50%%\\r' >&2")
        << QStringList{QStringLiteral("start"), QStringLiteral("10%"), QStringLiteral("50%")};
    QTest::newRow("carriage return and newline") << QStringLiteral("printf 'a\\r\\nb\\r\\n' >&2")
                                                 << QStringList{QStringLiteral("a"), QStringLiteral("b")};
    QTest::newRow("no final end") << QStringLiteral("printf 'one\\ntwo' >&2; exit 2")
                                  << QStringList{QStringLiteral("one"), QStringLiteral("two")};
    QTest::newRow("empty lines left out") << QStringLiteral("printf '\\n\\nx\\n\\r\\n' >&2")
                                          << QStringList{QStringLiteral("x")};
    QTest::newRow("a line written in two parts")
        << QStringLiteral("printf '  Dura' >&2; sleep 0.1; printf 'tion: 00:00:06.00\\rsize=' >&2; sleep 0.1; "
                          "printf ' time=00:00:01.00\\n' >&2")
        << QStringList{QStringLiteral("  Duration: 00:00:06.00"), QStringLiteral("size= time=00:00:01.00")};
    QTest::newRow("standard output left out") << QStringLiteral("echo out; echo err >&2")
                                              << QStringList{QStringLiteral("err")};
    QTest::newRow("non-ASCII") << QStringLiteral("echo 'fichier: été 日本' >&2")
                               << QStringList{QStringLiteral("fichier: été 日本")};
    QTest::newRow("nothing") << QStringLiteral("exit 0") << QStringList();
}

void TestProcessRunner::stderrLinesArriveBeforeFinished()
{
    QFETCH(QString, script);
    QFETCH(QStringList, lines);

    ProcessRunner runner;
    QStringList received;
    qsizetype receivedAtFinish = -1;
    connect(&runner, &ProcessRunner::standardErrorLineRead, this,
            [&received](const QString &line) { received.append(line); });
    connect(&runner, &ProcessRunner::finished, this, [&] { receivedAtFinish = received.size(); });
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    runner.start(m_sh, {QStringLiteral("-c"), script});
    QVERIFY(spy.wait(10000));

    QCOMPARE(received, lines);
    QCOMPARE(receivedAtFinish, lines.size());
}

// The tail kept for a failure's reason loses the start of a long output; the lines do not.
void TestProcessRunner::firstLineOfALongOutputArrives()
{
    ProcessRunner runner;
    QStringList received;
    connect(&runner, &ProcessRunner::standardErrorLineRead, this,
            [&received](const QString &line) { received.append(line); });
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    runner.start(m_sh, {QStringLiteral("-c"),
                        QStringLiteral("echo '  Duration: 00:03:00.02' >&2; i=0; while [ $i -lt 4000 ]; do "
                                       "printf 'noise line %d\\r' $i >&2; i=$((i+1)); done; echo 'the end' >&2")});
    QVERIFY(spy.wait(10000));

    QCOMPARE(received.size(), 4002);
    QCOMPARE(received.first(), QStringLiteral("  Duration: 00:03:00.02"));
    QCOMPARE(received.at(4000), QStringLiteral("noise line 3999"));
    QCOMPARE(received.last(), QStringLiteral("the end"));
    QCOMPARE(outcomeOf(spy).errorText, QStringLiteral("the end"));
}

// How a conversion stops a tool whose output shows it is not worth finishing.
void TestProcessRunner::cancelFromALine()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pidFile = dir.filePath(QStringLiteral("pid"));

    ProcessRunner runner;
    QStringList received;
    connect(&runner, &ProcessRunner::standardErrorLineRead, this, [&](const QString &line) {
        received.append(line);
        runner.cancel();
    });
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    runner.start(m_sh, {QStringLiteral("-c"),
                        QStringLiteral("echo $$ > \"$0\"; echo 'stop me' >&2; exec sleep 30"), pidFile});
    QVERIFY(spy.wait(15000));

    QCOMPARE(received, QStringList{QStringLiteral("stop me")});
    QVERIFY(outcomeOf(spy).crashed);
    QVERIFY(!processExists(readPid(pidFile)));
}

void TestProcessRunner::programKilledBySignalCrashed()
{
    ProcessRunner runner;
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    runner.start(m_sh, {QStringLiteral("-c"), QStringLiteral("echo dying >&2; kill -9 $$")});
    QVERIFY(spy.wait(10000));

    const ProcessOutcome outcome = outcomeOf(spy);
    QVERIFY(outcome.started);
    QVERIFY(outcome.crashed);
    QVERIFY(!outcome.succeeded());
    QCOMPARE(outcome.exitCode, kCrashedResult);
    QCOMPARE(outcome.errorText, QStringLiteral("dying"));
}

void TestProcessRunner::cancelEndsTheProgram_data()
{
    // By cancel(), or by the stall timeout once the program has said nothing for a second after
    // its last line.
    QTest::addColumn<bool>("stalls");
    QTest::newRow("cancelled") << false;
    QTest::newRow("quiet past the stall timeout") << true;
}

void TestProcessRunner::cancelEndsTheProgram()
{
    QFETCH(bool, stalls);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pidFile = dir.filePath(QStringLiteral("pid"));

    ProcessRunner runner;
    runner.setStallTimeout(stalls ? 1 : 0);
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    runner.start(m_sh, {QStringLiteral("-c"), QStringLiteral("echo working >&2; echo $$ > \"$0\"; exec sleep 30"), pidFile});
    QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 10000);
    const qint64 pid = readPid(pidFile);
    if (!stalls)
        runner.cancel();
    QVERIFY(spy.wait(10000));

    QCOMPARE(spy.count(), 1);
    const ProcessOutcome outcome = outcomeOf(spy);
    QVERIFY(outcome.crashed);
    QCOMPARE(outcome.stalled, stalls);
    if (stalls)
        QCOMPARE(outcome.errorText, QStringLiteral("made no progress for 1 s"));
    QVERIFY(!outcome.succeeded());
    QVERIFY(!runner.isRunning());
    QVERIFY(!processExists(pid));
}

void TestProcessRunner::cancelKillsAProgramThatIgnoresTerminate()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pidFile = dir.filePath(QStringLiteral("pid"));

    ProcessRunner runner;
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    runner.start(m_sh, {QStringLiteral("-c"),
                        QStringLiteral("trap '' TERM; echo $$ > \"$0\"; while :; do sleep 0.05; done"),
                        pidFile});
    QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 10000);
    const qint64 pid = readPid(pidFile);
    runner.cancel();
    QVERIFY(spy.wait(15000));

    QVERIFY(outcomeOf(spy).crashed);
    QVERIFY(!processExists(pid));
}

void TestProcessRunner::abortLeavesNoChildAndNoSignal()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pidFile = dir.filePath(QStringLiteral("pid"));

    ProcessRunner runner;
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    runner.start(m_sh, {QStringLiteral("-c"), QStringLiteral("echo $$ > \"$0\"; exec sleep 30"), pidFile});
    QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 10000);
    const qint64 pid = readPid(pidFile);

    runner.abort();
    QVERIFY(!runner.isRunning());
    QVERIFY(!processExists(pid));
    // A report queued before the abort is ahead of this in the runner's queue.
    bool flushed = false;
    QMetaObject::invokeMethod(&runner, [&] { flushed = true; }, Qt::QueuedConnection);
    QTRY_VERIFY(flushed);
    QCOMPARE(spy.count(), 0);
}

void TestProcessRunner::destructorLeavesNoChild()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pidFile = dir.filePath(QStringLiteral("pid"));

    auto runner = std::make_unique<ProcessRunner>();
    runner->start(m_sh, {QStringLiteral("-c"), QStringLiteral("echo $$ > \"$0\"; exec sleep 30"), pidFile});
    QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 10000);
    const qint64 pid = readPid(pidFile);

    runner.reset();
    QVERIFY(!processExists(pid));
}

// How one file's conversion uses a runner: the encoder starts from the decoder's finished().
void TestProcessRunner::nextRunCanStartFromFinished()
{
    ProcessRunner runner;
    QList<int> results;
    connect(&runner, &ProcessRunner::finished, this, [&](const ProcessOutcome &outcome) {
        results.append(outcome.exitCode);
        if (results.size() == 1)
            runner.start(m_sh, {QStringLiteral("-c"), QStringLiteral("exit 4")});
    });
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    runner.start(m_sh, {QStringLiteral("-c"), QStringLiteral("exit 0")});
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 10000);
    QCOMPARE(results, (QList<int>{0, 4}));
    QVERIFY(!runner.isRunning());
}

QUORVANE_TEST_GUILESS_MAIN(TestProcessRunner)
#include "tst_processrunner.moc"
