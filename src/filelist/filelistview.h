#pragma once

#include "filelist/pathlistmodel.h"

#include <QTreeView>

// The one-column list with a header that both windows show. It reports the user's gestures
// and leaves what they mean to the window that owns it.
class FileListView : public QTreeView
{
    Q_OBJECT

public:
    explicit FileListView(QWidget *parent = nullptr);

    void setPathModel(PathListModel *model) { setModel(model); }

    int selectedRow() const;   // -1 when none is

    // Whether drags that carry local files are taken; other drags are always refused.
    void setFileDropsEnabled(bool enabled);

signals:
    // A row was clicked, or the keyboard moved the selection onto it.
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
    bool m_fileDrops = false;
};
