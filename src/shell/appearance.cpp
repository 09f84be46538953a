#include "shell/appearance.h"

#include "shell/twips.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStringDecoder>
#include <QWindow>

namespace Appearance {

namespace {

// Moves window to the middle of its screen, its frame (as far as it is known) included.
void placeCentred(QWidget *window)
{
    QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QWindow *handle = window->windowHandle();
    const QMargins frame = handle ? handle->frameMargins() : QMargins();
    const QPoint framePosition = centeredPosition(screen->availableGeometry(), window->size().grownBy(frame));
    if (handle && handle->isVisible())
        handle->setFramePosition(framePosition);
    else
        window->move(framePosition); // a top-level window's position is its frame's
}

// A window has no frame until the window system maps it, so one centred before it is shown would
// stand low by half its title bar: this centres it once more when its frame is known, and goes.
class CentreWhenFramed : public QObject
{
public:
    explicit CentreWhenFramed(QWidget *window)
        : QObject(window)
    {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == parent() && (event->type() == QEvent::Move || event->type() == QEvent::Resize)) {
            auto *window = static_cast<QWidget *>(watched);
            const QWindow *handle = window->windowHandle();
            if (handle && handle->isVisible() && !handle->frameMargins().isNull()) {
                window->removeEventFilter(this);
                placeCentred(window);
                deleteLater();
            }
        }
        return false;
    }
};

// Whether text looks like a style sheet Qt can apply: balanced braces outside
// strings and comments, and something in them.
bool isPlausibleStyleSheet(const QString &text)
{
    int depth = 0;
    bool sawBlock = false;
    QChar quote;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (!quote.isNull()) {
            if (c == u'\\')
                ++i;
            else if (c == quote)
                quote = QChar();
            continue;
        }
        if (c == u'/' && i + 1 < text.size() && text.at(i + 1) == u'*') {
            const qsizetype end = text.indexOf(QStringLiteral("*/"), i + 2);
            if (end < 0)
                return false;
            i = end + 1;
        } else if (c == u'"' || c == u'\'') {
            quote = c;
        } else if (c == u'{') {
            ++depth;
            sawBlock = true;
        } else if (c == u'}') {
            if (--depth < 0)
                return false;
        } else if (c.unicode() < 0x20 && c != u'\n' && c != u'\r' && c != u'\t') {
            return false;
        }
    }
    return depth == 0 && quote.isNull() && sawBlock;
}

} // namespace

bool applySkin(QWidget *window, const QString &appFolder)
{
    QFile file(QDir(appFolder).filePath(QStringLiteral("x/o.cjs")));
    if (!file.exists())
        return false;
    // The colours go with the file's presence; a damaged sheet only costs the sheet.
    applyFormColors(window);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString sheet = utf8.decode(file.read(1 << 20));
    if (utf8.hasError() || !isPlausibleStyleSheet(sheet))
        return false;
    window->setStyleSheet(sheet);
    return true;
}

void applyFormColors(QWidget *window)
{
    fillBackground(window, window->palette().color(QPalette::Button));
    // The window's own plain controls, also those inside its frames; composite widgets
    // such as the player keep their colours.
    for (QWidget *w : window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (qobject_cast<QGroupBox *>(w))
            applyFormColors(w);
        else if (qobject_cast<QLabel *>(w) || qobject_cast<QCheckBox *>(w) || qobject_cast<QRadioButton *>(w))
            fillBackground(w, w->palette().color(QPalette::Button));
    }
}

QPoint centeredPosition(const QRect &area, const QSize &size)
{
    return QPoint(area.x() + (area.width() - size.width()) / 2, area.y() + (area.height() - size.height()) / 2);
}

void centerForm(QWidget *window)
{
    placeCentred(window);
    if (!window->isVisible() && !window->windowFlags().testFlag(Qt::FramelessWindowHint))
        new CentreWhenFramed(window);
}

QFont arialBold(qreal points)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(true);
    return font;
}

void placeAt(QWidget *w, int left, int top, int width, int height)
{
    w->setGeometry(Twips::rect(left, top, width, height, w->logicalDpiX()));
}

QPushButton *pushButton(QWidget *parent, const char *name, const QString &caption, int left, int top, int width,
                        int height)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setFont(arialBold(11.25));
    button->setAutoDefault(false);
    placeAt(button, left, top, width, height);
    return button;
}

void fillBackground(QWidget *w, const QColor &colour)
{
    w->setAutoFillBackground(true);
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, colour);
    w->setPalette(pal);
}

} // namespace Appearance

PointerRule::PointerRule(QWidget *window, std::optional<QCursor> hand)
    : QObject(window), m_hand(std::move(hand))
{
}

void PointerRule::addButton(QPushButton *button)
{
    m_buttons.append(button);
    apply();
}

void PointerRule::setBusy(bool busy)
{
    m_busy = busy;
    apply();
}

void PointerRule::apply()
{
    // Widgets without a cursor of their own show their window's, so the hourglass set
    // on the window (this rule's parent) covers everything once the buttons stop offering the hand.
    auto *window = static_cast<QWidget *>(parent());
    if (m_busy)
        window->setCursor(Qt::WaitCursor);
    else
        window->unsetCursor();
    for (const QPointer<QPushButton> &button : std::as_const(m_buttons)) {
        if (!button)
            continue;
        if (m_busy)
            button->unsetCursor();
        else
            button->setCursor(m_hand.value_or(QCursor(Qt::ArrowCursor)));
    }
}
