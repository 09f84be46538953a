#include "app/splashwindow.h"

#include "shell/appearance.h"
#include "shell/settingsstore.h"
#include "shell/twips.h"

#include <QCheckBox>
#include <QDir>
#include <QPainter>
#include <QRegularExpression>
#include <QTimer>

namespace {

constexpr int kShowMilliseconds = 4000;

// Whether the stored "ShowAgain" text asks for the splash: only a number equal to 0 does.
// It is read like a number typed by a person: a leading number counts, anything else is 0.
bool isDue(const QString &showAgain)
{
    static const QRegularExpression leadingNumber(
        QStringLiteral("^\\s*[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?"));
    const QRegularExpressionMatch match = leadingNumber.match(showAgain);
    return !match.hasMatch() || match.captured(0).trimmed().toDouble() == 0.0;
}

// The first file the Splash folder lists, in the file system's own order (not sorted), or "".
QString picturePath(const QString &appFolder)
{
    const QDir folder(QDir(appFolder).filePath(QStringLiteral("Splash")));
    const QStringList names = folder.entryList(QDir::Files, QDir::Unsorted);
    return names.isEmpty() ? QString() : folder.filePath(names.first());
}

} // namespace

SplashWindow::SplashWindow(const AppServices &services, QWidget *parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint), m_services(services)
{
    setObjectName(QStringLiteral("Splash"));
    Appearance::fillBackground(this, Qt::white);

    m_hide = new QCheckBox(QStringLiteral("Hide this at next startup"), this);
    m_hide->setObjectName(QStringLiteral("Check1"));
    m_hide->setFont(QFont(QStringLiteral("Arial"), 9, QFont::Bold));
    // White like the strip it stands in, whatever the style would paint.
    m_hide->setStyleSheet(QStringLiteral("QCheckBox { background-color: white; }"));
    // Every click is stored at once, even while the splash is still up.
    connect(m_hide, &QCheckBox::clicked, this, [this](bool checked) {
        m_services.settings->write(SettingsStore::KeyShowAgain, checked ? QStringLiteral("1") : QStringLiteral("0"));
    });
}

void SplashWindow::splashShow(std::function<void()> done)
{
    const bool due = isDue(m_services.settings->read(SettingsStore::KeyShowAgain, QStringLiteral("0")));
    const QString path = due ? picturePath(m_services.appFolder) : QString();
    m_picture = path.isEmpty() ? QPixmap() : QPixmap(path);
    // Not due, no picture, or a file that is no picture: no splash, start-up goes on.
    if (m_picture.isNull()) {
        done();
        return;
    }

    setWindowTitle(QStringLiteral("Quorvane"));
    const int dpi = logicalDpiX();
    m_twips = QSize(qRound(Twips::fromPixels(m_picture.width(), dpi)),
                    qRound(Twips::fromPixels(m_picture.height(), dpi)) + StripTwips);
    const QSize size = Twips::size(m_twips.width(), m_twips.height(), dpi);
    setFixedSize(size);
    const int checkTop = m_twips.height() - CheckHeightTwips - 20;
    m_hide->setGeometry(Twips::toPixels(CheckLeftTwips, dpi), Twips::toPixels(checkTop, dpi),
                        size.width() - 2 * Twips::toPixels(CheckLeftTwips, dpi), Twips::toPixels(CheckHeightTwips, dpi));

    show();
    Appearance::centerForm(this);
    // A timer, not a busy wait: the processor stays free while the picture shows.
    QTimer::singleShot(kShowMilliseconds, this, [this, done] {
        hide();
        done();
    });
}

void SplashWindow::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_picture);
    painter.setPen(palette().color(QPalette::WindowText));
    const int dpi = logicalDpiX();
    // A one-line frame, its right and bottom lines 10 twips inside the window.
    const int right = Twips::toPixels(m_twips.width() - 10, dpi);
    const int bottom = Twips::toPixels(m_twips.height() - 10, dpi);
    painter.drawLine(0, 0, 0, height());
    painter.drawLine(0, 0, width(), 0);
    painter.drawLine(right, 0, right, height());
    painter.drawLine(0, bottom, width(), bottom);
}
