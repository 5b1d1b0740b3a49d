#include <platform/CodeSignature.h>
#include <platform/FileSystem.h>

#include <support/BundleBuilder.h>
#include <support/TestHome.h>
#include <support/ToolRun.h>

#include <QFileInfo>
#include <QTest>

#include <nlohmann/json.hpp>

using namespace vantry;
using Json = nlohmann::json;
using test::BundleBuilder;

namespace {

test::ToolRun publish(const QStringList &arguments)
{
    return test::runTool(QStringLiteral(VANTRY_PUBLISH_TOOL), arguments);
}

QString devKey(const char *name)
{
    return QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/") + QLatin1String(name);
}

// verify-bundle --json, with its exit status checked against what it reports.
QString verify(const QString &bundle)
{
    const auto run = publish({u"verify-bundle"_qs, bundle, u"--json"_qs});
    auto report = Json::parse(run.out.toStdString(), nullptr, false);
    if (report.is_discarded() ||
        run.status != (report["signatureValid"] == true && report["notarized"] == true ? 0 : 1))
        return QStringLiteral("status %1 for %2").arg(run.status).arg(QString::fromUtf8(run.out));
    return QString::fromStdString(report.dump());
}

QString expected(const char *signatureRefusal, const char *notarizationRefusal,
                 const char *item = nullptr)
{
    const auto name = [](const char *text) { return text ? Json(text) : Json(nullptr); };
    return QString::fromStdString(Json {
        {"signatureValid", !signatureRefusal},
        {"notarized", !notarizationRefusal},
        {"signatureRefusal", name(signatureRefusal)},
        {"nestedRefusal", nullptr},
        {"refusedItem", name(item)},
        {"notarizationRefusal",
         name(notarizationRefusal)}}.dump());
}

} // namespace

class SigningCommandsTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;

    QString unsignedBundle(const QString &folder)
    {
        return BundleBuilder()
            .setSigning(BundleBuilder::Signing::none)
            .build(m_home.scratch(folder))
            .value_or(QString());
    }

    int certify(const QString &anchor, const QString &team, const QString &key, const QString &out)
    {
        return publish({u"certify"_qs, u"--anchor-key"_qs, anchor, u"--team"_qs, team,
                        u"--developer"_qs, u"Maker"_qs, u"--developer-key"_qs, key, u"--out"_qs,
                        out})
            .status;
    }

    int codesign(const QString &bundle, const QString &key, const QString &certificate)
    {
        return publish({u"codesign"_qs, bundle, u"--key"_qs, key, u"--certificate"_qs, certificate})
            .status;
    }

private Q_SLOTS:
    void certifySignNotarizeAndVerify()
    {
        const QString prefix = m_home.scratch(u"maker"_qs), certificate = prefix + u".cert"_qs;
        QCOMPARE(publish({u"keygen"_qs, u"--out"_qs, prefix}).status, 0);
        QCOMPARE(certify(devKey("codesign-anchor.key"), u"ZQ8WN2KD4T"_qs, prefix + u".pub"_qs,
                         certificate),
                 0);
        const QString bundle = unsignedBundle(u"flow"_qs);
        const auto notarizeWith = [&](const QString &key) {
            return publish({u"notarize"_qs, bundle, u"--key"_qs, key});
        };
        QCOMPARE(verify(bundle), expected("notSigned", "signatureInvalid"));
        // A key that is not the certificate's signs nothing.
        QCOMPARE(codesign(bundle, devKey("developer.key"), certificate), 1);

        QCOMPARE(codesign(bundle, prefix + u".key"_qs, certificate), 0);
        QCOMPARE(verify(bundle), expected(nullptr, "noTicket"));
        // The nested framework was signed too, on its own.
        QVERIFY(CodeSignature::validate(bundle + u"/Contents/Frameworks/Engine.framework"_qs,
                                        CodeSignature::developerIdRequirement()));
        QCOMPARE(notarizeWith(devKey("notary.key")).status, 0);
        QCOMPARE(verify(bundle), expected(nullptr, nullptr));
        QVERIFY(publish({u"verify-bundle"_qs, bundle}).out.contains("code signature: valid"));

        QVERIFY(
            FileSystem::writeFileAtomically(bundle + u"/Contents/Resources/readme.txt"_qs, "x"));
        QCOMPARE(verify(bundle),
                 expected("fileModified", "signatureInvalid", "Contents/Resources/readme.txt"));
        const auto refused = notarizeWith(devKey("notary.key"));
        QVERIFY(refused.status == 1 && refused.err.contains("fileModified"));
    }

    void usageErrors()
    {
        const QString bundle = unsignedBundle(u"usage"_qs);
        const QString notes = m_home.scratch(u"notes.txt"_qs);
        const QString out = m_home.scratch(u"x"_qs);
        QVERIFY(FileSystem::writeFileAtomically(notes, "not a key\n"));
        const QString anchor = devKey("codesign-anchor.key");
        QCOMPARE(certify(anchor, u"lowercase1"_qs, devKey("developer.pub"), out), 2);
        QCOMPARE(certify(anchor, u"ZQ8WN2KD4T"_qs, notes, out), 2);
        const QString key = devKey("developer.key");
        for (const QStringList &arguments : QList<QStringList> {
                 {u"certify"_qs},
                 {u"codesign"_qs, bundle, u"--key"_qs, key},
                 {u"codesign"_qs, bundle, u"--key"_qs, key, u"--certificate"_qs, notes},
                 {u"codesign"_qs, notes, u"--key"_qs, key, u"--certificate"_qs,
                  devKey("developer.cert")},
                 {u"notarize"_qs, bundle},
                 {u"notarize"_qs, bundle, u"--key"_qs, notes},
                 {u"verify-bundle"_qs},
                 {u"verify-bundle"_qs, bundle, u"--xml"_qs},
                 {u"verify-bundle"_qs, m_home.scratch(u"Missing.app"_qs)}})
            QVERIFY2(publish(arguments).status == 2, qPrintable(arguments.join(u' ')));
        QVERIFY(!QFileInfo::exists(out));
        QVERIFY(!QFileInfo::exists(bundle + u"/Contents/_CodeSignature"_qs));
    }
};

QTEST_GUILESS_MAIN(SigningCommandsTest)
#include "SigningCommandsTest.moc"
