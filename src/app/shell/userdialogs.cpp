#include "app/shell/userdialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

namespace {

const QString kTitle = QStringLiteral("Quorvane");

void showMessage(QWidget *parent, QMessageBox::Icon icon, const QString &text, const QString &details)
{
    QMessageBox box(icon, kTitle, text, QMessageBox::Ok, parent);
    if (!details.isEmpty())
        box.setDetailedText(details);
    box.exec();
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
    showMessage(parent, QMessageBox::NoIcon, text, details);
}

void QtUserDialogs::warn(QWidget *parent, const QString &text, const QString &details)
{
    showMessage(parent, QMessageBox::Warning, text, details);
}

bool QtUserDialogs::askYesNo(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, kTitle, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}
