#pragma once

// Stand-ins for the dialogs and the desktop, so that tests answer with canned replies
// and never open a real dialog or a browser.

#include "shell/appservices.h"
#include "shell/desktoplauncher.h"
#include "shell/settingsstore.h"
#include "shell/userdialogs.h"

#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <deque>
#include <memory>

class FakeDialogs : public UserDialogs
{
public:
    struct Message
    {
        enum Kind { Inform, Warn, Question } kind;
        QString text;
        QString details;
    };

    std::deque<QStringList> openAnswers; // one per getOpenFileNames call; empty = cancel
    std::deque<QString> folderAnswers;   // one per pickFolder call; "" = cancel
    bool yesNoAnswer = false;

    QStringList openTitles;
    QStringList openFilters;
    QStringList folderPrompts;
    QList<Message> messages;

    QStringList getOpenFileNames(QWidget *, const QString &title, const QString &filter) override
    {
        openTitles.append(title);
        openFilters.append(filter);
        if (openAnswers.empty())
            return {};
        QStringList answer = openAnswers.front();
        openAnswers.pop_front();
        return answer;
    }
    QString pickFolder(QWidget *, const QString &prompt) override
    {
        folderPrompts.append(prompt);
        if (folderAnswers.empty())
            return {};
        QString answer = folderAnswers.front();
        folderAnswers.pop_front();
        return answer;
    }
    void inform(QWidget *, const QString &text, const QString &details) override
    {
        messages.append({Message::Inform, text, details});
    }
    void warn(QWidget *, const QString &text, const QString &details) override
    {
        messages.append({Message::Warn, text, details});
    }
    bool askYesNo(QWidget *, const QString &text) override
    {
        messages.append({Message::Question, text, {}});
        return yesNoAnswer;
    }

    QStringList messageTexts() const
    {
        QStringList texts;
        for (const Message &m : messages)
            texts.append(m.text);
        return texts;
    }
};

class FakeLauncher : public DesktopLauncher
{
public:
    QList<QUrl> opened;
    bool open(const QUrl &url) override
    {
        opened.append(url);
        return true;
    }
};

// What a window under test is given: settings in a file of a temporary folder, the fake
// dialogs and launcher. Test fixtures derive from it and add their window.
struct TestServices
{
    QTemporaryDir dir;
    std::unique_ptr<SettingsStore> settings =
        std::make_unique<SettingsStore>(dir.filePath(QStringLiteral("settings.ini")));
    FakeDialogs dialogs;
    FakeLauncher launcher;

    AppServices services(const QString &appFolder, const QString &tempFolder, int jobs = 1,
                         std::function<int()> roll = [] { return 1; })
    {
        AppServices s;
        s.settings = settings.get();
        s.dialogs = &dialogs;
        s.launcher = &launcher;
        s.appFolder = appFolder;
        s.tempFolder = tempFolder;
        s.rollPercent = std::move(roll);
        s.jobs = jobs;
        return s;
    }
};
