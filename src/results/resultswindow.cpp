#include "results/resultswindow.h"

#include "app/shell/appearance.h"
#include "app/shell/cursorfile.h"
#include "app/shell/settingsstore.h"
#include "app/shell/twips.h"
#include "app/shell/userdialogs.h"
#include "convert/files/pathhelpers.h"
#include "convert/files/workfolder.h"
#include "filelist/filelistview.h"
#include "filelist/pathlistmodel.h"
#include "results/playercontrols.h"
#include "results/saving/resultsaver.h"
#include "results/saving/savejob.h"
#include "preview/sonogram.h"
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

namespace {

QFont windowFont(qreal points)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(true);
    return font;
}

QString defaultOutputFolder()
{
#ifdef Q_OS_WIN
    return QStringLiteral("C:\\");
#else
    return Paths::joinPath(QDir::toNativeSeparators(QDir::homePath()), QString());
#endif
}

} // namespace

ResultsWindow::ResultsWindow(const AppServices &services, QWidget *parent)
    : QWidget(parent), m_services(services)
{
    setObjectName(QStringLiteral("Form2"));
    buildControls();
    connectSpectra();

    // Load steps, once per run.
    Appearance::applyFormColors(this);
    Appearance::centerForm(this);
    setWindowTitle(QStringLiteral("Quorvane"));
    m_pointer = new PointerRule(
        this, CursorFile::load(Paths::joinPath(m_services.appFolder, QStringLiteral("HAND-M.CUR"))));
    for (QPushButton *b : {m_save, m_browse, m_back})
        m_pointer->addButton(b);
    restoreOutputFolder();
    m_list->header()->resizeSection(0, Twips::toPixels(6600, logicalDpiX()));
}

ResultsWindow::~ResultsWindow()
{
    m_player->stop();
}

void ResultsWindow::buildControls()
{
    const int dpi = logicalDpiX();
    const auto at = [dpi](QWidget *w, int left, int top, int width, int height) {
        w->setGeometry(Twips::rect(left, top, width, height, dpi));
    };

    setFixedSize(Twips::size(8040, 9525, dpi));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    setFont(windowFont(9));

    m_names = new PathListModel(QStringLiteral("Preview"), this);
    m_list = new FileListView(this);
    m_list->setObjectName(QStringLiteral("ListView1"));
    m_list->setPathModel(m_names);
    at(m_list, 120, 120, 7800, 1815);

    m_controls = new PlayerControls(this);
    at(m_controls, 120, 2040, 7800, 5895);

    m_player = new QMediaPlayer(this);
    m_audio = new QAudioOutput(this);
    m_audio->setVolume(0.5f);
    m_player->setAudioOutput(m_audio);
    m_controls->setVolume(m_audio->volume());

    m_saveFrame = new QGroupBox(QStringLiteral("Save Result(s) To This Folder"), this);
    m_saveFrame->setObjectName(QStringLiteral("Frame1"));
    at(m_saveFrame, 120, 8040, 7815, 810);
    m_outputFolder = new QLineEdit(m_saveFrame);
    m_outputFolder->setObjectName(QStringLiteral("Text1"));
    at(m_outputFolder, 240, 300, 6540, 345);

    const auto button = [&](QWidget *parent, const char *name, const QString &caption, int l, int t, int w, int h) {
        auto *b = new QPushButton(caption, parent);
        b->setObjectName(QString::fromLatin1(name));
        b->setFont(windowFont(11.25));
        b->setAutoDefault(false);
        at(b, l, t, w, h);
        return b;
    };
    m_browse = button(m_saveFrame, "PushButton7", QStringLiteral("..."), 6960, 300, 600, 345);
    m_save = button(this, "PushButton6", QStringLiteral("Save Results"), 3960, 9000, 3960, 405);
    m_back = button(this, "PushButton8", QStringLiteral("< Back"), 120, 9000, 3720, 405);

    // "Save Results" comes first in the tab order and has the focus when shown.
    QWidget::setTabOrder(m_save, m_back);
    QWidget::setTabOrder(m_back, m_controls);
    QWidget::setTabOrder(m_controls, m_list);
    QWidget::setTabOrder(m_list, m_outputFolder);
    QWidget::setTabOrder(m_outputFolder, m_browse);

    connect(m_list, &FileListView::itemClicked, this, &ResultsWindow::playResult);
    connect(m_browse, &QPushButton::clicked, this, &ResultsWindow::browseOutputFolder);
    connect(m_save, &QPushButton::clicked, this, &ResultsWindow::saveResults);
    connect(m_back, &QPushButton::clicked, this, &ResultsWindow::goBack);

    connect(m_controls, &PlayerControls::playRequested, m_player, &QMediaPlayer::play);
    connect(m_controls, &PlayerControls::pauseRequested, m_player, &QMediaPlayer::pause);
    connect(m_controls, &PlayerControls::stopRequested, m_player, &QMediaPlayer::stop);
    connect(m_controls, &PlayerControls::seekRequested, m_player, &QMediaPlayer::setPosition);
    connect(m_controls, &PlayerControls::volumeChanged, m_audio, &QAudioOutput::setVolume);
    connect(m_player, &QMediaPlayer::playbackStateChanged, m_controls, &PlayerControls::setPlaybackState);
    connect(m_player, &QMediaPlayer::durationChanged, m_controls, &PlayerControls::setDuration);
    connect(m_player, &QMediaPlayer::positionChanged, m_controls, &PlayerControls::setPosition);
    connect(m_player, &QMediaPlayer::errorOccurred, this,
            [this](QMediaPlayer::Error, const QString &text) { m_controls->setErrorText(text); });
}

// The pictures follow the player: a new file draws its pictures, no file (leaving the window)
// stops the drawing.
void ResultsWindow::connectSpectra()
{
    m_spectra = new SonogramMaker(Paths::toolPath(m_services.appFolder, QStringLiteral("ffmpeg")), this);
    SonogramView *view = m_controls->spectrum();
    connect(m_player, &QMediaPlayer::sourceChanged, this, &ResultsWindow::drawSpectra);
    connect(m_player, &QMediaPlayer::durationChanged, view, &SonogramView::setDuration);
    connect(m_player, &QMediaPlayer::positionChanged, view, &SonogramView::setPosition);
    connect(view, &SonogramView::seekRequested, m_player, &QMediaPlayer::setPosition);
    connect(m_spectra, &SonogramMaker::pictureReady, this, [this, view](const QString &file, const Sonogram &picture) {
        if (file == m_spectraFile)
            view->setPlayed(picture);
        else if (file == m_spectraSource)
            view->setSource(picture);
    });
}

void ResultsWindow::drawSpectra(const QUrl &playing)
{
    m_controls->spectrum()->clear();
    m_spectraFile = playing.toLocalFile();
    m_spectraSource.clear();
    if (m_spectraFile.isEmpty()) {
        m_spectra->cancel();
        return;
    }
    for (int row = 0; row < m_files.size(); ++row) {
        if (QDir::fromNativeSeparators(m_files.at(row)) == m_spectraFile) {
            m_spectraSource = m_sources.value(row);
            break;
        }
    }
    QStringList files{m_spectraFile};
    if (!m_spectraSource.isEmpty())
        files.append(m_spectraSource);
    m_spectra->request(files, m_controls->width());
}

void ResultsWindow::restoreOutputFolder()
{
    // Every change of the box is stored at once, but not the restore: the window is built
    // at start-up, and nothing is written then unless the user changes it.
    m_outputFolder->setText(m_services.settings->read(SettingsStore::KeyOutputFolder, defaultOutputFolder()));
    connect(m_outputFolder, &QLineEdit::textChanged, this,
            [this](const QString &text) { m_services.settings->write(SettingsStore::KeyOutputFolder, text); });
}

void ResultsWindow::clearResults()
{
    m_names->clear();
    m_takenNames.clear();
    m_files.clear();
    m_sources.clear();
}

void ResultsWindow::addResult(const QString &displayName, const QString &tempFile, const QString &sourceFile)
{
    m_names->append(ResultSaver::uniqueName(displayName, m_takenNames));
    m_files.append(tempFile);
    m_sources.append(sourceFile);
}

int ResultsWindow::resultCount() const
{
    return m_names->count();
}

QStringList ResultsWindow::displayNames() const
{
    return m_names->rows();
}

void ResultsWindow::playResult(int row)
{
    if (row < 0 || row >= m_files.size())
        return;
    m_pointer->setBusy(true);
    m_controls->setErrorText(QString());
    m_controls->setTitle(m_names->at(row));
    m_player->setSource(QUrl::fromLocalFile(m_files.at(row)));
    m_player->play();
    m_pointer->setBusy(isSaving());
}

QString ResultsWindow::playingFile() const
{
    return m_player->source().toLocalFile();
}

QString ResultsWindow::outputFolderText() const
{
    return m_outputFolder->text();
}

void ResultsWindow::setOutputFolderText(const QString &text)
{
    m_outputFolder->setText(text);
}

void ResultsWindow::browseOutputFolder()
{
    const QString folder = m_services.dialogs->pickFolder(this, QStringLiteral("Please select folder:"));
    if (folder.isEmpty())
        return;
    m_outputFolder->setText(Paths::joinPath(folder, QString()));
}

void ResultsWindow::saveResults()
{
    if (isSaving())
        return;
    const QString folder = ResultSaver::usableFolder(m_outputFolder->text());
    if (folder.isEmpty()) {
        m_services.dialogs->warn(this, QStringLiteral("Output folder not exists."));
        return;
    }
    // The rows already show the names the files are saved under.
    QStringList names = m_names->rows();
    m_moved = ResultSaver::keepSourcesSafe(names, folder, m_batchSources);
    QList<ResultSaver::Item> items;
    for (int i = 0; i < names.size(); ++i)
        items.append({names.at(i), m_files.at(i)});

    // The copies run on a worker; until they end nothing may delete or replace the files
    // being read, so the ways out and a second save wait.
    m_saving = new SaveJob(folder, items, this);
    connect(m_saving, &SaveJob::progress, this, [this](int saved, int total) {
        m_save->setText(QStringLiteral("Saving %1 of %2...").arg(saved + 1 > total ? total : saved + 1).arg(total));
    });
    connect(m_saving, &SaveJob::finished, this, &ResultsWindow::onSaved);
    setSaving(true);
    m_save->setText(QStringLiteral("Saving 1 of %1...").arg(items.size()));
    m_saving->start();
}

void ResultsWindow::onSaved(const QList<ResultSaver::Failure> &failures)
{
    const int total = m_saving->total();
    m_saving->deleteLater();
    m_saving = nullptr;
    setSaving(false);
    QStringList moved;
    for (const ResultSaver::Move &move : std::as_const(m_moved))
        moved.append(QStringLiteral("%1 is one of the sources, so it was saved as %2").arg(move.wanted, move.given));
    if (failures.isEmpty()) {
        m_services.dialogs->inform(this, QStringLiteral("Done."), moved.join(QLatin1Char('\n')));
        emit savingFinished();
        return;
    }
    QStringList lines;
    for (const ResultSaver::Failure &f : failures)
        lines.append(QStringLiteral("%1: %2").arg(f.target, f.reason));
    m_services.dialogs->warn(
        this,
        QStringLiteral("%1 of %2 file(s) could not be saved. The converted files are kept, so you can try again.")
            .arg(failures.size())
            .arg(total),
        (lines + moved).join(QLatin1Char('\n')));
    emit savingFinished();
}

void ResultsWindow::setSaving(bool saving)
{
    for (QWidget *w : {static_cast<QWidget *>(m_back), static_cast<QWidget *>(m_browse),
                       static_cast<QWidget *>(m_outputFolder)})
        w->setEnabled(!saving);
    m_save->setEnabled(!saving);
    if (!saving)
        m_save->setText(QStringLiteral("Save Results"));
    m_pointer->setBusy(saving);
}

void ResultsWindow::cleanUp()
{
    // Closing mid-save: the file being copied is finished (no part file stays), the rest
    // are not saved, and only then do the temporary files go.
    if (m_saving) {
        m_saving->disconnect(this);
        m_saving->cancelAndWait();
        delete m_saving;
        m_saving = nullptr;
        setSaving(false);
    }
    // Let go of the file first: a playing file cannot be deleted everywhere.
    m_player->setSource(QUrl());
    m_player->stop();
    for (const QString &file : std::as_const(m_files))
        WorkFolder::discardTempMp3(file);
}

void ResultsWindow::goBack()
{
    cleanUp();
    emit backRequested();
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
