#include "app/mainwindow.h"

#include "app/batchreport.h"
#include "shell/appearance.h"
#include "shell/desktoplauncher.h"
#include "shell/settingsstore.h"
#include "shell/twips.h"
#include "shell/userdialogs.h"
#include "convert/batchsession.h"
#include "convert/engine/toolcommands.h"
#include "convert/files/pathhelpers.h"
#include "convert/saving/resultset.h"
#include "filelist/filelistview.h"
#include "filelist/pathlistmodel.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>

namespace {

const QString kFileDialogTitle = QStringLiteral("Add File(s) - Hold Ctrl or Shift to select multiple files");
const QString kFileDialogFilter = QStringLiteral("MPEG 4 Audio Files (*.m4a)");
const QString kListToolTip = QStringLiteral(
    "Drag and drop files here. Double-click item to remove it. Move bar to right and out of window to reveal full names.");
const QString kSamplesQuestion = QStringLiteral(
    "Would you like this software to open the folder where the sample files are stored so that you can view them "
    "before the conversion?");

// The progress bar holds fractions of a percent: 100 steps per percent.
constexpr int kProgressScale = 100;

} // namespace

using Appearance::placeAt;

MainWindow::MainWindow(const AppServices &services, QWidget *parent)
    : QWidget(parent), m_services(services)
{
    setObjectName(QStringLiteral("Form1"));
    m_walks = new WalkQueue(this);
    connect(m_walks, &WalkQueue::rowsReady, this, [this](const QStringList &rows) { m_sources->append(rows); });
    connect(m_walks, &WalkQueue::busyChanged, this, [this](bool busy) {
        updatePointer();
        if (!busy)
            reportUnreadable(m_walks->takeUnreadable());
    });

    setFixedSize(Twips::size(7080, 4965, logicalDpiX()));
    setFont(Appearance::arialBold(9));
    Appearance::fillBackground(this, Qt::white);

    // Lies outside the client area: it holds the keyboard focus when the window opens,
    // so that no visible control looks focused.
    m_focusHolder = new QPushButton(QStringLiteral("Command1"), this);
    m_focusHolder->setObjectName(QStringLiteral("Command1"));
    placeAt(m_focusHolder, -720, 2640, 615, 495);

    m_sources = new PathListModel(QStringLiteral("M4A File(s)"), this);
    m_list = new FileListView(this);
    m_list->setObjectName(QStringLiteral("ListView1"));
    m_list->setPathModel(m_sources);
    m_list->setToolTip(kListToolTip);
    m_list->setFileDropsEnabled(true);
    placeAt(m_list, 120, 120, 6840, 1815);

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("ProgressBar1"));
    m_progress->setRange(0, 100 * kProgressScale);
    m_progress->setValue(0);
    m_progress->setTextVisible(false);
    m_progress->setAlignment(Qt::AlignCenter);
    placeAt(m_progress, 120, 4420, 6840, 405);

    auto *bitrateFrame = new QGroupBox(QStringLiteral("KBPS"), this);
    bitrateFrame->setObjectName(QStringLiteral("Frame2"));
    // Drawn as a framed group: the caption on the border line, the inside in the frame's
    // own colour. The Windows style draws group boxes so on every platform; the combo box
    // inside keeps the application's style.
    if (QStyle *framed = QStyleFactory::create(QStringLiteral("Windows"))) {
        framed->setParent(bitrateFrame);
        bitrateFrame->setStyle(framed);
    }
    placeAt(bitrateFrame, 120, 2990, 6840, 800);

    m_bitrate = new QComboBox(bitrateFrame);
    m_bitrate->setObjectName(QStringLiteral("Combo1"));
    placeAt(m_bitrate, 240, 300, 6375, 345);

    using Appearance::pushButton;
    m_addFiles = pushButton(this, "PushButton1", QStringLiteral("Add M4A File(s)"), 120, 2025, 3360, 405);
    m_addFolder =
        pushButton(this, "PushButton3", QStringLiteral("Add All M4A File(s) In Folder"), 3600, 2025, 3360, 405);
    m_start = pushButton(this, "PushButton2", QStringLiteral("Start Converting"), 120, 3900, 6840, 405);
    m_clear = pushButton(this, "PushButton4", QStringLiteral("Clear List"), 120, 2525, 3360, 405);
    m_samples = pushButton(this, "PushButton5", QStringLiteral("Load Sample/Example Files"), 3600, 2525, 3360, 405);

    const QList<QWidget *> tabOrder = {m_focusHolder, m_list,  m_bitrate, m_addFiles,
                                       m_addFolder,   m_start, m_clear,   m_samples};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);

    connect(m_addFiles, &QPushButton::clicked, this, &MainWindow::addFiles);
    connect(m_addFolder, &QPushButton::clicked, this, &MainWindow::addFolder);
    connect(m_start, &QPushButton::clicked, this, [this] {
        if (!isConverting()) {
            startConverting();
            return;
        }
        m_start->setEnabled(false);
        m_progress->setFormat(QStringLiteral("Cancelling..."));
        m_batch->cancel();
    });
    connect(m_clear, &QPushButton::clicked, this, [this] {
        if (!isConverting())
            m_sources->clear();
    });
    connect(m_samples, &QPushButton::clicked, this, &MainWindow::loadSamples);
    connect(m_list, &FileListView::deletePressed, this, &MainWindow::removeSelected);
    connect(m_list, &FileListView::doubleClickedAnywhere, this, &MainWindow::removeSelected);
    connect(m_list, &FileListView::filesDropped, this, &MainWindow::addDroppedPaths);
}

MainWindow::~MainWindow()
{
    if (m_batch)
        m_batch->abort();
}

void MainWindow::addFiles()
{
    m_sources->append(m_services.dialogs->getOpenFileNames(this, kFileDialogTitle, kFileDialogFilter));
}

void MainWindow::addFolder()
{
    const QString folder = m_services.dialogs->pickFolder(this, QStringLiteral("Please select folder to add:"));
    if (folder.isEmpty())
        return;
    m_walks->enqueue([folder](const std::atomic_bool *cancelled, FolderWalk::UnreadableList *unreadable) {
        return FolderWalk::collectFiles(folder, QStringLiteral("*.m4a"), cancelled, unreadable);
    });
}

void MainWindow::addDroppedPaths(const QStringList &paths)
{
    if (isConverting() || paths.isEmpty())
        return;
    m_walks->enqueue([paths](const std::atomic_bool *cancelled, FolderWalk::UnreadableList *unreadable) {
        return FolderWalk::expandPaths(paths, QStringLiteral("*.*"), cancelled, unreadable);
    });
}

// One note for everything the walks since the last note could not take, with the first
// few items in the text and all of them in the details.
void MainWindow::reportUnreadable(const FolderWalk::UnreadableList &unreadable)
{
    if (unreadable.isEmpty())
        return;
    constexpr qsizetype kShown = 10;
    constexpr qsizetype kLongest = 300;   // characters of a line in the text, the middle cut out
    QStringList lines;
    QStringList shown;
    for (const FolderWalk::Unreadable &item : unreadable) {
        lines.append(QStringLiteral("%1: %2").arg(Paths::printable(item.path), item.reason));
        if (shown.size() < kShown) {
            const QString &line = lines.constLast();
            shown.append(line.size() <= kLongest ? line : line.left(kLongest / 2) + u'\u2026' + line.right(kLongest / 2));
        }
    }
    const QString count = lines.size() == 1 ? QStringLiteral("1 item") : QStringLiteral("%1 items").arg(lines.size());
    QString text = QStringLiteral("%1 could not be read:\n%2").arg(count, shown.join(u'\n'));
    if (lines.size() > kShown)
        text += QStringLiteral("\n(and %1 more)").arg(lines.size() - kShown);
    m_services.dialogs->warn(this, text, lines.size() > kShown ? lines.join(u'\n') : QString());
}

void MainWindow::removeSelected()
{
    if (!isConverting())
        m_sources->removeAt(m_list->selectedRow());
}

void MainWindow::loadSamples()
{
    const QDir folder(QDir(m_services.appFolder).filePath(QStringLiteral("Samples")));
    QStringList rows;
    for (const QString &name : FolderWalk::listFolderFiles(folder.path(), QStringLiteral("*.*")))
        rows.append(QDir::toNativeSeparators(folder.filePath(name)));
    m_sources->append(rows);

    if (m_services.dialogs->askYesNo(this, kSamplesQuestion))
        m_services.launcher->open(QUrl::fromLocalFile(folder.path()));
}

void MainWindow::startConverting()
{
    if (isConverting())
        return;
    if (m_sources->count() <= 0) {
        m_services.dialogs->inform(this, QStringLiteral("No files added."));
        return;
    }

    SessionSetup setup;
    setup.sources = m_sources->rows();
    setup.encoding.bitrate = m_bitrate->currentData().toInt();
    setup.jobs = m_services.jobs;
    setup.appFolder = m_services.appFolder;
    setup.tools.tempFolder = m_services.tempFolder;
    setup.tools.stallTimeoutSeconds = m_services.toolTimeoutSeconds;
    m_batch = new BatchSession(setup, this);
    // One file at a time, the bar stands at the share of the batch begun, the first file
    // showing 1/n; with several at once it follows the share done.
    connect(m_batch, &BatchSession::fileStarted, this, [this](int, int total) {
        if (total > 0 && m_services.jobs <= 1)
            m_progress->setValue(qRound(m_batch->progress().filesBegun * 100.0 * kProgressScale / total));
    });
    connect(m_batch, &BatchSession::progressChanged, this, [this](const BatchProgress &progress) {
        if (!m_batch || m_batch->isCancelling())
            return;
        if (m_services.jobs > 1)
            m_progress->setValue(qRound(progress.shareDone * 100.0 * kProgressScale));
        m_progress->setFormat(progress.text());
    });
    connect(m_batch, &BatchSession::finished, this, &MainWindow::onBatchFinished);
    if (const QString problem = m_batch->start(); !problem.isEmpty()) {
        delete std::exchange(m_batch, nullptr);
        m_services.dialogs->warn(this, QStringLiteral("Nothing can be converted: %1.").arg(problem));
        return;
    }
    setBusy(true);
    m_progress->setFormat(m_batch->progress().text());
}

void MainWindow::onBatchFinished(const BatchOutcome &outcome)
{
    ResultSet *results = m_batch->takeResults();
    std::exchange(m_batch, nullptr)->deleteLater();
    setBusy(false);
    m_progress->setValue(0);
    m_progress->resetFormat();

    const BatchReport::Report report = BatchReport::describe(outcome);
    if (results && !outcome.converted().isEmpty()) {
        results->setParent(this);   // this window's until a receiver takes it over
        emit converted(results, report.text, report.details);
    } else {
        delete results;
        if (!outcome.cancelled)
            m_services.dialogs->inform(this, QStringLiteral("Failed to convert file(s)."),
                                       report.details.isEmpty() ? report.text : report.details);
    }
}

void MainWindow::setBusy(bool busy)
{
    // While a batch runs nothing may change what it converts or how; the one way in
    // is the button that now cancels it.
    for (QWidget *w : std::initializer_list<QWidget *>{m_addFiles, m_addFolder, m_clear, m_samples, m_bitrate})
        w->setEnabled(!busy);
    m_start->setEnabled(true);
    m_start->setText(busy ? QStringLiteral("Cancel") : QStringLiteral("Start Converting"));
    m_progress->setTextVisible(busy);
    m_list->setFileDropsEnabled(!busy);
    updatePointer();
}

void MainWindow::useHandCursor(const std::optional<QCursor> &cursor)
{
    m_pointer = new PointerRule(this, cursor);
    for (QPushButton *b : {m_addFiles, m_addFolder, m_start, m_clear, m_samples})
        m_pointer->addButton(b);
    updatePointer();
}

void MainWindow::fillControls()
{
    m_list->header()->resizeSection(0, Twips::toPixels(6500, logicalDpiX()));
    for (int rate : Tools::bitrates())
        m_bitrate->addItem(Tools::bitrateText(rate), rate);
    SettingsStore *settings = m_services.settings;
    const int stored = m_bitrate->findText(settings->read(SettingsStore::KeyBitrate, Tools::defaultBitrateText()));
    // The program never stores anything else. A hand-edited value shows the default but
    // stays stored until the user picks: nothing is written at start-up.
    m_bitrate->setCurrentIndex(stored >= 0 ? stored : m_bitrate->findText(Tools::defaultBitrateText()));
    // Every pick is stored at once; nothing is stored at exit.
    connect(m_bitrate, &QComboBox::currentTextChanged, this,
            [settings](const QString &text) { settings->write(SettingsStore::KeyBitrate, text); });
    m_focusHolder->setFocus();
}

void MainWindow::updatePointer()
{
    if (m_pointer)
        m_pointer->setBusy(isConverting() || isWalking());
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Ending the program mid-batch: the session stops the tools and deletes every temporary
    // file of the batch as it goes, and says nothing more.
    delete std::exchange(m_batch, nullptr);
    m_walks->cancelAll();
    event->accept();
}
