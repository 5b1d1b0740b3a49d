#include <ui/KeyedListModel.h>

#include <utility>

namespace vantry {

KeyedListModel::KeyedListModel(QList<QByteArray> roleNames, QObject *parent)
    : QAbstractListModel(parent), m_roleNames(std::move(roleNames))
{
}

KeyedListModel::Row KeyedListModel::normalized(const Row &row) const
{
    Row result = row;
    result.values.resize(m_roleNames.size());
    return result;
}

void KeyedListModel::setRows(const QList<Row> &rows)
{
    const int before = count();
    QList<Row> target;
    QSet<QString> keys;
    for (const Row &row : rows) {
        if (!keys.contains(row.key)) {
            keys.insert(row.key);
            target.append(normalized(row));
        }
    }
    removeVanished(keys);

    // Rows above `row` are final; each step brings the target's next key to `row`.
    int row = 0;
    while (row < target.size()) {
        const int current = indexOfKey(target[row].key);
        if (current < 0) {
            // A run of new keys goes in with one insert.
            int end = row;
            while (end + 1 < target.size() && indexOfKey(target[end + 1].key) < 0)
                ++end;
            beginInsertRows(QModelIndex(), row, end);
            for (int i = row; i <= end; ++i)
                m_rows.insert(i, target[i]);
            endInsertRows();
            row = end + 1;
            continue;
        }
        if (current != row) {
            beginMoveRows(QModelIndex(), current, current, QModelIndex(), row);
            m_rows.move(current, row);
            endMoveRows();
        }
        update(row, target[row]);
        ++row;
    }
    if (count() != before)
        Q_EMIT countChanged();
}

void KeyedListModel::removeVanished(const QSet<QString> &keys)
{
    // From the bottom, so the rows still to look at keep their positions; a run goes at once.
    int last = count() - 1;
    while (last >= 0) {
        if (keys.contains(m_rows[last].key)) {
            --last;
            continue;
        }
        int first = last;
        while (first > 0 && !keys.contains(m_rows[first - 1].key))
            --first;
        beginRemoveRows(QModelIndex(), first, last);
        m_rows.remove(first, last - first + 1);
        endRemoveRows();
        last = first - 1;
    }
}

void KeyedListModel::update(int row, const Row &target)
{
    QList<int> changed;
    for (int i = 0; i < target.values.size(); ++i) {
        if (m_rows[row].values[i] != target.values[i])
            changed.append(keyRole + 1 + i);
    }
    if (changed.isEmpty())
        return;
    m_rows[row] = target;
    const QModelIndex at = index(row);
    Q_EMIT dataChanged(at, at, changed);
}

int KeyedListModel::count() const
{
    return static_cast<int>(m_rows.size());
}

QVariantMap KeyedListModel::get(int row) const
{
    if (row < 0 || row >= count())
        return {};
    QVariantMap map{{QStringLiteral("key"), m_rows[row].key}};
    for (int i = 0; i < m_roleNames.size(); ++i)
        map.insert(QString::fromUtf8(m_roleNames[i]), m_rows[row].values[i]);
    return map;
}

int KeyedListModel::indexOfKey(const QString &key) const
{
    for (int row = 0; row < count(); ++row) {
        if (m_rows[row].key == key)
            return row;
    }
    return -1;
}

int KeyedListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant KeyedListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row &row = m_rows[index.row()];
    if (role == keyRole || role == Qt::DisplayRole)
        return row.key;
    const int value = role - keyRole - 1;
    return value >= 0 && value < row.values.size() ? row.values[value] : QVariant();
}

QHash<int, QByteArray> KeyedListModel::roleNames() const
{
    QHash<int, QByteArray> names{{keyRole, QByteArrayLiteral("key")}};
    for (int i = 0; i < m_roleNames.size(); ++i)
        names.insert(keyRole + 1 + i, m_roleNames[i]);
    return names;
}

} // namespace vantry
