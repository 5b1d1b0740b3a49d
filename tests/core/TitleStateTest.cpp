#include <core/TitleState.h>

#include <QSet>
#include <QTest>

using namespace vantry;
using Case = TitleState::Case;

class TitleStateTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tableReadsAsDesigned()
    {
        QCOMPARE(TitleState::legalTransitions.size(), size_t(17));

        QSet<std::pair<int, int>> pairs;
        for (const auto &[from, to] : TitleState::legalTransitions) {
            QVERIFY2(from != to, "a case is never a transition to itself");
            pairs.insert({int(from), int(to)});
        }
        QCOMPARE(pairs.size(), 17);

        for (const auto from : TitleState::allCases) {
            for (const auto to : TitleState::allCases) {
                const bool legal = TitleState::canTransition(from, to);
                const QByteArray pair = (TitleState::rawValue(from) + QStringLiteral(" -> ") + TitleState::rawValue(to)).toUtf8();
                QCOMPARE_EQ(legal, pairs.contains({int(from), int(to)}));

                // Resting-only cases are never entered or left through the table.
                for (const auto resting : {Case::running, Case::requiresNewerMacOS, Case::unavailable}) {
                    if (from == resting || to == resting)
                        QVERIFY2(!legal, pair.constData());
                }
                if (legal && to == Case::queued)
                    QVERIFY2(from == Case::available || from == Case::updateAvailable || from == Case::failed, pair.constData());
                if (legal && from == Case::verifying)
                    QVERIFY2(to == Case::installing || to == Case::failed, pair.constData());
                if (legal && from == Case::installing)
                    QVERIFY2(to == Case::installed || to == Case::failed, pair.constData());
                if (legal && from == Case::installed)
                    QFAIL("an installed title leaves only through the resting derivation");
            }
        }

        // A waiting or downloading job can be cancelled back to where it started.
        for (const auto from : {Case::queued, Case::downloading}) {
            QVERIFY(TitleState::canTransition(from, Case::available));
            QVERIFY(TitleState::canTransition(from, Case::updateAvailable));
            QVERIFY(TitleState::canTransition(from, Case::failed));
        }
        QVERIFY(!TitleState::canTransition(Case::verifying, Case::available));
        QVERIFY(!TitleState::canTransition(Case::available, Case::available));
        QVERIFY(!TitleState::canTransition(Case::installed, Case::queued));
        QVERIFY(!TitleState::canTransition(Case::queued, Case::installing));
    }

    void rawValuesRoundTrip()
    {
        QSet<QString> seen;
        for (const auto value : TitleState::allCases) {
            const QString raw = TitleState::rawValue(value);
            QVERIFY(!seen.contains(raw));
            seen.insert(raw);
            QCOMPARE(TitleState::caseFromRawValue(raw), std::optional(value));
        }
        QCOMPARE(TitleState::rawValue(Case::requiresNewerMacOS), QStringLiteral("requiresNewerMacOS"));
        QCOMPARE(TitleState::caseFromRawValue(u"Running"), std::nullopt);
        QCOMPARE(TitleState::caseFromRawValue(u"running "), std::nullopt);
        QCOMPARE(TitleState::caseFromRawValue(u""), std::nullopt);
    }

    void equalityComparesPayloads()
    {
        const auto quarter = TitleState::downloading(0.25);
        const auto half = TitleState::downloading(0.5);
        QCOMPARE(quarter.discriminator(), half.discriminator());
        QVERIFY(quarter != half);
        QVERIFY(quarter == TitleState::downloading(0.25));

        const auto noStep = TitleState::failed(std::nullopt, QStringLiteral("Broken."));
        const auto atMount = TitleState::failed(VerificationStep::mount, QStringLiteral("Broken."));
        QVERIFY(noStep != atMount);
        QVERIFY(atMount == TitleState::failed(VerificationStep::mount, QStringLiteral("Broken.")));
        QVERIFY(atMount != TitleState::failed(VerificationStep::mount, QStringLiteral("Other.")));
        QCOMPARE(atMount.step(), std::optional(VerificationStep::mount));
        QCOMPARE(atMount.text(), QStringLiteral("Broken."));

        QVERIFY(TitleState::verifying(VerificationStep::length) != TitleState::installing(VerificationStep::length));
        QVERIFY(TitleState::installing(VerificationStep::mount) != TitleState::installing(VerificationStep::extract));
        QVERIFY(TitleState::unavailable(QStringLiteral("a")) != TitleState::unavailable(QStringLiteral("b")));
        QVERIFY(TitleState::unavailable(QStringLiteral("2.38")) != TitleState::requiresNewerMacOS(QStringLiteral("2.38")));
        QVERIFY(TitleState::installed() != TitleState::updateAvailable());
        QCOMPARE(TitleState(), TitleState::available());
    }

    void verificationStepsInExecutionOrder()
    {
        const QStringList expected{u"length"_qs, u"edSignature"_qs, u"mount"_qs, u"extract"_qs, u"codesign"_qs,
                                   u"notarization"_qs, u"identityBinding"_qs, u"antiDowngrade"_qs, u"quarantineStrip"_qs};
        QStringList raw;
        for (const auto step : allVerificationSteps) {
            raw << rawValue(step);
            QCOMPARE(verificationStepFromRawValue(rawValue(step)), std::optional(step));
            QVERIFY(!stepName(step).isEmpty());
            QVERIFY(userMessage(step).endsWith(u'.'));
        }
        QCOMPARE(raw, expected);
        QCOMPARE(verificationStepFromRawValue(u"Mount"), std::nullopt);
        QVERIFY(!userMessage(VerificationStep::notarization).contains(u"Apple"));
    }
};

QTEST_GUILESS_MAIN(TitleStateTest)
#include "TitleStateTest.moc"
