#pragma once
#include <QAbstractTableModel>
#include <QList>
#include <QStringList>
#include <QTimer>
#include <vector>

namespace pw {

// One row of a message list, with its tick.
struct MessageRow {
    QStringList texts;
    bool checked = false;
    // A line added to every cell's tooltip (where the row comes from).
    QString tip;
};

// The report-style list with a tick box per row, behind both windows'
// message lists and Form2's file list. Column 0 carries the tick. Built for
// 100,000 rows: rows are plain values, and rows appended during a scan are
// shown to views in batches (at most every 100 ms), because a view lays out
// all its rows again after each insertion it is told about, and a scan lets
// window events run once per message.
class MessageListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit MessageListModel(QObject *parent = nullptr);

    // Replaces the columns: header texts and widths in twips.
    void setColumns(const QStringList &headers, const QList<int> &widthsTwips);
    void addColumn(const QString &header, int widthTwips);
    int columnWidthTwips(int column) const;
    QStringList headers() const { return m_headers; }

    void clear();
    // Appends an unticked row; missing trailing texts are empty. Returns its index.
    int appendRow(const QStringList &texts, const QString &tip = QString());
    // The row's own tooltip line, or empty text.
    QString tip(int row) const;
    void removeRowAt(int row);

    int count() const { return static_cast<int>(m_rows.size()); }
    // Tells views about every appended row now rather than at the next batch.
    void showPendingRows();
    // Out-of-range rows and columns read as empty text / unticked, so an
    // operation that outlives a nested change of the list does not crash.
    QString text(int row, int column) const;
    bool isChecked(int row) const;
    void setChecked(int row, bool checked);
    void setAllChecked(bool checked);
    int checkedCount() const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QStringList m_headers;
    QList<int> m_widths;
    std::vector<MessageRow> m_rows;
    int m_shown = 0; // rows the views have been told about
    QTimer m_batch;
};

} // namespace pw
