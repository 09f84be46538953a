#pragma once

#include <QAbstractListModel>
#include <QStringList>

// The rows of a one-column file list, one text each: only ever appended, removed or cleared,
// never sorted, and no row rejected (the same text may stand twice).
class PathListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    explicit PathListModel(const QString &header, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // One insertion for many rows, so that tens of thousands of rows arrive at once.
    void append(const QStringList &texts);
    void removeAt(int row);
    void clear();

    int count() const { return int(m_rows.size()); }
    QString at(int row) const { return m_rows.value(row); }
    const QStringList &rows() const { return m_rows; }

private:
    QString m_header;
    QStringList m_rows;
};
