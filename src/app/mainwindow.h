#pragma once

#include "shell/appservices.h"
#include "filelist/walk/walkqueue.h"

#include <QCursor>
#include <QWidget>

#include <optional>

class QComboBox;
class QProgressBar;
class QPushButton;
class BatchSession;
struct BatchOutcome;
class FileListView;
class PathListModel;
class ResultSet;
class PointerRule;

// The main window: the source list, the buttons that fill and empty it, the bitrate
// and "Start Converting". It forwards each intent to the engine or the file walk and
// shows their state; closing it ends the program. Windows::startUp() readies it.
class MainWindow : public QWidget
{
    Q_OBJECT

public:
    explicit MainWindow(const AppServices &services, QWidget *parent = nullptr);
    ~MainWindow() override;

    bool isConverting() const { return m_batch != nullptr; }
    bool isWalking() const { return m_walks->isBusy(); }

    void addFiles();
    void addFolder();
    void addDroppedPaths(const QStringList &paths);
    void startConverting();

    // Start-up steps (Windows::startUp() runs them in their order): the hand cursor over the
    // buttons, and, once the splash has gone, the list column and the bitrates with the
    // stored one picked.
    void useHandCursor(const std::optional<QCursor> &cursor);
    void fillControls();

signals:
    // A batch has converted files: the receiver takes the set over and shows it, with the
    // warning (and its details) when some files did not come out as asked.
    void converted(ResultSet *results, const QString &warning, const QString &details);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void loadSamples();
    void removeSelected();
    void setBusy(bool busy);
    void updatePointer();
    void onBatchFinished(const BatchOutcome &outcome);
    void reportUnreadable(const FolderWalk::UnreadableList &unreadable);

    AppServices m_services;
    PathListModel *m_sources = nullptr;
    FileListView *m_list = nullptr;
    QComboBox *m_bitrate = nullptr;
    QProgressBar *m_progress = nullptr;
    QPushButton *m_focusHolder = nullptr;
    QPushButton *m_addFiles = nullptr;
    QPushButton *m_addFolder = nullptr;
    QPushButton *m_start = nullptr;
    QPushButton *m_clear = nullptr;
    QPushButton *m_samples = nullptr;
    WalkQueue *m_walks = nullptr;
    BatchSession *m_batch = nullptr;
    PointerRule *m_pointer = nullptr;
};
