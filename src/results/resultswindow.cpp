#include "results/resultswindow.h"

#include "shell/appearance.h"
#include "shell/cursorfile.h"
#include "shell/settingsstore.h"
#include "shell/twips.h"
#include "shell/userdialogs.h"
#include "convert/files/pathhelpers.h"
#include "convert/saving/resultset.h"
#include "filelist/filelistview.h"
#include "results/playercontrols.h"
#include "results/sonogramview.h"

#include <QAudioOutput>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMediaPlayer>
#include <QPushButton>
#include <QStandardPaths>

namespace {

// Why the preview cannot play, with the player's own words: those alone may be as bare as
// Windows Media Foundation's "Unable to play.".
QString playerProblem(QMediaPlayer::Error error, const QString &said)
{
    QString kind;
    switch (error) {
    case QMediaPlayer::ResourceError:
        kind = QStringLiteral("the player could not read or decode it");
        break;
    case QMediaPlayer::FormatError:
        kind = QStringLiteral("this system's player does not take its format");
        break;
    case QMediaPlayer::AccessDeniedError:
        kind = QStringLiteral("the player may not open it");
        break;
    default:
        kind = QStringLiteral("the player failed");
        break;
    }
    const QString words = said.trimmed();
    return words.isEmpty() ? QStringLiteral("This file cannot be played: %1.").arg(kind)
                           : QStringLiteral("This file cannot be played: %1 (%2)").arg(kind, words);
}

// The box shows a folder with its trailing separator, as the user would type one.
QString withSeparator(const QString &folder)
{
    return QDir::fromNativeSeparators(folder).endsWith(u'/') ? folder : folder + QDir::separator();
}

// The folder offered until the user chooses one (see Paths::defaultOutputFolder()).
QString defaultOutputFolder()
{
    return withSeparator(Paths::defaultOutputFolder());
}

// The folder that the box's text names, or "" when it names none. Text typed with surrounding
// spaces is taken without them when the text as typed is no folder.
QString usableFolder(const QString &text)
{
    for (const QString &folder : {text, text.trimmed()}) {
        if (Paths::folderProblem(folder, QString(), Paths::FolderUse::Exists).isEmpty())
            return folder;
    }
    return {};
}

} // namespace

// The window's rows: the converted files of the set shown, in source order, read from the
// set's records as they are now (a save may move a name); a row's tooltip is what its record
// says of the file, so that a row without a remark keeps the list's own.
class ConvertedRows : public QAbstractListModel
{
public:
    using QAbstractListModel::QAbstractListModel;

    void show(const ResultSet *results)
    {
        beginResetModel();
        m_results = results;
        m_indices.clear();
        for (int index = 0; results && index < results->count(); ++index) {
            if (results->at(index).isConverted())
                m_indices.append(index);
        }
        endResetModel();
    }
    // The record's source index, or -1.
    int indexAt(int row) const { return m_indices.value(row, -1); }
    // After a save, which may have moved a name.
    void refresh()
    {
        if (!m_indices.isEmpty())
            emit dataChanged(index(0), index(int(m_indices.size()) - 1));
    }
    int rowCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : int(m_indices.size()); }
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override
    {
        if (!index.isValid() || index.row() >= m_indices.size())
            return {};
        const FileResult &file = m_results->at(m_indices.at(index.row()));
        if (role == Qt::DisplayRole)
            return file.outputName;
        if (role == Qt::ToolTipRole && !file.remarks().isEmpty())
            return file.remarks();
        return {};
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override
    {
        if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
            return QStringLiteral("Preview");
        return {};
    }

private:
    const ResultSet *m_results = nullptr;
    QList<int> m_indices;   // source indices, by row
};

using Appearance::placeAt;
using Appearance::pushButton;

ResultsWindow::ResultsWindow(const AppServices &services, QWidget *parent)
    : QWidget(parent), m_services(services)
{
    setObjectName(QStringLiteral("Form2"));
    setFixedSize(Twips::size(8040, 9525, logicalDpiX()));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    setFont(Appearance::arialBold(9));

    m_rows = new ConvertedRows(this);
    m_list = new FileListView(this);
    m_list->setObjectName(QStringLiteral("ListView1"));
    m_list->setModel(m_rows);
    placeAt(m_list, 120, 120, 7800, 1815);

    m_controls = new PlayerControls(this);
    placeAt(m_controls, 120, 2040, 7800, 5895);

    m_player = new QMediaPlayer(this);
    auto *audio = new QAudioOutput(this);
    audio->setVolume(0.5f);
    m_player->setAudioOutput(audio);
    m_controls->setVolume(audio->volume());

    auto *saveFrame = new QGroupBox(QStringLiteral("Save Result(s) To This Folder"), this);
    saveFrame->setObjectName(QStringLiteral("Frame1"));
    placeAt(saveFrame, 120, 8040, 7815, 810);
    m_outputFolder = new QLineEdit(saveFrame);
    m_outputFolder->setObjectName(QStringLiteral("Text1"));
    placeAt(m_outputFolder, 240, 300, 6540, 345);

    m_browse = pushButton(saveFrame, "PushButton7", QStringLiteral("..."), 6960, 300, 600, 345);
    m_save = pushButton(this, "PushButton6", QStringLiteral("Save Results"), 3960, 9000, 3960, 405);
    m_back = pushButton(this, "PushButton8", QStringLiteral("< Back"), 120, 9000, 3720, 405);

    // "Save Results" comes first in the tab order and has the focus when shown.
    const QList<QWidget *> tabOrder{m_save, m_back, m_controls, m_list, m_outputFolder, m_browse};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder.at(i - 1), tabOrder.at(i));

    connect(m_list, &FileListView::itemClicked, this, &ResultsWindow::playResult);
    connect(m_browse, &QPushButton::clicked, this, [this] {
        const QString folder = m_services.dialogs->pickFolder(this, QStringLiteral("Please select folder:"));
        if (!folder.isEmpty())
            m_outputFolder->setText(withSeparator(folder));
    });
    connect(m_save, &QPushButton::clicked, this, &ResultsWindow::saveResults);
    connect(m_back, &QPushButton::clicked, this, [this] {
        cleanUp();
        emit backRequested();
    });

    connect(m_controls, &PlayerControls::playRequested, m_player, &QMediaPlayer::play);
    connect(m_controls, &PlayerControls::pauseRequested, m_player, &QMediaPlayer::pause);
    // Stopped by loading the file again (see load()).
    connect(m_controls, &PlayerControls::stopRequested, this, [this] { load(playingFile()); });
    connect(m_controls, &PlayerControls::seekRequested, m_player, &QMediaPlayer::setPosition);
    connect(m_controls, &PlayerControls::volumeChanged, audio, &QAudioOutput::setVolume);
    connect(m_player, &QMediaPlayer::playbackStateChanged, m_controls, &PlayerControls::setPlaybackState);
    connect(m_player, &QMediaPlayer::durationChanged, m_controls, &PlayerControls::setDuration);
    connect(m_player, &QMediaPlayer::positionChanged, m_controls, &PlayerControls::setPosition);
    connect(m_player, &QMediaPlayer::errorOccurred, this,
            [this](QMediaPlayer::Error error, const QString &said) { m_controls->setErrorText(playerProblem(error, said)); });

    // The pictures follow the player: a new file draws its pictures, no file (leaving the window)
    // stops the drawing.
    m_spectra = new SonogramMaker(Paths::toolPath(m_services.appFolder, QStringLiteral("ffmpeg")),
                                  m_services.toolTimeoutSeconds, this);
    connect(m_player, &QMediaPlayer::sourceChanged, this, &ResultsWindow::drawSpectra);
    connect(m_spectra, &SonogramMaker::pictureReady, this, [this](const QString &file, const Sonogram &picture) {
        if (file == playingFile())
            m_controls->spectrum()->setPlayed(picture);
        else if (file == m_spectraSource)
            m_controls->spectrum()->setSource(picture);
    });

    // Load steps, once per run.
    Appearance::applyFormColors(this);
    Appearance::centerForm(this);
    setWindowTitle(QStringLiteral("Quorvane"));
    m_pointer = new PointerRule(
        this, CursorFile::load(QDir(m_services.appFolder).filePath(QStringLiteral("HAND-M.CUR"))));
    for (QPushButton *b : {m_save, m_browse, m_back})
        m_pointer->addButton(b);
    // Every change of the box is stored at once, but not the restore: the window is built
    // at start-up, and nothing is written then unless the user changes it.
    m_outputFolder->setText(m_services.settings->read(SettingsStore::KeyOutputFolder, defaultOutputFolder()));
    connect(m_outputFolder, &QLineEdit::textChanged, this,
            [this](const QString &text) { m_services.settings->write(SettingsStore::KeyOutputFolder, text); });
    // The one column, its header and the selection reach the list's right edge.
    m_list->header()->setStretchLastSection(true);
}

ResultsWindow::~ResultsWindow()
{
    m_playing.reset();   // its stream ended first, see load()
    delete m_player;
}

void ResultsWindow::drawSpectra(const QUrl &playing)
{
    const QString file = playing.toLocalFile();
    if (!file.isEmpty() && file == m_spectraFile)
        return;   // loaded again to stop: its pictures stand
    m_spectraFile = file;
    m_controls->spectrum()->clear();
    m_spectraSource.clear();
    if (file.isEmpty()) {
        m_spectra->cancel();
        return;
    }
    for (int index = 0; m_results && index < m_results->count() && m_spectraSource.isEmpty(); ++index) {
        if (QDir::fromNativeSeparators(m_results->at(index).tempPath) == file)
            m_spectraSource = m_results->at(index).sourcePath;
    }
    QStringList files{file};
    if (!m_spectraSource.isEmpty())
        files.append(m_spectraSource);
    m_spectra->request(files, m_controls->width());
}

void ResultsWindow::showResults(ResultSet *results)
{
    clearResults();
    m_results = results;
    if (!m_results)
        return;
    // A set let go mid-save ends with the window at the latest.
    m_results->setParent(this);
    connect(m_results, &ResultSet::progress, this, [this](int saved, int total) {
        m_save->setText(QStringLiteral("Saving %1 of %2...").arg(qMin(saved + 1, total)).arg(total));
    });
    connect(m_results, &ResultSet::saved, this, &ResultsWindow::onSaved);
    m_rows->show(m_results);
}

void ResultsWindow::clearResults()
{
    if (m_results) {
        m_results->disconnect(this);
        m_results->discard();
        m_results = nullptr;
        setSaving(false);
    }
    m_rows->show(nullptr);
}

int ResultsWindow::resultCount() const
{
    return m_rows->rowCount();
}

void ResultsWindow::playResult(int row)
{
    if (row < 0 || row >= resultCount())
        return;
    const FileResult &file = m_results->at(m_rows->indexAt(row));
    m_pointer->setBusy(true);
    m_controls->setTitle(file.outputName);
    if (load(file.tempPath))
        m_player->play();
    m_pointer->setBusy(isSaving());
}

// Handed over as a file we read, not a name: Qt's GStreamer player then gets the data from
// this thread's event loop, so that none arrives while setSource() still seeks, which could
// deadlock it (the new file's track connecting from its streaming thread against the seek).
// The file before is let go first, which ends its stream: stopping a stream that still has
// data waits for this thread to feed it, and so held the window up for a second.
bool ResultsWindow::load(const QString &path)
{
    m_controls->setErrorText(QString());
    auto playing = std::make_unique<QFile>(path);
    if (!playing->open(QIODevice::ReadOnly)) {
        m_controls->setErrorText(playing->errorString());
        return false;
    }
    m_playing.reset();
    m_player->setSourceDevice(playing.get(), QUrl::fromLocalFile(path));
    m_playing = std::move(playing);
    return true;
}

QString ResultsWindow::playingFile() const
{
    return m_player->source().toLocalFile();
}

void ResultsWindow::saveResults()
{
    if (isSaving() || !m_results)
        return;
    const QString folder = usableFolder(m_outputFolder->text());
    if (folder.isEmpty()) {
        m_services.dialogs->warn(this, QStringLiteral("Output folder not exists."));
        return;
    }
    // Until the copies end nothing may delete or replace the files being read, so the ways
    // out and a second save wait.
    setSaving(true);
    m_save->setText(QStringLiteral("Saving 1 of %1...").arg(resultCount()));
    m_results->save(folder);
}

void ResultsWindow::onSaved(const SaveReport &report)
{
    setSaving(false);
    m_rows->refresh();
    QStringList moved;
    for (const ResultSaver::Move &move : report.moves)
        moved.append(move.text());
    if (report.failures.isEmpty()) {
        m_services.dialogs->inform(this, QStringLiteral("Done."), moved.join(QLatin1Char('\n')));
    } else {
        QStringList lines;
        for (const ResultSaver::Failure &failure : report.failures)
            lines.append(failure.text());
        m_services.dialogs->warn(
            this,
            QStringLiteral("%1 of %2 file(s) could not be saved. The converted files are kept, so you can try again.")
                .arg(report.failures.size())
                .arg(report.entries.size()),
            (lines + moved).join(QLatin1Char('\n')));
    }
}

void ResultsWindow::setSaving(bool saving)
{
    for (QWidget *w : std::initializer_list<QWidget *>{m_back, m_browse, m_outputFolder, m_save})
        w->setEnabled(!saving);
    m_saving = saving;
    if (!saving)
        m_save->setText(QStringLiteral("Save Results"));
    m_pointer->setBusy(saving);
}

void ResultsWindow::cleanUp()
{
    // Let go of the file first (its stream ended before the player stops, see load()): a
    // playing file cannot be deleted everywhere. Closing mid-save, the file being copied is
    // finished, the rest are not saved, then the temporary files go.
    m_playing.reset();
    m_player->setSource(QUrl());
    clearResults();
}

void ResultsWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_save->setFocus();
}

void ResultsWindow::closeEvent(QCloseEvent *event)
{
    cleanUp();
    event->accept();
}
