#include "filelist/pathlistmodel.h"

PathListModel::PathListModel(const QString &header, QObject *parent)
    : QAbstractListModel(parent), m_header(header)
{
}

int PathListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant PathListModel::data(const QModelIndex &index, int role) const
{
    // No tooltip of its own: a row's would hide the list's, which tells how to use it.
    if (!index.isValid() || index.row() >= m_rows.size() || role != Qt::DisplayRole)
        return {};
    return m_rows.at(index.row());
}

QVariant PathListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_header;
    return {};
}

void PathListModel::append(const QStringList &texts)
{
    if (texts.isEmpty())
        return;
    const int first = int(m_rows.size());
    beginInsertRows({}, first, first + int(texts.size()) - 1);
    m_rows.append(texts);
    endInsertRows();
}

void PathListModel::removeAt(int row)
{
    if (row < 0 || row >= m_rows.size())
        return;
    beginRemoveRows({}, row, row);
    m_rows.removeAt(row);
    endRemoveRows();
}

void PathListModel::clear()
{
    if (m_rows.isEmpty())
        return;
    beginResetModel();
    m_rows.clear();
    endResetModel();
}
