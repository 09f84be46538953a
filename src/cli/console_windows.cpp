#include "cli/console.h"

#include <cerrno>
#include <io.h>

#include <qt_windows.h>

namespace {

// The console handle behind stream, or nullptr when it goes to a file or a pipe.
HANDLE consoleOf(FILE *stream)
{
    const HANDLE handle = HANDLE(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) ? handle : nullptr;
}

} // namespace

// A console takes the text as it is, in any script, whatever its code page; a file or a pipe
// gets UTF-8, which every reader of today's Windows takes, where the ANSI code page would
// turn a Cyrillic or CJK name into question marks.
bool Console::write(FILE *stream, const QString &text)
{
    if (const HANDLE console = consoleOf(stream)) {
        std::fflush(stream);
        const auto *next = reinterpret_cast<const wchar_t *>(text.utf16());
        qsizetype left = text.size();
        while (left > 0) {
            DWORD written = 0;
            if (!WriteConsoleW(console, next, DWORD(qMin<qsizetype>(left, 8192)), &written, nullptr) || written == 0) {
                errno = EIO;
                return false;
            }
            next += written;
            left -= written;
        }
        return true;
    }
    const QByteArray bytes = text.toUtf8();
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size()) && std::fflush(stream) == 0;
}

bool Console::isTerminal(FILE *stream)
{
    return _isatty(_fileno(stream)) != 0;
}

QStringList Console::extraHelpNames()
{
    return {QStringLiteral("?")};
}
