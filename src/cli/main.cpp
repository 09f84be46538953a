#include "cli/clirun.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvane-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVANE_VERSION));
    return runCli(CliArguments::parse(QCoreApplication::arguments()));
}
