#pragma once

#include <QStringList>
#include <QTreeView>

class PathListModel;

// The one-column list with a visible header that both windows show. It reports the
// user's gestures (Delete, double-click, dropped files) and leaves what they mean to
// the window that owns it.
class FileListView : public QTreeView
{
    Q_OBJECT

public:
    explicit FileListView(QWidget *parent = nullptr);

    void setPathModel(PathListModel *model);
    PathListModel *pathModel() const { return m_model; }

    // Row of the selected row, or -1 when no row is selected.
    int selectedRow() const;

    // Whether drags that carry local files are taken; other drags are always refused.
    void setFileDropsEnabled(bool enabled);
    bool fileDropsEnabled() const { return m_fileDrops; }

    // The local paths a drag carries, in the order the drag delivers them; empty
    // when it carries anything that is not a local file.
    static QStringList localPaths(const QMimeData *data);

signals:
    // A row was clicked, or the keyboard moved the selection onto it: the list control's
    // ItemClick, which both raise.
    void itemClicked(int row);
    void deletePressed();
    void doubleClickedAnywhere();
    void filesDropped(const QStringList &paths);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    bool acceptsDrag(const QMimeData *data) const;

    PathListModel *m_model = nullptr;
    bool m_fileDrops = false;
};
