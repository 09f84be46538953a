#include "filelist/filelistview.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QUrl>

FileListView::FileListView(QWidget *parent)
    : QTreeView(parent)
{
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true); // keeps 100,000 rows cheap to lay out
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    setDragDropMode(QAbstractItemView::NoDragDrop);
    connect(this, &QAbstractItemView::clicked, this, [this](const QModelIndex &index) { emit itemClicked(index.row()); });
}

int FileListView::selectedRow() const
{
    if (!selectionModel())
        return -1;
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void FileListView::setFileDropsEnabled(bool enabled)
{
    m_fileDrops = enabled;
    setAcceptDrops(enabled);
    viewport()->setAcceptDrops(enabled);
}

// The local paths a drag carries, in the order the drag delivers them; empty when it carries
// anything that is not a local file.
static QStringList localPaths(const QMimeData *data)
{
    if (!data || !data->hasUrls())
        return {};
    QStringList paths;
    const QList<QUrl> urls = data->urls();
    for (const QUrl &url : urls) {
        if (!url.isLocalFile())
            return {};
        paths.append(QDir::toNativeSeparators(url.toLocalFile()));
    }
    return paths;
}

void FileListView::keyPressEvent(QKeyEvent *event)
{
    // Delete removes whatever modifiers are held.
    if (event->key() == Qt::Key_Delete) {
        emit deletePressed();
        event->accept();
        return;
    }
    const int before = selectedRow();
    QTreeView::keyPressEvent(event);
    if (const int after = selectedRow(); after >= 0 && after != before)
        emit itemClicked(after);
}

void FileListView::mouseDoubleClickEvent(QMouseEvent *event)
{
    QTreeView::mouseDoubleClickEvent(event);
    emit doubleClickedAnywhere();
}

void FileListView::dragEnterEvent(QDragEnterEvent *event)
{
    dragMoveEvent(event);
}

void FileListView::dragMoveEvent(QDragMoveEvent *event)
{
    if (m_fileDrops && !localPaths(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void FileListView::dropEvent(QDropEvent *event)
{
    const QStringList paths = m_fileDrops ? localPaths(event->mimeData()) : QStringList();
    if (paths.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    emit filesDropped(paths);
}
