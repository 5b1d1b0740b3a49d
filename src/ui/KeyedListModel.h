#pragma once

#include <QAbstractListModel>
#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QVariant>

namespace vantry {

/// A list for QML whose rows are values identified by a key. Setting new rows applies only the
/// differences (removes, moves, inserts, dataChanged naming the changed roles) so views keep
/// their delegates, selection and scroll position; it never resets.
///
/// Roles: the key is Qt::UserRole, named "key" (also served as Qt::DisplayRole); the value
/// roleNames[i] is Qt::UserRole + 1 + i.
class KeyedListModel : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    struct Row {
        QString key;
        QVariantList values; // in role order; missing values read as invalid

        friend bool operator==(const Row &, const Row &) = default;
    };

    static constexpr int keyRole = Qt::UserRole;

    explicit KeyedListModel(QList<QByteArray> roleNames, QObject *parent = nullptr);

    /// Makes the rows equal to `rows` (keys unique; a repeated key keeps its first row) with
    /// removes, moves, inserts and dataChanged naming only the roles whose values changed; rows
    /// whose values are equal emit nothing.
    void setRows(const QList<Row> &rows);
    [[nodiscard]] const QList<Row> &rows() const { return m_rows; }

    [[nodiscard]] int count() const;
    /// Role name to value, plus "key"; empty for a row out of range.
    Q_INVOKABLE [[nodiscard]] QVariantMap get(int row) const;
    /// The row of `key`, -1 when absent.
    Q_INVOKABLE [[nodiscard]] int indexOfKey(const QString &key) const;

    [[nodiscard]] int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role) const override;
    [[nodiscard]] QHash<int, QByteArray> roleNames() const override;

Q_SIGNALS:
    void countChanged();

private:
    [[nodiscard]] Row normalized(const Row &row) const;
    void removeVanished(const QSet<QString> &keys);
    void update(int row, const Row &target);

    QList<QByteArray> m_roleNames;
    QList<Row> m_rows;
};

} // namespace vantry
