#include "convert/engine/processrunner.h"

#include "convert/files/processidentity.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <csignal>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <sys/prctl.h>
#endif

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

bool hasFolderPart(const QString &program)
{
    return QDir::fromNativeSeparators(program).contains(u'/');
}

// QProcess reports only "failed to start"; look at the program to tell the usual reasons apart.
int startErrorNumber(const QString &program)
{
    if (program.isEmpty())
        return StartError::NotFound;
    if (!hasFolderPart(program)) {
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

#ifdef Q_OS_WIN
// What the keeper does on Linux: every tool joins one job, which the system ends with all its
// processes once its last handle closes, that is when this program ends, however it ends. The
// handle is not inherited, so no tool keeps the job alive.
HANDLE toolJob()
{
    static const HANDLE job = [] {
        HANDLE made = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (made && !SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            CloseHandle(made);
            made = nullptr;
        }
        return made;
    }();
    return job;
}

// A tool starts nothing of its own before it is in the job: the tools run no helpers.
void joinToolJob(qint64 pid)
{
    HANDLE process = toolJob() ? OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(pid)) : nullptr;
    if (!process)
        return;
    AssignProcessToJobObject(toolJob(), process);
    CloseHandle(process);
}

// A tool shows no console window of its own.
void hideWindow(QProcess::CreateProcessArguments *args)
{
    args->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
    args->startupInfo->wShowWindow = SW_HIDE;
    args->flags |= CREATE_NO_WINDOW;
}
#else
// The tool leads a process group of its own (see prepare()), so a signal to the group also reaches
// what the tool started: a wrapper script's real tool (run without exec), or helpers. Until the
// child has made its group (between fork and exec) the signal goes to the child alone.
void signalToolGroup(qint64 pid, int signalNumber)
{
    if (pid <= 0)
        return;
    if (::kill(-pid_t(pid), signalNumber) != 0)
        ::kill(pid_t(pid), signalNumber);
}
#endif

#ifdef Q_OS_LINUX
// The read end of a pipe whose write end only this program holds, for good (both close on exec):
// it reads end-of-file once the program is gone, however it ends. Each tool's keeper gets it.
int lifeLine()
{
    static const int readEnd = [] {
        int ends[2];
        return ::pipe2(ends, O_CLOEXEC) == 0 ? ends[0] : -1;
    }();
    return readEnd;
}

// The keeper beside the program; "" where there is none (a test's copy, another platform).
QString toolKeeper()
{
    static const QString keeper = [] {
        const QFileInfo beside(QCoreApplication::applicationDirPath() + QStringLiteral("/quorvane-toolkeeper"));
        return beside.isFile() && beside.isExecutable() ? beside.filePath() : QString();
    }();
    return keeper;
}

// The program as the keeper must be told it: a file that can be run, found as QProcess would
// find it; "" when it cannot be, so that QProcess itself says why it cannot start.
QString runnableProgram(const QString &program)
{
    if (!hasFolderPart(program))
        return QStandardPaths::findExecutable(program);
    const QFileInfo info(program);
    return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
}
#endif

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
#ifdef Q_OS_LINUX
    return toolKeeper().isEmpty();
#else
    return false;
#endif
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
#ifdef Q_OS_WIN
    // Qt would join them through a named pipe opened for overlapped use, whose reader may never
    // see the end of its input. An anonymous pipe: each end becomes inheritable only for the
    // start of its own program, so no other tool keeps an end open. Tools start on this thread.
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (CreatePipe(&readEnd, &writeEnd, nullptr, 0)) {
        const auto handOver = [](HANDLE end, bool asInput) {
            return [end, asInput](QProcess::CreateProcessArguments *args) {
                hideWindow(args);
                SetHandleInformation(end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
                (asInput ? args->startupInfo->hStdInput : args->startupInfo->hStdOutput) = end;
            };
        };
        reader->m_process->setCreateProcessArgumentsModifier(handOver(readEnd, true));
        m_process->setCreateProcessArgumentsModifier(handOver(writeEnd, false));
        reader->m_process->start();
        CloseHandle(readEnd);
        m_process->start();
        CloseHandle(writeEnd);
        return;
    }
#endif
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
    m_process->setProgram(program);
    m_process->setArguments(arguments);
    [[maybe_unused]] int keptLifeLine = -1;   // the keeper's, on Linux
#ifdef Q_OS_LINUX
    // Through the keeper, so that what the tool starts dies with us too.
    if (const QString runnable = runnableProgram(program); !toolKeeper().isEmpty() && !runnable.isEmpty() && lifeLine() >= 0) {
        keptLifeLine = lifeLine();
        m_process->setProgram(toolKeeper());
        m_process->setArguments(QStringList{QString::number(keptLifeLine), runnable} + arguments);
    }
#endif
    // A tool that asks a question (ffmpeg before overwriting) reads end-of-file and gives up
    // instead of waiting for an answer nobody can type.
    m_process->setStandardInputFile(QProcess::nullDevice());
    if (output == Output::Discarded)
        m_process->setStandardOutputFile(QProcess::nullDevice());

#ifdef Q_OS_WIN
    m_process->setCreateProcessArgumentsModifier(hideWindow);
#else
    // Runs in the child between fork and exec: async-signal-safe calls only. The tool gets a
    // process group of its own, so a Ctrl+C typed at our terminal reaches us (and we stop the tool
    // and clean up) instead of killing it behind our back; on Linux it also dies with us if we are
    // killed outright, so it cannot go on writing files nobody owns. Its keeper, where there is
    // one, takes the group with it too: it alone inherits the life line, and watches it instead.
    m_process->setChildProcessModifier([keptLifeLine] {
        ::setpgid(0, 0);
#ifdef Q_OS_LINUX
        if (keptLifeLine >= 0)
            ::fcntl(keptLifeLine, F_SETFD, 0);
        else
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    });
#endif

    connect(m_process, &QProcess::started, this, [this] {
        m_pid = m_process->processId();
#ifdef Q_OS_WIN
        joinToolJob(m_pid);
#endif
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
#ifdef Q_OS_WIN
    m_process->terminate();
#else
    signalToolGroup(m_process->processId(), SIGTERM);
#endif
    if (!m_killTimer->isActive())
        m_killTimer->start();
}

void ProcessRunner::killTool()
{
    if (!m_process || m_process->state() == QProcess::NotRunning)
        return;
#ifndef Q_OS_WIN
    signalToolGroup(m_process->processId(), SIGKILL);
#endif
    m_process->kill();
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
#ifndef Q_OS_WIN
    // A cancelled tool may have ended and left behind a program it started, deaf to the request
    // to end. Its group outlives it while such a member lives, so the id is still the group's.
    if (m_cancelled)
        signalToolGroup(m_pid, SIGKILL);
#endif
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
#ifdef Q_OS_LINUX
    if (!m_busy || m_pid <= 0)
        return Waiting::Unknown;
    // Under the keeper, the tool is the keeper's one child.
    qint64 tool = m_pid;
    if (m_process && m_process->program() == toolKeeper()) {
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(m_pid));
        tool = children.open(QIODevice::ReadOnly) ? children.readAll().trimmed().split(' ').value(0).toLongLong() : 0;
    }
    if (tool <= 0)
        return Waiting::Unknown;
    if (const char state = ProcessIdentity::stateOf(tool); state == 'T' || state == 't')
        return Waiting::Stopped;
    QFile wchan(QStringLiteral("/proc/%1/wchan").arg(tool));
    const QByteArray where = wchan.open(QIODevice::ReadOnly) ? wchan.read(64) : QByteArray();
    return where.contains("pipe_write") ? Waiting::ToWrite : where.contains("pipe_read") ? Waiting::ToRead : Waiting::Unknown;
#else
    return Waiting::Unknown;
#endif
}
