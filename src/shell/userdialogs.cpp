#include "shell/userdialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QMessageBox>

namespace {

const QString kTitle = QStringLiteral("Quorvane");

// A box no wider than its text would get a title bar too short for "Quorvane" ("Q..."). A
// QMessageBox sizes itself from its grid layout and ignores a minimum width of its own, so
// a spacer row across the grid holds it open: the title in a bold, larger face (as window
// managers draw titles) plus room for the decorations' icon and buttons.
int showBox(QWidget *parent, QMessageBox::Icon icon, const QString &text, QMessageBox::StandardButtons buttons,
            const QString &details = {})
{
    QMessageBox box(icon, kTitle, text, buttons, parent);
    if (!details.isEmpty())
        box.setDetailedText(details);
    if (buttons & QMessageBox::Yes)
        box.setDefaultButton(QMessageBox::Yes);
    QFont titleFont = box.font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.25);
    const QFontMetrics title(titleFont);
    const int width = title.horizontalAdvance(kTitle) + 8 * title.height();
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout()))
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                      grid->columnCount());
    return box.exec();
}

} // namespace

QStringList QtUserDialogs::getOpenFileNames(QWidget *parent, const QString &title, const QString &filter)
{
    QStringList files = QFileDialog::getOpenFileNames(parent, title, QString(), filter);
    for (QString &file : files)
        file = QDir::toNativeSeparators(file);
    return files;
}

QString QtUserDialogs::pickFolder(QWidget *parent, const QString &prompt)
{
    return QDir::toNativeSeparators(QFileDialog::getExistingDirectory(parent, prompt));
}

void QtUserDialogs::inform(QWidget *parent, const QString &text, const QString &details)
{
    showBox(parent, QMessageBox::NoIcon, text, QMessageBox::Ok, details);
}

void QtUserDialogs::warn(QWidget *parent, const QString &text, const QString &details)
{
    showBox(parent, QMessageBox::Warning, text, QMessageBox::Ok, details);
}

bool QtUserDialogs::askYesNo(QWidget *parent, const QString &text)
{
    return showBox(parent, QMessageBox::NoIcon, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}
