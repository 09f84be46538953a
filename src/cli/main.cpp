#include "cli/clirun.h"
#include "convert/programexit.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    int status = 0;
    {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("quorvane-cli"));
        QCoreApplication::setApplicationVersion(QStringLiteral(QUORVANE_VERSION));
        status = runCli(CliArguments::parse(QCoreApplication::arguments()));
    }
    return ProgramExit::leave(status);
}
