#include <copies/InstallPlanner.h>

#include <vantry/BuildConfig.h>

#include <QTest>

using namespace vantry;

namespace {

const QString offline = QString::fromUtf8("Offline \u2014 check your connection and try again.");
const QString originFailed = u"This release failed an origin check."_qs;
const QString older = u"This release is older than one you have already installed."_qs;

QString onCatalogHost(const char *pattern)
{
    return QString::fromUtf8(pattern).replace(u"HOST"_qs, QString::fromLatin1(BuildConfig::catalogHost));
}

Catalog::Entry entry(const char *minimum = "13.0")
{
    Catalog::Entry game;
    game.id = u"mazzle"_qs;
    game.name = u"Mazzle"_qs;
    game.bundleId = u"com.example.mazzle"_qs;
    game.minSystemVersion = QString::fromUtf8(minimum);
    game.released = true;
    return game;
}

AppcastItem item(std::int64_t version = 40, std::optional<QString> minimum = std::nullopt,
                 const char *enclosure = "https://HOST/mazzle-40.dmg")
{
    AppcastItem release;
    release.version = version;
    release.shortVersionString = u"4.0"_qs;
    release.minimumSystemVersion = std::move(minimum);
    release.enclosureURLText = onCatalogHost(enclosure);
    release.enclosureURL = QUrl(release.enclosureURLText, QUrl::StrictMode);
    release.length = 123456;
    release.edSignature = u"c2lnbmF0dXJl"_qs;
    return release;
}

// What every plan must carry, field by field from its two sources.
InstallPlan expectedPlan(const Catalog::Entry &game, const AppcastItem &release)
{
    InstallPlan plan;
    plan.titleId = game.id;
    plan.enclosureURL = release.enclosureURL;
    plan.expectedLength = release.length;
    plan.expectedSignature = release.edSignature;
    plan.expectedBundleId = game.bundleId;
    plan.expectedVersion = release.version;
    plan.expectedShortVersion = release.shortVersionString;
    return plan;
}

std::optional<InstalledObservation> installedAt(std::int64_t build)
{
    return InstalledObservation {u"com.example.mazzle"_qs, build, QString::number(build)};
}

InstallCopy currentCopy(InstallCopy::Origin origin, bool writable, bool parentWritable)
{
    return InstallCopy {u"/Applications/Mazzle.app"_qs, *installedAt(39), origin, writable, parentWritable};
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
        QTest::newRow("higher feed minimum") << u"13.0"_qs << std::optional(item(40, u"14.0"_qs)) << u"14.0"_qs;
        QTest::newRow("feed text kept as written") << u"13.0"_qs << std::optional(item(40, u"14"_qs)) << u"14"_qs;
        QTest::newRow("lower feed minimum") << u"13.0"_qs << std::optional(item(40, u"12.0"_qs)) << u"13.0"_qs;
        QTest::newRow("equal feed minimum") << u"13.0"_qs << std::optional(item(40, u"13.0.0"_qs)) << u"13.0"_qs;
        QTest::newRow("unparseable feed minimum") << u"13.0"_qs << std::optional(item(40, u"14.x"_qs)) << u"13.0"_qs;
        QTest::newRow("unparseable entry minimum") << u"13.x"_qs << std::optional(item(40, u"14.0"_qs)) << u"13.x"_qs;
        QTest::newRow("no feed minimum") << u"13.0"_qs << std::optional(item(40)) << u"13.0"_qs;
        QTest::newRow("no release") << u"13.0"_qs << std::optional<AppcastItem>() << u"13.0"_qs;
    }

    void effectiveMinimum()
    {
        QFETCH(QString, entryMinimum);
        QFETCH(std::optional<AppcastItem>, release);
        QFETCH(QString, expected);
        QCOMPARE(InstallPlanner::effectiveMinimumSystemVersion(entry(entryMinimum.toUtf8().constData()), release),
                 expected);
    }

    void decide_data()
    {
        QTest::addColumn<QString>("entryMinimum");
        QTest::addColumn<std::optional<AppcastItem>>("release");
        QTest::addColumn<std::optional<InstalledObservation>>("installed");
        QTest::addColumn<SystemVersion>("os");
        QTest::addColumn<qint64>("mark");
        QTest::addColumn<TitleState>("state");
        QTest::addColumn<bool>("planned");

        const SystemVersion os136 {13, 6, 0};
        const std::optional<InstalledObservation> none;
        const auto release = [](std::int64_t version, const char *minimum = nullptr,
                                const char *enclosure = "https://HOST/mazzle-40.dmg") {
            return std::optional(item(version, minimum ? std::optional(QString::fromUtf8(minimum)) : std::nullopt,
                                      enclosure));
        };
        const auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };

        row("too old, nothing installed") << u"13.0"_qs << release(40, "14.0") << none << os136 << qint64(0)
                                          << TitleState::requiresNewerMacOS(u"14.0"_qs) << false;
        row("too old, no feed needed") << u"14.1"_qs << std::optional<AppcastItem>() << none << os136 << qint64(0)
                                       << TitleState::requiresNewerMacOS(u"14.1"_qs) << false;
        row("unparseable minimum, nothing installed")
            << u"13.x"_qs << release(40) << none << os136 << qint64(0)
            << TitleState::requiresNewerMacOS(u"13.x"_qs) << false;
        row("unparseable minimum, installed") << u"13.x"_qs << release(40) << installedAt(39) << os136
                                              << qint64(0) << TitleState::installed() << false;
        row("offline, nothing installed") << u"13.0"_qs << std::optional<AppcastItem>() << none << os136
                                          << qint64(0) << TitleState::unavailable(offline) << false;
        row("offline, installed") << u"13.0"_qs << std::optional<AppcastItem>() << installedAt(39) << os136
                                  << qint64(0) << TitleState::installed() << false;
        row("origin refused, nothing installed")
            << u"13.0"_qs << release(40, nullptr, "HTTPS://HOST/mazzle-40.dmg") << none << os136 << qint64(0)
            << TitleState::unavailable(originFailed) << false;
        row("foreign host, installed") << u"13.0"_qs << release(40, nullptr, "https://example.com/mazzle-40.dmg")
                                       << installedAt(39) << os136 << qint64(0) << TitleState::installed() << false;
        row("available at the mark") << u"13.0"_qs << release(40) << none << os136 << qint64(40)
                                     << TitleState::available() << true;
        row("available on the minimum exactly") << u"13.6"_qs << release(40) << none << os136 << qint64(0)
                                                << TitleState::available() << true;
        row("below the mark, nothing installed") << u"13.0"_qs << release(40) << none << os136 << qint64(41)
                                                 << TitleState::unavailable(older) << false;
        row("below the mark, installed") << u"13.0"_qs << release(40) << installedAt(39) << os136 << qint64(41)
                                         << TitleState::installed() << false;
        row("update at the mark") << u"13.0"_qs << release(40) << installedAt(39) << os136 << qint64(40)
                                  << TitleState::updateAvailable() << true;
        row("update, system too old for it") << u"13.0"_qs << release(40, "14.0") << installedAt(39) << os136
                                             << qint64(0) << TitleState::installed() << false;
        row("same build installed") << u"13.0"_qs << release(40) << installedAt(40) << os136 << qint64(0)
                                    << TitleState::installed() << false;
        row("newer build installed") << u"13.0"_qs << release(40) << installedAt(41) << os136 << qint64(0)
                                     << TitleState::installed() << false;
    }

    void decide()
    {
        QFETCH(QString, entryMinimum);
        QFETCH(std::optional<AppcastItem>, release);
        QFETCH(std::optional<InstalledObservation>, installed);
        QFETCH(SystemVersion, os);
        QFETCH(qint64, mark);
        QFETCH(TitleState, state);
        QFETCH(bool, planned);

        const Catalog::Entry game = entry(entryMinimum.toUtf8().constData());
        const auto decision = InstallPlanner::decide(game, release, installed, os, mark);
        QVERIFY(decision.has_value());
        QCOMPARE(decision->state, state);
        QCOMPARE(decision->plan.has_value(), planned);
        if (planned)
            QCOMPARE(*decision->plan, expectedPlan(game, *release));
    }

    void unreleasedTitleHasNoDecision()
    {
        Catalog::Entry game = entry();
        game.released = false;
        QCOMPARE(InstallPlanner::decide(game, item(), std::nullopt, {14, 0, 0}, 0), std::nullopt);
        QCOMPARE(InstallPlanner::decide(game, item(), installedAt(39), {14, 0, 0}, 0), std::nullopt);
    }

    void updateBlock_data()
    {
        QTest::addColumn<InstallCopy>("current");
        QTest::addColumn<std::optional<UpdateBlock::Reason>>("reason");
        using Origin = InstallCopy::Origin;
        using Reason = UpdateBlock::Reason;
        QTest::newRow("adopted, bundle read-only")
            << currentCopy(Origin::adopted, false, true) << std::optional(Reason::notWritable);
        QTest::newRow("adopted, nothing writable")
            << currentCopy(Origin::adopted, false, false) << std::optional(Reason::notWritable);
        QTest::newRow("adopted, folder read-only")
            << currentCopy(Origin::adopted, true, false) << std::optional(Reason::parentNotWritable);
        QTest::newRow("adopted, writable") << currentCopy(Origin::adopted, true, true) << std::optional<Reason>();
        QTest::newRow("managed, read-only") << currentCopy(Origin::managed, false, false) << std::optional<Reason>();
    }

    void updateBlock()
    {
        QFETCH(InstallCopy, current);
        QFETCH(std::optional<UpdateBlock::Reason>, reason);
        const InstallPlan plan = expectedPlan(entry(), item());
        const RestingDecision update {TitleState::updateAvailable(), plan};
        const auto [decision, block] =
            InstallPlanner::applyUpdateBlock(update, InstallResolution {current, {current}});
        if (!reason) {
            QCOMPARE(decision, update);
            QCOMPARE(block, std::nullopt);
            return;
        }
        QCOMPARE(decision, (RestingDecision {TitleState::installed(), std::nullopt}));
        QCOMPARE(block, std::optional(UpdateBlock {plan, current.canonicalURL, *reason}));
    }

    void onlyAnOfferedUpdateIsBlocked()
    {
        const InstallCopy readOnly = currentCopy(InstallCopy::Origin::adopted, false, false);
        const InstallResolution resolution {readOnly, {readOnly}};
        const RestingDecision installed {TitleState::installed(), std::nullopt};
        QCOMPARE(InstallPlanner::applyUpdateBlock(installed, resolution), std::pair(installed, std::optional<UpdateBlock>()));
        const RestingDecision planless {TitleState::updateAvailable(), std::nullopt};
        QCOMPARE(InstallPlanner::applyUpdateBlock(planless, resolution), std::pair(planless, std::optional<UpdateBlock>()));
        const RestingDecision update {TitleState::updateAvailable(), expectedPlan(entry(), item())};
        QCOMPARE(InstallPlanner::applyUpdateBlock(update, std::nullopt), std::pair(update, std::optional<UpdateBlock>()));
    }

    void originRawValues()
    {
        using Origin = InstallCopy::Origin;
        QCOMPARE(InstallCopy::rawValue(Origin::managed), u"managed"_qs);
        QCOMPARE(InstallCopy::rawValue(Origin::adopted), u"adopted"_qs);
        QCOMPARE(InstallCopy::originFromRawValue(u"adopted"), std::optional(Origin::adopted));
        QCOMPARE(InstallCopy::originFromRawValue(u"managed"), std::optional(Origin::managed));
        QCOMPARE(InstallCopy::originFromRawValue(u"Managed"), std::nullopt);
    }

    void adoptableCopyOfACopy()
    {
        const InstallCopy adopted {u"/Applications/Mazzle.app"_qs, {u"com.example.mazzle"_qs, 12, u"1.2"_qs},
                                   InstallCopy::Origin::adopted, true, false};
        QCOMPARE(adopted.adoptableCopy(),
                 std::optional(AdoptableCopy {u"/Applications/Mazzle.app"_qs, 12, u"1.2"_qs, true, false}));
        InstallCopy managed = adopted;
        managed.origin = InstallCopy::Origin::managed;
        QCOMPARE(managed.adoptableCopy(), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(InstallPlannerTest)
#include "InstallPlannerTest.moc"
