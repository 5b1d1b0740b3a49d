#include <catalog/HighWaterStore.h>
#include <core/DefaultsKeys.h>
#include <platform/FileSystem.h>
#include <platform/Paths.h>
#include <platform/UserDefaults.h>

#include <support/TestHome.h>

#include <QSignalSpy>
#include <QCoroTask>
#include <QTest>

using namespace vantry;

class HighWaterStoreTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void marksArePositiveIntegersThatOnlyRise()
    {
        test::TestHome home;
        const QString path = home.scratch(u"defaults.json"_qs);
        QVERIFY(FileSystem::writeFileAtomically(path, R"({"asText": "12", "zero": 0, "negative": -5, "good": 9007199254740993})"));
        UserDefaults defaults(path);
        HighWaterStore store(defaults);
        for (const char *key : {"absent", "asText", "zero", "negative"})
            QCOMPARE(store.read(QString::fromLatin1(key)), std::int64_t(0));
        QCOMPARE(store.read(u"good"_qs), std::int64_t(9007199254740993));

        QSignalSpy announced(&store, &HighWaterStore::aboutToChange);
        const QString key = DefaultsKeys::catalogVersionHighWater();
        QCoro::waitFor(store.raise(key, 7));
        QCOMPARE(store.read(key), std::int64_t(7));
        QCOMPARE(announced.size(), 1);
        QCOMPARE(announced.takeFirst().at(0).toString(), key);

        QCoro::waitFor(store.raise(key, 7));
        QCoro::waitFor(store.raise(key, 3));
        QCOMPARE(store.read(key), std::int64_t(7));
        QCOMPARE(announced.size(), 0);

        // Observers are told before the write: they still read the old mark.
        std::int64_t seenByObserver = -1;
        connect(&store, &HighWaterStore::aboutToChange, this, [&] { seenByObserver = store.read(key); });
        QCoro::waitFor(store.raise(key, 8));
        QCOMPARE(seenByObserver, std::int64_t(7));
        UserDefaults reread(path);
        QCOMPARE(HighWaterStore(reread).read(key), std::int64_t(8));

        // A raise over a value of another type replaces it with an integer.
        QCoro::waitFor(store.raise(u"asText"_qs, 2));
        QCOMPARE(defaults.integer(u"asText"_qs), std::optional<std::int64_t>(2));
    }

    void theSharedStoreKeepsTitleMarksInTheStandardDefaults()
    {
        test::TestHome home;
        // Created on first use over the standard defaults file of this home. The key is stored:
        // renaming it would forget every mark.
        QCoro::waitFor(HighWaterStore::shared().raise(DefaultsKeys::titleVersionHighWater(u"tumbit"_qs), 41));
        QCOMPARE(UserDefaults(Paths::userDefaultsFile()).integer(u"title.versionHighWater.tumbit"_qs),
                 std::optional<std::int64_t>(41));
    }
};

QTEST_GUILESS_MAIN(HighWaterStoreTest)
#include "HighWaterStoreTest.moc"
