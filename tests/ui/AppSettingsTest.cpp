#include <ui/AppSettings.h>

#include <platform/FileSystem.h>
#include <platform/UserDefaults.h>

#include <support/TestHome.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using namespace vantry;
using Change = std::function<void(AppSettings &)>;
Q_DECLARE_METATYPE(ThemeID)
Q_DECLARE_METATYPE(Change)

namespace {
QJsonObject stored(const QString &path) { return QJsonDocument::fromJson(FileSystem::readFile(path).value_or("")).object(); }
QVariantList state(const AppSettings &s) { return {int(s.themeID()), s.soundEnabled(), s.firstLaunchDone()}; }
// Settings over a defaults file that holds `file` (no file when it is empty).
struct Fixture {
    explicit Fixture(const QByteArray &file) : written(file.isEmpty() || test::put(path, file)) {}
    test::TestHome home;
    const QString path = home.scratch(u"defaults.json"_qs);
    const bool written;
    UserDefaults defaults{path};
    AppSettings settings{defaults};
};
} // namespace

class AppSettingsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // What the settings make of the stored keys, and that they rewrite none of them: not at
    // creation, not when set to what they hold, not when another setting changes.
    void creationReadsWithoutRewriting_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<ThemeID>("theme");
        QTest::addColumn<bool>("sound");
        QTest::addColumn<bool>("first");
        QTest::newRow("no file") << QByteArray() << ThemeID::arcade << true << false;
        QTest::newRow("atrium") << QByteArray(R"({"theme": "atrium"})") << ThemeID::atrium << true << false;
        QTest::newRow("capitalised theme") << QByteArray(R"({"theme": "Atrium"})") << ThemeID::arcade << true << false;
        QTest::newRow("sound as the text false, theme a number")
            << QByteArray(R"({"soundEnabled": "false", "theme": 2})") << ThemeID::arcade << true << false;
        QTest::newRow("booleans") << QByteArray(R"({"soundEnabled": false, "firstLaunchDone": true})") << ThemeID::arcade << false << true;
    }
    void creationReadsWithoutRewriting()
    {
        QFETCH(QByteArray, file);
        Fixture f(file);
        QVERIFY(f.written);
        AppSettings &settings = f.settings;
        const QString &path = f.path;
        QTEST(settings.themeID(), "theme");
        QTEST(settings.soundEnabled(), "sound");
        QTEST(settings.firstLaunchDone(), "first");
        QCOMPARE(settings.theme().id, settings.themeID());
        QCOMPARE(QFile::exists(path), !file.isEmpty());
        settings.setThemeID(settings.themeID());
        settings.setSoundEnabled(settings.soundEnabled());
        settings.setFirstLaunchDone(!settings.firstLaunchDone());
        const QJsonObject before = QJsonDocument::fromJson(file).object(), after = stored(path);
        for (const QString &key : {u"theme"_qs, u"soundEnabled"_qs})
            QCOMPARE(after.value(key), before.value(key));
    }

    void changesWriteThrough_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<Change>("change");
        QTest::addColumn<QStringList>("soundCalls");
        const auto row = [](const char *name, const char *file, Change change, QStringList calls) {
            QTest::newRow(name) << QByteArray(file) << change << calls;
        };
        row("theme", "", [](AppSettings &s) { s.setThemeID(ThemeID::angkor); }, {});
        row("sound off", "", [](AppSettings &s) { s.setSoundEnabled(false); }, {u"override off"_qs});
        row("sound on", R"({"soundEnabled": false})", [](AppSettings &s) { s.setSoundEnabled(true); },
            {u"override on"_qs, u"configure"_qs});
        row("first launch", "", [](AppSettings &s) { s.setFirstLaunchDone(true); }, {});
    }
    void changesWriteThrough()
    {
        QFETCH(Change, change);
        QFETCH(QByteArray, file);
        Fixture f(file);
        QVERIFY(f.written);
        AppSettings &settings = f.settings;
        const QString &path = f.path;
        QStringList calls;
        settings.setSoundHook({[&](bool on) { calls << (on ? u"override on"_qs : u"override off"_qs); },
                               [&] { calls << u"configure"_qs; return true; }});
        QSignalSpy theme(&settings, &AppSettings::themeIDChanged), sound(&settings, &AppSettings::soundEnabledChanged),
            first(&settings, &AppSettings::firstLaunchDoneChanged);
        change(settings);
        QCOMPARE(theme.count() + sound.count() + first.count(), 1);
        // Settings made afresh from a fresh store over the same file see the change.
        UserDefaults reread(path);
        QCOMPARE(state(AppSettings(reread)), state(settings));
        QTEST(calls, "soundCalls");
    }
};

QTEST_GUILESS_MAIN(AppSettingsTest)
#include "AppSettingsTest.moc"
