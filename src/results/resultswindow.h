#pragma once

#include "app/shell/appservices.h"

#include <QStringList>
#include <QWidget>

#include <memory>

class QLineEdit;
class QFile;
class QMediaPlayer;
class QPushButton;
class QUrl;
class FileListView;
class PathListModel;
class PlayerControls;
class PointerRule;
class ResultSet;
class SonogramMaker;
struct SaveReport;

// The results of the last batch: one row per converted file, a preview player, and the ways
// on (save, or go back). It shows a result set and forwards the user's intents to it; the set
// names, protects, saves and at last deletes the files.
class ResultsWindow : public QWidget
{
    Q_OBJECT

public:
    explicit ResultsWindow(const AppServices &services, QWidget *parent = nullptr);
    ~ResultsWindow() override;

    // The rows: the set's entries. The window takes the set over; the one before is let go.
    void showResults(ResultSet *results);
    // Adds a file to the set shown (a new one when none is), for what a batch did not make.
    void addResult(const QString &displayName, const QString &tempFile, const QString &sourceFile = QString());
    int resultCount() const;
    QStringList displayNames() const;
    QStringList resultFiles() const;

    void playResult(int row);
    QString playingFile() const;
    PointerRule *pointerRule() const { return m_pointer; }

    void setOutputFolderText(const QString &text);

    // Saves on a worker thread; the window keeps answering. "Done." or the failures follow.
    void saveResults();
    bool isSaving() const { return m_saving; }

signals:
    // The save has ended and its message has been shown.
    void savingFinished();
    // The clean-up has run; the main window takes over.
    void backRequested();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void clearResults();
    void cleanUp();
    void onSaved(const SaveReport &report);
    void setSaving(bool saving);
    void drawSpectra(const QUrl &playing);

    AppServices m_services;
    PathListModel *m_names = nullptr;
    ResultSet *m_results = nullptr;
    FileListView *m_list = nullptr;
    PlayerControls *m_controls = nullptr;
    QMediaPlayer *m_player = nullptr;
    std::unique_ptr<QFile> m_playing;   // what the player reads
    QLineEdit *m_outputFolder = nullptr;
    QPushButton *m_browse = nullptr;
    QPushButton *m_save = nullptr;
    QPushButton *m_back = nullptr;
    PointerRule *m_pointer = nullptr;
    bool m_saving = false;
    SonogramMaker *m_spectra = nullptr;
    QString m_spectraSource;
};
