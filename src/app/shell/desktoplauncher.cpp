#include "app/shell/desktoplauncher.h"

#include <QDesktopServices>

bool QtDesktopLauncher::open(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}
