#include "appearance.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace Appearance {

void centerForm(QWidget *window)
{
    QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize size = window->frameGeometry().size();
    window->move(area.x() + (area.width() - size.width()) / 2,
                 area.y() + (area.height() - size.height()) / 2);
}

} // namespace Appearance
