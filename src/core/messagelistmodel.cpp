#include "core/messagelistmodel.h"

namespace pw {

MessageListModel::MessageListModel(QObject *parent) : QAbstractTableModel(parent) {
    m_batch.setSingleShot(true);
    m_batch.setInterval(100);
    connect(&m_batch, &QTimer::timeout, this, &MessageListModel::showPendingRows);
}

void MessageListModel::showPendingRows() {
    m_batch.stop();
    const int total = count();
    if (total <= m_shown)
        return;
    beginInsertRows(QModelIndex(), m_shown, total - 1);
    m_shown = total;
    endInsertRows();
}

void MessageListModel::setColumns(const QStringList &headers, const QList<int> &widthsTwips) {
    beginResetModel();
    m_headers = headers;
    m_widths = widthsTwips;
    while (m_widths.size() < m_headers.size())
        m_widths.append(1440);
    endResetModel();
}

void MessageListModel::addColumn(const QString &header, int widthTwips) {
    const int at = static_cast<int>(m_headers.size());
    beginInsertColumns(QModelIndex(), at, at);
    m_headers.append(header);
    m_widths.append(widthTwips);
    endInsertColumns();
}

int MessageListModel::columnWidthTwips(int column) const {
    return column >= 0 && column < m_widths.size() ? m_widths[column] : 0;
}

void MessageListModel::clear() {
    if (m_rows.empty())
        return;
    m_batch.stop();
    beginResetModel();
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_shown = 0;
    endResetModel();
}

int MessageListModel::appendRow(const QStringList &texts, const QString &tip) {
    const int at = count();
    m_rows.push_back(MessageRow{texts, false, tip});
    if (!m_batch.isActive())
        m_batch.start();
    return at;
}

void MessageListModel::removeRowAt(int row) {
    if (row < 0 || row >= count())
        return;
    showPendingRows();
    beginRemoveRows(QModelIndex(), row, row);
    m_rows.erase(m_rows.begin() + row);
    --m_shown;
    endRemoveRows();
}

QString MessageListModel::text(int row, int column) const {
    if (row < 0 || row >= count())
        return {};
    const QStringList &t = m_rows[static_cast<size_t>(row)].texts;
    return column >= 0 && column < t.size() ? t[column] : QString();
}

bool MessageListModel::isChecked(int row) const {
    return row >= 0 && row < count() && m_rows[static_cast<size_t>(row)].checked;
}

void MessageListModel::setChecked(int row, bool checked) {
    if (row < 0 || row >= count() || m_rows[static_cast<size_t>(row)].checked == checked)
        return;
    m_rows[static_cast<size_t>(row)].checked = checked;
    if (row < m_shown) {
        const QModelIndex i = index(row, 0);
        emit dataChanged(i, i, {Qt::CheckStateRole});
    }
}

void MessageListModel::setAllChecked(bool checked) {
    if (m_rows.empty())
        return;
    for (MessageRow &r : m_rows)
        r.checked = checked;
    if (m_shown > 0)
        emit dataChanged(index(0, 0), index(m_shown - 1, 0), {Qt::CheckStateRole});
}

int MessageListModel::checkedCount() const {
    int n = 0;
    for (const MessageRow &r : m_rows)
        n += r.checked ? 1 : 0;
    return n;
}

QString MessageListModel::tip(int row) const {
    return row >= 0 && row < count() ? m_rows[static_cast<size_t>(row)].tip : QString();
}

int MessageListModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : m_shown;
}

int MessageListModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_headers.size());
}

QVariant MessageListModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() >= m_shown)
        return {};
    if (role == Qt::DisplayRole)
        return text(index.row(), index.column());
    if (role == Qt::ToolTipRole) {
        const QString cell = text(index.row(), index.column());
        const QString &line = m_rows[static_cast<size_t>(index.row())].tip;
        if (line.isEmpty())
            return cell;
        return cell.isEmpty() ? line : cell + QLatin1Char('\n') + line;
    }
    if (role == Qt::CheckStateRole && index.column() == 0)
        return isChecked(index.row()) ? Qt::Checked : Qt::Unchecked;
    return {};
}

bool MessageListModel::setData(const QModelIndex &index, const QVariant &value, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole || index.column() != 0)
        return false;
    setChecked(index.row(), value.toInt() == Qt::Checked);
    return true;
}

Qt::ItemFlags MessageListModel::flags(const QModelIndex &index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == 0)
        f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant MessageListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < m_headers.size())
        return m_headers[section];
    return QAbstractTableModel::headerData(section, orientation, role);
}

} // namespace pw
