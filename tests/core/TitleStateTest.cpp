#include <core/TitleState.h>

#include <QTest>

using namespace vantry;
using Case = TitleState::Case;

class TitleStateTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void transitions_data()
    {
        QTest::addColumn<Case>("from");
        QTest::addColumn<Case>("to");
        QTest::addColumn<bool>("legal");
        const auto row = [](const char *name, Case from, Case to, bool legal) { QTest::newRow(name) << from << to << legal; };
        row("a download starts", Case::queued, Case::downloading, true);
        row("a download is cancelled back to where it started", Case::downloading, Case::updateAvailable, true);
        row("a failed job is tried again", Case::failed, Case::queued, true);
        row("a case is not a transition to itself", Case::available, Case::available, false);
    }

    void transitions()
    {
        QFETCH(Case, from);
        QFETCH(Case, to);
        QFETCH(bool, legal);
        QCOMPARE(TitleState::canTransition(from, to), legal);
    }

    void everyInstallGoesThroughVerification()
    {
        const auto either = [](Case value, Case a, Case b) { return value == a || value == b; };
        for (const auto &[from, to] : TitleState::legalTransitions) {
            // Running, the two unavailable cases and installed are derived from the library, not
            // reached by a job, except installed at the end of an install.
            for (const auto resting : {Case::running, Case::requiresNewerMacOS, Case::unavailable, Case::installed})
                QVERIFY(from != resting && (to != resting || (to == Case::installed && from == Case::installing)));
            QVERIFY(to != Case::queued || either(from, Case::available, Case::updateAvailable) || from == Case::failed);
            QVERIFY(to != Case::verifying || from == Case::downloading);
            QVERIFY(to != Case::installing || from == Case::verifying);
            QVERIFY(!either(from, Case::verifying, Case::installing) || to == Case::failed || either(to, Case::installing, Case::installed));
        }
    }

    void rawValuesRoundTrip()
    {
        for (const auto value : TitleState::allCases)
            QCOMPARE(TitleState::caseFromRawValue(TitleState::rawValue(value)), std::optional(value));
        QCOMPARE(TitleState::caseFromRawValue(u"Running"), std::nullopt);
        for (const auto step : allVerificationSteps)
            QCOMPARE(verificationStepFromRawValue(rawValue(step)), std::optional(step));
        QCOMPARE(verificationStepFromRawValue(u"Mount"), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(TitleStateTest)
#include "TitleStateTest.moc"
