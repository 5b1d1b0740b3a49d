#include <ui/KeyedListModel.h>

#include <QAbstractItemModelTester>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

using namespace vantry;
using namespace Qt::StringLiterals;
using Row = KeyedListModel::Row;

// "a.x.1 b.y.2": key, name and size of each row.
static QList<Row> rows(const QString &spec)
{
    QList<Row> list;
    for (const QString &row : spec.split(u' ', Qt::SkipEmptyParts))
        list.append({row.section(u'.', 0, 0), {row.section(u'.', 1, 1), row.section(u'.', 2, 2).toInt()}});
    return list;
}

class KeyedListModelTest : public QObject
{
    Q_OBJECT

    // Applies `target` and checks the rows, the persistent indexes and the changed roles.
    static void apply(KeyedListModel &model, const QList<Row> &target, const QStringList &changed)
    {
        QList<std::pair<QString, QPersistentModelIndex>> kept;
        for (int row = 0; row < model.count(); ++row)
            kept.append({model.rows()[row].key, QPersistentModelIndex(model.index(row))});
        QSignalSpy changes(&model, &QAbstractItemModel::dataChanged), resets(&model, &QAbstractItemModel::modelReset),
            counts(&model, &KeyedListModel::countChanged);
        model.setRows(target);
        QCOMPARE(model.rows(), target);
        for (const auto &[key, index] : kept)
            QCOMPARE(index.row(), model.indexOfKey(key));
        QStringList seen;
        for (const QList<QVariant> &signal : changes) {
            const auto roles = signal[2].value<QList<int>>(); // none named means every role
            for (int row = signal[0].toModelIndex().row(); row <= signal[1].toModelIndex().row(); ++row)
                for (const int role : roles.isEmpty() ? QList<int>{0} : roles)
                    seen.append(model.rows()[row].key + u':' + QString::fromUtf8(model.roleNames().value(role, "every")));
        }
        seen.sort();
        QCOMPARE(seen, changed);
        QCOMPARE(resets.count(), 0);
        QCOMPARE(counts.count(), kept.size() == target.size() ? 0 : 1);
    }

private Q_SLOTS:
    void setRows_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QStringList>("changed");
        QTest::newRow("reorder") << "a.x.1 b.y.2 c.z.3" << "c.z.3 a.x.1 b.y.2" << QStringList();
        QTest::newRow("reverse") << "a.x.1 b.y.2 c.z.3 d.w.4 e.v.5" << "e.v.5 d.w.4 c.z.3 b.y.2 a.x.1" << QStringList();
        QTest::newRow("insert in the middle") << "a.x.1 d.w.4" << "a.x.1 b.y.2 c.z.3 d.w.4" << QStringList();
        QTest::newRow("remove") << "a.x.1 b.y.2 c.z.3 d.w.4" << "a.x.1 d.w.4" << QStringList();
        QTest::newRow("first fill") << "" << "a.x.1 b.y.2" << QStringList();
        QTest::newRow("replace all") << "a.x.1 b.y.2" << "c.z.3 d.w.4" << QStringList();
        QTest::newRow("one name") << "a.x.1 b.y.2" << "a.x.1 b.q.2" << QStringList{u"b:name"_s};
        QTest::newRow("size while moving") << "a.x.1 b.y.2 c.z.3" << "c.z.9 a.x.1" << QStringList{u"c:size"_s};
        QTest::newRow("both, with an insert") << "a.x.1" << "n.n.0 a.w.5" << QStringList{u"a:name"_s, u"a:size"_s};
    }
    void setRows()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QStringList, changed);
        KeyedListModel model({"name", "size"});
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.setRows(rows(from));
        apply(model, rows(to), changed);
        QCOMPARE(model.get(model.count() - 1).value(u"size"_s), rows(to).isEmpty() ? QVariant() : rows(to).last().values[1]);
    }
    // Random subsets in random orders with values from a small range, so some rows stay equal.
    void randomSequences()
    {
        KeyedListModel model({"name", "size"});
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QRandomGenerator random(14);
        QStringList pool = u"a b c d e f g h"_s.split(u' ');
        for (int round = 0; round < 300 && !QTest::currentTestFailed(); ++round) {
            std::shuffle(pool.begin(), pool.end(), random);
            QList<Row> target;
            QStringList changed;
            for (const QString &key : pool.first(random.bounded(int(pool.size()) + 1))) {
                target.append({key, {QString(QChar(u'x' + random.bounded(2))), random.bounded(2)}});
                const int at = model.indexOfKey(key);
                for (const int role : {0, 1})
                    if (at >= 0 && model.rows()[at].values[role] != target.last().values[role])
                        changed.append(key + (role == 0 ? u":name"_s : u":size"_s));
            }
            changed.sort();
            apply(model, target, changed);
        }
    }
};

QTEST_GUILESS_MAIN(KeyedListModelTest)
#include "KeyedListModelTest.moc"
