#include <copies/InstallPlanner.h>

#include <vantry/BuildConfig.h>

#include <QTest>

using namespace vantry;

namespace {

using Origin = InstallCopy::Origin;

const QString offlineText = QString::fromUtf8("Offline \u2014 check your connection and try again.");
const QString originFailed = u"This release failed an origin check."_qs;
const QString older = u"This release is older than one you have already installed."_qs;

Catalog::Entry entry(const QString &minimum = u"13.0"_qs)
{
    Catalog::Entry game;
    game.id = u"mazzle"_qs;
    game.bundleId = u"com.example.mazzle"_qs;
    game.minSystemVersion = minimum;
    game.released = true;
    return game;
}

// A release of build 40 from the catalog host unless `enclosure` names another ("HOST" is replaced).
std::optional<AppcastItem> item(const char *minimum = nullptr, const char *enclosure = "https://HOST/mazzle-40.dmg",
                                std::int64_t version = 40)
{
    AppcastItem release;
    release.version = version;
    release.shortVersionString = u"4.0"_qs;
    if (minimum)
        release.minimumSystemVersion = QString::fromUtf8(minimum);
    release.enclosureURLText =
        QString::fromUtf8(enclosure).replace(u"HOST"_qs, QString::fromLatin1(BuildConfig::catalogHost));
    release.enclosureURL = QUrl(release.enclosureURLText, QUrl::StrictMode);
    release.length = 123456;
    release.edSignature = u"c2lnbmF0dXJl"_qs;
    return release;
}

// What every plan must carry, field by field from its two sources.
InstallPlan expectedPlan(const Catalog::Entry &game, const AppcastItem &release)
{
    return {game.id,       release.enclosureURL, release.length, release.edSignature,
            game.bundleId, release.version,      release.shortVersionString};
}

std::optional<InstalledObservation> installedAt(std::int64_t build)
{
    return InstalledObservation {u"com.example.mazzle"_qs, build, QString::number(build)};
}

InstallCopy currentCopy(Origin origin, bool writable, bool parentWritable)
{
    return {u"/Applications/Mazzle.app"_qs, *installedAt(39), origin, writable, parentWritable};
}

} // namespace

class InstallPlannerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void effectiveMinimum_data()
    {
        QTest::addColumn<QString>("entryMinimum");
        QTest::addColumn<std::optional<AppcastItem>>("release");
        QTest::addColumn<QString>("expected");
        QTest::newRow("a higher feed minimum, as written") << u"13.0"_qs << item("14") << u"14"_qs;
        QTest::newRow("an equal feed minimum") << u"13.0"_qs << item("13.0.0") << u"13.0"_qs;
        QTest::newRow("an unreadable feed minimum") << u"13.0"_qs << item("14.x") << u"13.0"_qs;
        QTest::newRow("an unreadable entry minimum") << u"13.x"_qs << item("14.0") << u"13.x"_qs;
        QTest::newRow("no feed minimum") << u"13.0"_qs << item() << u"13.0"_qs;
    }

    void effectiveMinimum()
    {
        QFETCH(QString, entryMinimum);
        QFETCH(std::optional<AppcastItem>, release);
        QFETCH(QString, expected);
        QCOMPARE(InstallPlanner::effectiveMinimumSystemVersion(entry(entryMinimum), release), expected);
    }

    void decide_data()
    {
        QTest::addColumn<QString>("entryMinimum");
        QTest::addColumn<std::optional<AppcastItem>>("release");
        QTest::addColumn<std::optional<InstalledObservation>>("installed");
        QTest::addColumn<qint64>("mark");
        QTest::addColumn<TitleState>("state");
        // The running system is 13.6 throughout.
        const auto row = [](const char *name, const char *entryMinimum, std::optional<AppcastItem> release,
                            std::optional<std::int64_t> installed, qint64 mark, TitleState state) {
            QTest::newRow(name) << QString::fromUtf8(entryMinimum) << release
                                << (installed ? installedAt(*installed) : std::nullopt) << mark << state;
        };
        const std::optional<AppcastItem> offline;
        const std::optional<std::int64_t> none;
        row("too old comes before offline", "14.1", offline, none, 0, TitleState::requiresNewerMacOS(u"14.1"_qs));
        row("an unreadable minimum, nothing installed", "13.x", item(), none, 0,
            TitleState::requiresNewerMacOS(u"13.x"_qs));
        row("offline, nothing installed", "13.0", offline, none, 0, TitleState::unavailable(offlineText));
        row("offline, installed", "13.0", offline, 39, 0, TitleState::installed());
        row("the scheme judged as written, nothing installed", "13.0", item(nullptr, "HTTPS://HOST/mazzle-40.dmg"),
            none, 0, TitleState::unavailable(originFailed));
        row("a foreign host, installed", "13.0", item(nullptr, "https://example.com/mazzle-40.dmg"), 39, 0,
            TitleState::installed());
        row("available at the mark, on the minimum exactly", "13.6", item(), none, 40, TitleState::available());
        row("below the mark, nothing installed", "13.0", item(), none, 41, TitleState::unavailable(older));
        row("below the mark, installed", "13.0", item(), 39, 41, TitleState::installed());
        row("an update at the mark", "13.0", item(), 39, 40, TitleState::updateAvailable());
        row("an update the system is too old for", "13.0", item("14.0"), 39, 0, TitleState::installed());
        row("the same build installed", "13.0", item(), 40, 0, TitleState::installed());
    }

    void decide()
    {
        QFETCH(QString, entryMinimum);
        QFETCH(std::optional<AppcastItem>, release);
        QFETCH(std::optional<InstalledObservation>, installed);
        QFETCH(qint64, mark);
        QFETCH(TitleState, state);
        const Catalog::Entry game = entry(entryMinimum);
        const auto decision = InstallPlanner::decide(game, release, installed, {13, 6, 0}, mark);
        QVERIFY(decision.has_value());
        QCOMPARE(decision->state, state);
        const bool planned = state == TitleState::available() || state == TitleState::updateAvailable();
        QCOMPARE(decision->plan, planned ? std::optional(expectedPlan(game, *release)) : std::nullopt);
    }

    void anUnreleasedTitleHasNoDecision()
    {
        Catalog::Entry game = entry();
        game.released = false;
        QCOMPARE(InstallPlanner::decide(game, item(), installedAt(39), {14, 0, 0}, 0), std::nullopt);
    }

    void updateBlock_data()
    {
        QTest::addColumn<RestingDecision>("decision");
        QTest::addColumn<std::optional<InstallResolution>>("resolution");
        QTest::addColumn<std::optional<UpdateBlock::Reason>>("reason");
        using Reason = UpdateBlock::Reason;
        const RestingDecision update {TitleState::updateAvailable(),
                                      expectedPlan(entry(), *item())};
        const auto row = [&](const char *name, Origin origin, bool writable, bool parentWritable,
                             std::optional<Reason> reason, const RestingDecision &decision) {
            const InstallCopy current = currentCopy(origin, writable, parentWritable);
            QTest::newRow(name) << decision << std::optional(InstallResolution {current, {current}})
                                << reason;
        };
        row("adopted, bundle read-only", Origin::adopted, false, true, Reason::notWritable, update);
        row("adopted, nothing writable", Origin::adopted, false, false, Reason::notWritable,
            update);
        row("adopted, folder read-only", Origin::adopted, true, false, Reason::parentNotWritable,
            update);
        row("adopted, writable", Origin::adopted, true, true, {}, update);
        row("managed, read-only", Origin::managed, false, false, {}, update);
        // Only an offered update is blocked.
        row("no update", Origin::adopted, false, false, {},
            {TitleState::installed(), std::nullopt});
        row("an update without a plan", Origin::adopted, false, false, {},
            {TitleState::updateAvailable(), std::nullopt});
        QTest::newRow("no copy") << update << std::optional<InstallResolution>()
                                 << std::optional<Reason>();
    }

    void updateBlock()
    {
        QFETCH(RestingDecision, decision);
        QFETCH(std::optional<InstallResolution>, resolution);
        QFETCH(std::optional<UpdateBlock::Reason>, reason);
        const auto blocked = InstallPlanner::applyUpdateBlock(decision, resolution);
        if (reason)
            QCOMPARE(blocked,
                     std::pair(RestingDecision {TitleState::installed(), std::nullopt},
                               std::optional(UpdateBlock {
                                   *decision.plan, resolution->current.canonicalURL, *reason})));
        else
            QCOMPARE(blocked, std::pair(decision, std::optional<UpdateBlock>()));
    }

    void anAdoptedCopyIsHandedOnAsAdoptable()
    {
        const InstallCopy adopted = currentCopy(Origin::adopted, true, false);
        QCOMPARE(adopted.adoptableCopy(), (AdoptableCopy {adopted.canonicalURL, 39, u"39"_qs, true, false}));
        QCOMPARE(currentCopy(Origin::managed, true, false).adoptableCopy(), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(InstallPlannerTest)
#include "InstallPlannerTest.moc"
