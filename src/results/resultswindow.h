#pragma once

#include "shell/appservices.h"

#include <QWidget>

#include <memory>

class QLineEdit;
class QFile;
class QMediaPlayer;
class QPushButton;
class QUrl;
class FileListView;
class ConvertedRows;
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

    // The rows: the set's converted files, in source order. The window takes the set over;
    // the one before is let go.
    void showResults(ResultSet *results);

    void playResult(int row);
    QString playingFile() const;

    // Saves on a worker thread; the window keeps answering. "Done." or the failures follow.
    void saveResults();
    bool isSaving() const { return m_saving; }

signals:
    // The clean-up has run; the main window takes over.
    void backRequested();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    int resultCount() const;
    bool load(const QString &path);
    void clearResults();
    void cleanUp();
    void onSaved(const SaveReport &report);
    void setSaving(bool saving);
    void drawSpectra(const QUrl &playing);

    AppServices m_services;
    ConvertedRows *m_rows = nullptr;
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
    QString m_spectraFile;     // the file whose pictures are drawn or coming
    QString m_spectraSource;
};
