#include "cli/console.h"

#include <unistd.h>

bool Console::write(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size()) && std::fflush(stream) == 0;
}

bool Console::isTerminal(FILE *stream)
{
    return ::isatty(::fileno(stream)) != 0;
}

QStringList Console::extraHelpNames()
{
    return {};
}
