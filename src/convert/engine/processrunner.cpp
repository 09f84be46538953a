#include "convert/engine/processrunner.h"

#include "convert/engine/toolprocess_p.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// ffmpeg can print a great deal; only the end of it carries the reason for a failure.
constexpr qsizetype kStderrTailBytes = 4096;

// A "line" that grows this long without an end is passed on in pieces rather than held.
constexpr qsizetype kMaxLineBytes = 65536;

// Time a program gets to end by itself after cancel() before it is killed. ffmpeg uses it
// to close its output cleanly; the caller deletes that output anyway.
constexpr int kCancelGraceMs = 2000;

// abort() may block the closing program this long at most for a killed child to be reaped.
constexpr int kAbortWaitMs = 5000;

// QProcess reports only "failed to start"; look at the program to tell the usual reasons apart.
int startErrorNumber(const QString &program)
{
    if (program.isEmpty())
        return StartError::NotFound;
    if (!ToolProcess::hasFolderPart(program)) {
        return QStandardPaths::findExecutable(program).isEmpty() ? StartError::NotFound
                                                                 : StartError::Other;
    }
    const QFileInfo info(program);
    if (!info.exists())
        return StartError::NotFound;
    if (info.isDir() || !info.isExecutable())
        return StartError::NotPermitted;
    return StartError::Other;
}

// The line of a tool's stderr that best says why it failed: of its last lines, the last that names
// a system error, else the last that is not a bare summary (ffmpeg ends a full disk with
// "Conversion failed!", two lines below the reason). Lines end at "\n", progress lines (lame) at
// "\r". lame also draws its progress table with terminal control sequences ("ESC[K", "ESC[A")
// even into a pipe, with a message straight after one: a sequence counts as a line end, and other
// control characters are dropped, so that a reason reads as plain text.
QString mostTellingLine(const QByteArray &text)
{
    static const QRegularExpression controlSequence(QStringLiteral("\x1b\\[[0-?]*[ -/]*[@-~]|\x1b"));
    static const QRegularExpression summary(QStringLiteral("^(Conversion failed!|Exiting normally.*)$"));
    // The words the system uses for the failures a tool reports most, as they end its lines
    // ("...: No space left on device").
    static const QStringList systemErrors = [] {
        QStringList list;
        for (int error : {ENOSPC, EACCES, EPERM, ENOENT, EROFS, EIO, EFBIG, ENAMETOOLONG, ENOTDIR, EISDIR, EMFILE})
            list.append(QString::fromLocal8Bit(std::strerror(error)));
        return list;
    }();
    constexpr int kLinesLookedAt = 8;
    QString decoded = QString::fromLocal8Bit(text);
    decoded.replace(controlSequence, QStringLiteral("\n"));
    decoded.removeIf([](QChar c) { return c.unicode() < 0x20 && c != u'\n' && c != u'\r' && c != u'\t'; });
    QStringList lines;   // last first
    const QStringList all = decoded.split(QRegularExpression(QStringLiteral("[\r\n]")));
    for (auto line = all.crbegin(); line != all.crend() && lines.size() < kLinesLookedAt; ++line) {
        if (const QString simple = line->simplified(); !simple.isEmpty())
            lines.append(simple);
    }
    auto found = std::find_if(lines.cbegin(), lines.cend(), [](const QString &line) {
        return std::any_of(systemErrors.cbegin(), systemErrors.cend(),
                           [&line](const QString &error) { return line.endsWith(error, Qt::CaseInsensitive); });
    });
    if (found == lines.cend())
        found = std::find_if(lines.cbegin(), lines.cend(), [](const QString &line) { return !summary.match(line).hasMatch(); });
    return found == lines.cend() ? lines.value(0) : *found;
}

} // namespace

ProcessRunner::ProcessRunner(QObject *parent)
    : QObject(parent)
    , m_killTimer(new QTimer(this))
    , m_stallTimer(new QTimer(this))
{
    m_killTimer->setSingleShot(true);
    m_killTimer->setInterval(kCancelGraceMs);
    connect(m_killTimer, &QTimer::timeout, this, &ProcessRunner::killTool);
    m_stallTimer->setSingleShot(true);
    connect(m_stallTimer, &QTimer::timeout, this, [this] {
        m_stalled = true;
        cancel();
    });
}

ProcessRunner::~ProcessRunner()
{
    abort();
}

bool ProcessRunner::isToolKeeperMissing()
{
    return ToolProcess::isKeeperMissing();
}

void ProcessRunner::start(const QString &program, const QStringList &arguments, Output output)
{
    if (prepare(program, arguments, output))
        m_process->start();
}

void ProcessRunner::startPiped(const QString &program, const QStringList &arguments, ProcessRunner *reader,
                               const QString &readerProgram, const QStringList &readerArguments)
{
    if (m_busy || reader->m_busy) {
        qWarning("ProcessRunner: startPiped() while a program still runs; ignored");
        return;
    }
    prepare(program, arguments);
    reader->prepare(readerProgram, readerArguments);
    if (ToolProcess::startPipedOwnWay(m_process, reader->m_process))
        return;
    m_process->setStandardOutputProcess(reader->m_process);
    // The reader first: it is ready before anything is written, and when it cannot start, the
    // writer finds its pipe closed at once.
    reader->m_process->start();
    m_process->start();
}

bool ProcessRunner::prepare(const QString &program, const QStringList &arguments, Output output)
{
    if (m_busy) {
        qWarning("ProcessRunner: start() while %s still runs; ignored", qUtf8Printable(m_program));
        return false;
    }
    if (m_process) {
        disconnect(m_process, nullptr, this, nullptr);
        m_process->deleteLater();
    }
    ++m_runId;
    m_busy = true;
    m_reported = false;
    m_stderrTail.clear();
    m_partialLine.clear();
    m_program = program;
    m_cancelled = false;
    m_stalled = false;
    m_pid = 0;
    heardFrom();

    m_process = new QProcess(this);
    ToolProcess::setUp(m_process, program, arguments);
    // A tool that asks a question (ffmpeg before overwriting) reads end-of-file and gives up
    // instead of waiting for an answer nobody can type.
    m_process->setStandardInputFile(QProcess::nullDevice());
    if (output == Output::Discarded)
        m_process->setStandardOutputFile(QProcess::nullDevice());

    connect(m_process, &QProcess::started, this, [this] {
        m_pid = m_process->processId();
        ToolProcess::started(m_pid);
    });
    connect(m_process, &QProcess::readyReadStandardError, this, &ProcessRunner::readStandardError);
    connect(m_process, &QProcess::readyReadStandardOutput, this, &ProcessRunner::readStandardOutput);
    connect(m_process, &QProcess::finished, this, &ProcessRunner::onProcessFinished);
    connect(m_process, &QProcess::errorOccurred, this, &ProcessRunner::onProcessError);
    return true;
}

void ProcessRunner::cancel()
{
    if (!m_busy || !m_process || m_process->state() == QProcess::NotRunning)
        return;
    m_cancelled = true;
    ToolProcess::askToEnd(m_process);
    if (!m_killTimer->isActive())
        m_killTimer->start();
}

void ProcessRunner::killTool()
{
    if (!m_process || m_process->state() == QProcess::NotRunning)
        return;
    ToolProcess::kill(m_process);
}

// Any output is a sign of progress: the stall timeout counts from the last.
void ProcessRunner::heardFrom()
{
    if (m_stallTimeoutSeconds > 0 && m_busy)
        m_stallTimer->start(m_stallTimeoutSeconds * 1000);
}

void ProcessRunner::abort()
{
    if (!m_busy)
        return;
    ++m_runId;   // drops a report that is already queued
    m_busy = false;
    m_killTimer->stop();
    m_stallTimer->stop();
    if (m_process) {
        disconnect(m_process, nullptr, this, nullptr);
        if (m_process->state() != QProcess::NotRunning) {
            killTool();
            m_process->waitForFinished(kAbortWaitMs);
        }
    }
}

void ProcessRunner::onProcessFinished(int exitCode, QProcess::ExitStatus status)
{
    if (m_cancelled)
        ToolProcess::killLeftovers(m_pid);
    readStandardOutput();
    readStandardError();
    passOnLine(std::exchange(m_partialLine, {}));
    const bool crashed = status == QProcess::CrashExit || m_stalled;
    const QString said = m_stalled ? QStringLiteral("made no progress for %1 s").arg(m_stallTimeoutSeconds)
                                   : mostTellingLine(m_stderrTail);
    report({true, crashed, crashed ? kCrashedResult : exitCode, said, m_stalled});
}

void ProcessRunner::onProcessError(QProcess::ProcessError error)
{
    // A crash is followed by finished(); only a failed start ends the run here.
    if (error != QProcess::FailedToStart)
        return;
    report({false, false, startErrorNumber(m_program) + kStartErrorBase, m_process->errorString()});
}

void ProcessRunner::readStandardError()
{
    const QByteArray text = m_process->readAllStandardError();
    if (!text.isEmpty())
        heardFrom();
    m_stderrTail += text;
    if (m_stderrTail.size() > kStderrTailBytes)
        m_stderrTail.remove(0, m_stderrTail.size() - kStderrTailBytes);
    qsizetype begin = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == '\n' || text.at(i) == '\r') {
            passOnLine(std::exchange(m_partialLine, {}) + text.mid(begin, i - begin));
            begin = i + 1;
        }
    }
    m_partialLine += text.mid(begin);
    if (m_partialLine.size() >= kMaxLineBytes)
        passOnLine(std::exchange(m_partialLine, {}));
}

void ProcessRunner::readStandardOutput()
{
    if (const QByteArray bytes = m_process->readAllStandardOutput(); !bytes.isEmpty()) {
        heardFrom();
        emit standardOutputRead(bytes);
    }
}

void ProcessRunner::passOnLine(const QByteArray &line)
{
    if (!line.isEmpty())
        emit standardErrorLineRead(QString::fromLocal8Bit(line));
}

void ProcessRunner::report(const ProcessOutcome &outcome)
{
    if (m_reported)
        return;
    m_reported = true;
    m_killTimer->stop();
    m_stallTimer->stop();
    // Queued, so that a receiver may start the next run or delete this runner in its slot
    // without pulling the QProcess away under its own signal.
    const quint64 runId = m_runId;
    QMetaObject::invokeMethod(
        this,
        [this, runId, outcome] {
            if (runId != m_runId)
                return;
            m_busy = false;
            emit finished(outcome);
        },
        Qt::QueuedConnection);
}

ProcessRunner::Waiting ProcessRunner::waiting() const
{
    if (!m_busy || m_pid <= 0)
        return Waiting::Unknown;
    return ToolProcess::waiting(m_process, m_pid);
}
