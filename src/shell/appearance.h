#pragma once

#include <QCursor>
#include <QObject>
#include <QPointer>
#include <QRect>

#include <optional>

class QColor;
class QFont;
class QPushButton;
class QWidget;

// The look of the windows that does not belong to any one window: the optional skin,
// the button-face colours, centring, and which pointer shows where.
namespace Appearance {

// The skin: a Qt style sheet in x/o.cjs in the program's folder. The file being there gives the
// window the button-face colours (applyFormColors); the sheet is applied (true) when it reads as one.
bool applySkin(QWidget *window, const QString &appFolder);

// Gives window and its frames, labels, check boxes and option buttons the button-face colour.
void applyFormColors(QWidget *window);

// Where a window of size goes to stand in the middle of area.
QPoint centeredPosition(const QRect &area, const QSize &size);
// Centres window, its frame included, on its screen's available area; a window not yet shown
// again once the window system has put its frame around it.
void centerForm(QWidget *window);

QFont arialBold(qreal points);   // the windows' lettering
// Sets the geometry of w from a rectangle in twips, at its screen's logical DPI.
void placeAt(QWidget *w, int left, int top, int width, int height);
// One of the windows' push buttons: Arial Bold 11.25, never a default button, placed in twips.
QPushButton *pushButton(QWidget *parent, const char *name, const QString &caption, int left, int top, int width,
                        int height);
// Fills w's background with colour, whatever the style would paint.
void fillBackground(QWidget *w, const QColor &colour);

} // namespace Appearance

// The pointer of one window: the hand over its push buttons, the arrow elsewhere; while a busy
// step runs (conversion, folder walk, preview) the hourglass everywhere, and no hand.
class PointerRule : public QObject
{
    Q_OBJECT

public:
    // hand: the cursor from the program's folder; without one the buttons show the arrow.
    PointerRule(QWidget *window, std::optional<QCursor> hand);

    void addButton(QPushButton *button);
    void setBusy(bool busy);

private:
    void apply();

    std::optional<QCursor> m_hand;
    QList<QPointer<QPushButton>> m_buttons;
    bool m_busy = false;
};
