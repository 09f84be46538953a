#pragma once

#include "app/shell/appservices.h"
#include "results/saving/resultsaver.h"

#include <QSet>
#include <QStringList>
#include <QWidget>

class QAudioOutput;
class QGroupBox;
class QLineEdit;
class QMediaPlayer;
class QPushButton;
class QUrl;
class FileListView;
class PathListModel;
class PlayerControls;
class PointerRule;
class SaveJob;
class SonogramMaker;

// The results of the last batch: one row per converted file, a preview player, and
// the ways on (save the files, or go back). From the moment a temporary file is added
// here this window owns it and deletes it when the user leaves by either way out.
class ResultsWindow : public QWidget
{
    Q_OBJECT

public:
    explicit ResultsWindow(const AppServices &services, QWidget *parent = nullptr);
    ~ResultsWindow() override;

    // The result list: display names and the temporary files, always of one length. A
    // repeated name shows as the name it will be saved under ("song (2).mp3").
    void clearResults();
    // The files the batch converted from: a save never replaces one of them.
    void setBatchSources(const QStringList &sources) { m_batchSources = sources; }
    // sourceFile, when given, is drawn above the converted file's picture for comparison.
    void addResult(const QString &displayName, const QString &tempFile, const QString &sourceFile = QString());
    int resultCount() const;
    QStringList displayNames() const;
    const QStringList &resultFiles() const { return m_files; }

    // Opens the row's file in the player and starts it.
    void playResult(int row);
    QString playingFile() const;
    QMediaPlayer *player() const { return m_player; }
    PointerRule *pointerRule() const { return m_pointer; }

    QString outputFolderText() const;
    void setOutputFolderText(const QString &text);

    void browseOutputFolder();
    // Saves on a worker thread; the window keeps answering. "Done." or the failures follow.
    void saveResults();
    bool isSaving() const { return m_saving != nullptr; }
    void goBack();

signals:
    // The save has ended and its message has been shown.
    void savingFinished();
    // The clean-up has run; the main window takes over.
    void backRequested();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void restoreOutputFolder();
    void cleanUp();
    void onSaved(const QList<ResultSaver::Failure> &failures);
    void setSaving(bool saving);
    void connectSpectra();
    void drawSpectra(const QUrl &playing);

    AppServices m_services;
    PathListModel *m_names = nullptr;
    QSet<QString> m_takenNames; // m_names in lower case, as ResultSaver::uniqueName keeps them
    QStringList m_files;
    FileListView *m_list = nullptr;
    PlayerControls *m_controls = nullptr;
    QMediaPlayer *m_player = nullptr;
    QAudioOutput *m_audio = nullptr;
    QGroupBox *m_saveFrame = nullptr;
    QLineEdit *m_outputFolder = nullptr;
    QPushButton *m_browse = nullptr;
    QPushButton *m_save = nullptr;
    QPushButton *m_back = nullptr;
    PointerRule *m_pointer = nullptr;
    SaveJob *m_saving = nullptr;
    QStringList m_batchSources;
    QList<ResultSaver::Move> m_moved;   // of the save that runs
    QStringList m_sources;
    SonogramMaker *m_spectra = nullptr;
    QString m_spectraFile;
    QString m_spectraSource;
};
