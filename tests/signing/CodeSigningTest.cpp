#include <platform/Crypto.h>
#include <signing/CodeSigning.h>
#include <signing/PrivateKeys.h>

#include <support/BundleBuilder.h>

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace vantry;
using namespace vantry::CodeSignature;
using test::BundleBuilder;
namespace Dev = test::DevelopmentSigning;

namespace {

// A change made to an unsigned Game.app, given its Contents folder.
using Change = std::function<bool(const QByteArray &contents)>;

enum class Step { sign, signWithAnotherKey, notarize };

} // namespace

class CodeSigningTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void certificatesVouchOnlyForWhatTheyCanName()
    {
        const QByteArray key = Crypto::generateEd25519KeyPair()->publicKey;
        const auto refusal = [&](QByteArrayView anchor, const QString &team, const QString &name,
                                 QByteArrayView developerKey) {
            const auto made = makeCertificate(anchor, team, name, developerKey);
            return made ? std::nullopt : std::optional(made.error().error);
        };
        QCOMPARE(refusal(Dev::anchorKey(), u"ZQ8WN2KD4"_qs, u"X"_qs, key),
                 SigningError::invalidTeam);
        QCOMPARE(refusal(Dev::anchorKey(), u"ZQ8WN2KD4T"_qs, u" X"_qs, key),
                 SigningError::invalidDeveloperName);
        QCOMPARE(refusal(key, u"ZQ8WN2KD4T"_qs, u"X"_qs, key), SigningError::malformedPrivateKey);
        QCOMPARE(refusal(Dev::anchorKey(), u"ZQ8WN2KD4T"_qs, u"X"_qs, key.left(31)),
                 SigningError::malformedPublicKey);

        const auto made =
            makeCertificate(Dev::anchorKey(), u"ZQ8WN2KD4T"_qs, u"Zoë Studio"_qs, key);
        QCOMPARE(Certificate::parse(made->bytes()), made.value());
    }

    void signingRefusesWhatCouldNotValidate_data()
    {
        QTest::addColumn<Change>("change");
        QTest::addColumn<Step>("step");
        QTest::addColumn<SigningError>("error");
        const Change nothing = [](const QByteArray &) { return true; };
        QTest::newRow("a key that is not the certificate's")
            << nothing << Step::signWithAnotherKey << SigningError::keyDoesNotMatchCertificate;
        QTest::newRow("a link out of the bundle") << Change([](const QByteArray &contents) {
            return ::symlink("../../..", (contents + "/Resources/up").constData()) == 0;
        }) << Step::sign << SigningError::linkOutsideBundle;
        QTest::newRow("a pipe") << Change([](const QByteArray &contents) {
            return ::mkfifo((contents + "/Resources/pipe").constData(), 0644) == 0;
        }) << Step::sign << SigningError::unsupportedItem;
        QTest::newRow("nested code without an identifier")
            << Change([](const QByteArray &contents) {
                   return ::unlink((contents + "/Frameworks/Engine.framework/Resources/Info.plist")
                                       .constData()) == 0;
               })
            << Step::sign << SigningError::missingBundleIdentifier;
        QTest::newRow("notarizing what is not signed")
            << nothing << Step::notarize << SigningError::signatureInvalid;
    }

    void signingRefusesWhatCouldNotValidate()
    {
        QFETCH(Change, change);
        QFETCH(Step, step);
        QFETCH(SigningError, error);
        QTemporaryDir folder;
        const auto bundle =
            BundleBuilder().setSigning(BundleBuilder::Signing::none).build(folder.path());
        QVERIFY(bundle && change(QFile::encodeName(*bundle + u"/Contents"_qs)));
        const QByteArray key = step == Step::sign ? Dev::developerKey()
                                                  : Crypto::generateEd25519KeyPair()->privateKeyPem;
        const auto done = step == Step::notarize ? notarize(*bundle, Dev::notaryKey())
                                                 : signBundle(*bundle, key, Dev::certificate());
        QCOMPARE(done ? std::nullopt : std::optional(done.error().error), error);
        // Nothing is left half done: the bundle has no signature, nor a ticket.
        QVERIFY(!QFileInfo::exists(*bundle + u"/Contents/_CodeSignature"_qs));
    }
};

QTEST_GUILESS_MAIN(CodeSigningTest)
#include "CodeSigningTest.moc"
