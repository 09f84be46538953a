#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// Every modal dialog and message box of the program goes through this interface, so
// that tests answer with canned replies and never open a real dialog. main() creates
// the real one; message boxes are titled "Quorvane".
class UserDialogs
{
public:
    virtual ~UserDialogs() = default;

    // Full native paths of the chosen files in the dialog's order; empty on cancel.
    virtual QStringList getOpenFileNames(QWidget *parent, const QString &title, const QString &filter) = 0;
    // The chosen folder's native path, or "" when the user cancelled.
    virtual QString pickFolder(QWidget *parent, const QString &prompt) = 0;
    // OK only, no icon. details, when given, can be unfolded by the user.
    virtual void inform(QWidget *parent, const QString &text, const QString &details = {}) = 0;
    // OK only, warning icon.
    virtual void warn(QWidget *parent, const QString &text, const QString &details = {}) = 0;
    // Yes and No, no icon, Yes by default; true for Yes.
    virtual bool askYesNo(QWidget *parent, const QString &text) = 0;
};

class QtUserDialogs : public UserDialogs
{
public:
    QStringList getOpenFileNames(QWidget *parent, const QString &title, const QString &filter) override;
    QString pickFolder(QWidget *parent, const QString &prompt) override;
    void inform(QWidget *parent, const QString &text, const QString &details) override;
    void warn(QWidget *parent, const QString &text, const QString &details) override;
    bool askYesNo(QWidget *parent, const QString &text) override;
};
