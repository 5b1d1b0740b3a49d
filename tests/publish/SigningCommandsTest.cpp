#include <platform/CodeSignature.h>
#include <platform/Crypto.h>
#include <platform/FileSystem.h>

#include <support/BundleBuilder.h>
#include <support/TestHome.h>

#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <nlohmann/json.hpp>

using namespace vantry;
using Json = nlohmann::json;
using test::BundleBuilder;

namespace {

struct Run {
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Run publish(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(VANTRY_PUBLISH_TOOL), arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

QString devKey(const char *name)
{
    return QStringLiteral(VANTRY_SOURCE_DIR "/keys/dev/") + QLatin1String(name);
}

// verify-bundle --json, with its exit status checked against what it reports.
QString verify(const QString &bundle)
{
    const Run run = publish({u"verify-bundle"_qs, bundle, u"--json"_qs});
    auto report = Json::parse(run.out.toStdString(), nullptr, false);
    if (report.is_discarded() ||
        run.status != (report["signatureValid"] == true && report["notarized"] == true ? 0 : 1))
        return QStringLiteral("status %1 for %2").arg(run.status).arg(QString::fromUtf8(run.out));
    return QString::fromStdString(report.dump());
}

QString expected(std::optional<const char *> signatureRefusal,
                 std::optional<const char *> notarizationRefusal,
                 std::optional<const char *> item = std::nullopt)
{
    const auto name = [](std::optional<const char *> text) {
        return text ? Json(*text) : Json(nullptr);
    };
    const Json report {{"signatureValid", !signatureRefusal},
                       {"notarized", !notarizationRefusal},
                       {"signatureRefusal", name(signatureRefusal)},
                       {"nestedRefusal", nullptr},
                       {"refusedItem", name(item)},
                       {"notarizationRefusal", name(notarizationRefusal)}};
    return QString::fromStdString(report.dump());
}

} // namespace

class SigningCommandsTest : public QObject
{
    Q_OBJECT

    test::TestHome m_home;

    QString unsignedBundle(const QString &folder)
    {
        const auto bundle =
            BundleBuilder().setSigning(BundleBuilder::Signing::none).build(m_home.scratch(folder));
        return bundle ? *bundle : QString();
    }

private Q_SLOTS:
    void theCommittedCertificateIsTheDevelopmentDevelopers()
    {
        const auto certificate =
            CodeSignature::Certificate::parse(*FileSystem::readFile(devKey("developer.cert")));
        QVERIFY(certificate);
        QCOMPARE(certificate->team, u"ZQ8WN2KD4T"_qs);
        QCOMPARE(certificate->publicKey,
                 *Crypto::ed25519PublicKey(*FileSystem::readFile(devKey("developer.key"))));
        QCOMPARE(certificate->publicKey.toBase64() + '\n',
                 *FileSystem::readFile(devKey("developer.pub")));
        QCOMPARE(Crypto::ed25519Verify(CodeSignature::builtInAnchorKey(), certificate->signature,
                                       certificate->signedBytes()),
                 Crypto::Ed25519Check::valid);
    }

    void certifySignNotarizeAndVerify()
    {
        const QString prefix = m_home.scratch(u"maker"_qs);
        QCOMPARE(publish({u"keygen"_qs, u"--out"_qs, prefix}).status, 0);
        const QString certificate = m_home.scratch(u"maker.cert"_qs);
        const Run certified =
            publish({u"certify"_qs, u"--anchor-key"_qs, devKey("codesign-anchor.key"), u"--team"_qs,
                     u"ZQ8WN2KD4T"_qs, u"--developer"_qs, u"Maker"_qs, u"--developer-key"_qs,
                     prefix + u".pub"_qs, u"--out"_qs, certificate});
        QCOMPARE(certified.status, 0);

        const QString bundle = unsignedBundle(u"flow"_qs);
        QVERIFY(!bundle.isEmpty());
        QCOMPARE(verify(bundle), expected("notSigned", "signatureInvalid"));
        QCOMPARE(publish({u"notarize"_qs, bundle, u"--key"_qs, devKey("notary.key")}).status, 1);

        const Run signedRun = publish({u"codesign"_qs, bundle, u"--key"_qs, prefix + u".key"_qs,
                                       u"--certificate"_qs, certificate});
        QCOMPARE(signedRun.status, 0);
        QCOMPARE(verify(bundle), expected(std::nullopt, "noTicket"));
        // The nested framework was signed too, on its own.
        QVERIFY(CodeSignature::validate(bundle + u"/Contents/Frameworks/Engine.framework"_qs,
                                        CodeSignature::developerIdRequirement()));

        // Only the notary's key gives a ticket the launcher takes.
        QCOMPARE(publish({u"notarize"_qs, bundle, u"--key"_qs, prefix + u".key"_qs}).status, 0);
        QCOMPARE(verify(bundle), expected(std::nullopt, "ticketNotFromNotary"));
        QCOMPARE(publish({u"notarize"_qs, bundle, u"--key"_qs, devKey("notary.key")}).status, 0);
        QCOMPARE(verify(bundle), expected(std::nullopt, std::nullopt));
        const Run text = publish({u"verify-bundle"_qs, bundle});
        QCOMPARE(text.status, 0);
        QVERIFY(text.out.contains("code signature: valid"));

        QVERIFY(FileSystem::writeFileAtomically(bundle + u"/Contents/Resources/readme.txt"_qs,
                                                "changed"));
        QCOMPARE(verify(bundle),
                 expected("fileModified", "signatureInvalid", "Contents/Resources/readme.txt"));
        const Run refused = publish({u"notarize"_qs, bundle, u"--key"_qs, devKey("notary.key")});
        QCOMPARE(refused.status, 1);
        QVERIFY(refused.err.contains("fileModified"));
    }

    void certificatesTheLauncherRefuses()
    {
        const QString prefix = m_home.scratch(u"other"_qs);
        QCOMPARE(publish({u"keygen"_qs, u"--out"_qs, prefix}).status, 0);
        const auto certifyWith = [&](const QString &anchor, const QString &team,
                                     const QString &out) {
            return publish({u"certify"_qs, u"--anchor-key"_qs, anchor, u"--team"_qs, team,
                            u"--developer"_qs, u"Other"_qs, u"--developer-key"_qs,
                            prefix + u".pub"_qs, u"--out"_qs, out})
                .status;
        };
        const QString otherTeam = m_home.scratch(u"team.cert"_qs);
        const QString selfMade = m_home.scratch(u"self.cert"_qs);
        QCOMPARE(certifyWith(devKey("codesign-anchor.key"), u"AB12CD34EF"_qs, otherTeam), 0);
        QCOMPARE(certifyWith(prefix + u".key"_qs, u"ZQ8WN2KD4T"_qs, selfMade), 0);

        for (const auto &[certificate, refusal] :
             {std::pair {otherTeam, "wrongTeam"},
              std::pair {selfMade, "certificateNotFromAnchor"}}) {
            const QString bundle = unsignedBundle(QFileInfo(certificate).baseName());
            QCOMPARE(publish({u"codesign"_qs, bundle, u"--key"_qs, prefix + u".key"_qs,
                              u"--certificate"_qs, certificate})
                         .status,
                     0);
            QCOMPARE(verify(bundle), expected(refusal, "signatureInvalid"));
        }

        // A key that is not the certificate's signs nothing.
        const QString bundle = unsignedBundle(u"mismatch"_qs);
        const Run mismatch = publish({u"codesign"_qs, bundle, u"--key"_qs, devKey("developer.key"),
                                      u"--certificate"_qs, otherTeam});
        QCOMPARE(mismatch.status, 1);
        QVERIFY(!QFileInfo::exists(bundle + u"/Contents/_CodeSignature"_qs));
    }

    void usageErrors()
    {
        const QString bundle = unsignedBundle(u"usage"_qs);
        const QString notes = m_home.scratch(u"notes.txt"_qs);
        QVERIFY(FileSystem::writeFileAtomically(notes, "not a key\n"));
        const QList<QStringList> usages {
            {u"certify"_qs},
            {u"certify"_qs, u"--anchor-key"_qs, devKey("codesign-anchor.key"), u"--team"_qs,
             u"lowercase1"_qs, u"--developer"_qs, u"X"_qs, u"--developer-key"_qs,
             devKey("developer.pub"), u"--out"_qs, m_home.scratch(u"x"_qs)},
            {u"certify"_qs, u"--anchor-key"_qs, devKey("codesign-anchor.key"), u"--team"_qs,
             u"ZQ8WN2KD4T"_qs, u"--developer"_qs, u"X"_qs, u"--developer-key"_qs, notes,
             u"--out"_qs, m_home.scratch(u"x"_qs)},
            {u"codesign"_qs, bundle, u"--key"_qs, devKey("developer.key")},
            {u"codesign"_qs, bundle, u"--key"_qs, devKey("developer.key"), u"--certificate"_qs,
             notes},
            {u"codesign"_qs, notes, u"--key"_qs, devKey("developer.key"), u"--certificate"_qs,
             devKey("developer.cert")},
            {u"notarize"_qs, bundle},
            {u"notarize"_qs, bundle, u"--key"_qs, notes},
            {u"verify-bundle"_qs},
            {u"verify-bundle"_qs, bundle, u"--xml"_qs},
            {u"verify-bundle"_qs, m_home.scratch(u"Missing.app"_qs)},
        };
        for (const QStringList &arguments : usages)
            QVERIFY2(publish(arguments).status == 2, qPrintable(arguments.join(u' ')));
        QVERIFY(!QFileInfo::exists(m_home.scratch(u"x"_qs)));
        QVERIFY(!QFileInfo::exists(bundle + u"/Contents/_CodeSignature"_qs));
    }
};

QTEST_GUILESS_MAIN(SigningCommandsTest)
#include "SigningCommandsTest.moc"
