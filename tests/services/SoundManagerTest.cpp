#include <services/SoundManager.h>

#include <core/DefaultsKeys.h>
#include <platform/AudioOutput.h>
#include <platform/UserDefaults.h>

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

using namespace vantry;
using namespace std::chrono_literals;

namespace {

// Starts succeed while `canRun`; nothing is pulled but what the test reads.
class FakeEngine final : public AudioEngine
{
public:
    bool start(QIODevice *from) override { ++starts, source = from, running = canRun; return running; }
    void stop() override { running = false; }
    [[nodiscard]] bool isRunning() const override { return running; }
    int starts = 0;
    bool running = false, canRun = true;
    QIODevice *source = nullptr;
};

struct Rig {
    QTemporaryDir dir;
    UserDefaults defaults{dir.filePath(u"defaults.json"_qs)};
    FakeEngine *engine = new FakeEngine;
    double now = 100.0;
    SoundManager manager{defaults, std::unique_ptr<AudioEngine>(engine), [this] { return now; }, 20ms};

    QList<float> pull(qsizetype frames)
    {
        const QByteArray bytes = engine->source->read(frames * qsizetype(sizeof(float)));
        QList<float> samples(bytes.size() / qsizetype(sizeof(float)));
        std::memcpy(samples.data(), bytes.constData(), std::size_t(bytes.size()));
        return samples;
    }
};

QList<float> sine(double frequency) { return ToneSynthesis::tone({frequency}, 0.01, 0.1f, WaveShape::sine, 0); }

using States = QHash<QString, TitleState>;

States states(std::initializer_list<std::pair<QString, TitleState>> rows)
{
    return States(rows.begin(), rows.end());
}

} // namespace

class SoundManagerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // 11025 Hz is a quarter of the rate and 5512.5 Hz an eighth, so the waves take known values:
    // a sine is 1 at i % 4 == 1, a triangle 0.5 at i % 8 == 1, a square -0.6 at i % 8 == 5.
    void toneSamples_data()
    {
        QTest::addColumn<WaveShape>("shape");
        QTest::addColumn<double>("frequency");
        QTest::addColumn<double>("duration");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("index");
        QTest::addColumn<double>("sample");
        const auto row = [](const char *name, WaveShape shape, double f, double duration, int frames, int i, double v) {
            QTest::newRow(name) << shape << f << duration << frames << i << v;
        };
        // 1764 frames: attack 88, release 588 from frame 1177 on. Gain 0.5 throughout.
        row("attack starts at zero", WaveShape::sine, 11025, 0.04, 1764, 0, 0.0);
        row("attack ramp", WaveShape::sine, 11025, 0.04, 1764, 45, 0.5 * 45 / 88);
        row("sustain", WaveShape::sine, 11025, 0.04, 1764, 1001, 0.5);
        row("sustain trough", WaveShape::sine, 11025, 0.04, 1764, 1003, -0.5);
        row("release first", WaveShape::sine, 11025, 0.04, 1764, 1177, 0.5 * 587 / 588);
        row("release middle", WaveShape::sine, 11025, 0.04, 1764, 1469, 0.5 * 295 / 588);
        row("release last", WaveShape::sine, 11025, 0.04, 1764, 1763, -0.5 / 588);
        row("triangle", WaveShape::triangle, 5512.5, 0.04, 1764, 801, 0.25);
        row("square", WaveShape::square, 5512.5, 0.04, 1764, 805, -0.3);
        // 10 frames: no attack, release 3.
        row("short tone has no attack", WaveShape::square, 5512.5, 10.5 / 44100, 10, 0, 0.3);
        row("short tone releases", WaveShape::triangle, 5512.5, 10.5 / 44100, 10, 9, 0.5 * 0.5 / 3);
    }
    void toneSamples()
    {
        QFETCH(WaveShape, shape);
        QFETCH(double, frequency);
        QFETCH(double, duration);
        QFETCH(int, frames);
        QFETCH(int, index);
        QFETCH(double, sample);
        const QList<float> samples = ToneSynthesis::tone({frequency}, duration, 0.5f, shape, 0);
        QCOMPARE(samples.size(), frames);
        QVERIFY2(std::abs(samples[index] - sample) < 1e-6, qPrintable(QString::number(samples[index])));
    }

    void chordMixesByAddition_data()
    {
        QTest::addColumn<double>("step");
        QTest::addColumn<int>("frames");
        QTest::addColumn<QList<int>>("offsets");
        QTest::newRow("rising chord") << 0.08 << 11025 << QList<int>{0, 3528, 7056};
        QTest::newRow("together") << 0.0 << 3969 << QList<int>{0, 0, 0};
        QTest::newRow("negative step plays together") << -1.0 << 3969 << QList<int>{0, 0, 0};
    }
    void chordMixesByAddition()
    {
        QFETCH(double, step);
        QFETCH(int, frames);
        QFETCH(QList<int>, offsets);
        const QList<double> notes{523.0, 659.0, 784.0};
        QList<float> expected(frames, 0.0f);
        for (qsizetype k = 0; k < notes.size(); ++k) {
            const QList<float> note = ToneSynthesis::tone({notes[k]}, 0.09, 0.18f, WaveShape::sine, 0);
            for (qsizetype i = 0; i < note.size(); ++i)
                expected[offsets[k] + i] += note[i];
        }
        QCOMPARE(ToneSynthesis::tone(notes, 0.09, 0.18f, WaveShape::sine, step), expected);
    }

    // The phase of sample i is the sum of the falling steps up to it, here in closed form.
    void errorSweep_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<double>("envelope");
        for (const auto &[i, envelope] : {std::pair{0, 0.0}, {110, 0.5}, {219, 219 / 220.0}, {220, 1.0},
                                          {2940, 1.0}, {2941, 1469 / 1470.0}, {4409, 1 / 1470.0}})
            QTest::addRow("%d", i) << i << envelope;
    }
    void errorSweep()
    {
        QFETCH(int, index);
        QFETCH(double, envelope);
        const QList<float> sweep = ToneSynthesis::errorSweep();
        QCOMPARE(sweep.size(), 4410);
        const double i = index;
        const double phase = 2 * std::numbers::pi / 44100 * (320 * (i + 1) - 70 / 4410.0 * i * (i + 1));
        const double expected = std::asin(std::sin(phase)) * 2 / std::numbers::pi * envelope * 0.14;
        QVERIFY2(std::abs(sweep[index] - expected) < 1e-6, qPrintable(QString::number(sweep[index])));
    }

    void nothingToPlay_data()
    {
        QTest::addColumn<QList<double>>("frequencies");
        QTest::addColumn<double>("duration");
        QTest::addColumn<double>("step");
        const double inf = std::numeric_limits<double>::infinity();
        QTest::newRow("no frequency") << QList<double>{} << 0.04 << 0.0;
        QTest::newRow("zero duration") << QList<double>{660} << 0.0 << 0.0;
        QTest::newRow("negative duration") << QList<double>{660} << -1.0 << 0.0;
        QTest::newRow("duration not a number") << QList<double>{660} << std::nan("") << 0.0;
        QTest::newRow("endless total") << QList<double>{660, 880} << 0.04 << inf;
        QTest::newRow("beyond a 32-bit count") << QList<double>{660, 880} << 0.04 << 97391.6;
        QTest::newRow("under one frame") << QList<double>{660} << 1e-6 << 0.0;
    }
    void nothingToPlay()
    {
        QFETCH(QList<double>, frequencies);
        QFETCH(double, duration);
        QFETCH(double, step);
        QVERIFY(ToneSynthesis::tone(frequencies, duration, 0.1f, WaveShape::sine, step).isEmpty());
        Rig rig;
        rig.manager.playTone(frequencies, duration, 0.1f, WaveShape::sine, step);
        QCOMPARE(rig.engine->starts, 0);
    }

    void soundSwitch_data()
    {
        QTest::addColumn<std::optional<bool>>("overridden");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("nothing stored") << std::optional<bool>{} << QVariant() << true;
        QTest::newRow("stored off") << std::optional<bool>{} << QVariant(false) << false;
        QTest::newRow("stored text") << std::optional<bool>{} << QVariant(u"false"_qs) << true;
        QTest::newRow("override on") << std::optional<bool>(true) << QVariant(false) << true;
        QTest::newRow("override off") << std::optional<bool>(false) << QVariant(true) << false;
    }
    void soundSwitch()
    {
        QFETCH(std::optional<bool>, overridden);
        QFETCH(QVariant, stored);
        QFETCH(bool, enabled);
        Rig rig;
        if (stored.typeId() == QMetaType::Bool)
            QVERIFY(rig.defaults.setBoolean(DefaultsKeys::soundEnabled(), stored.toBool()));
        else if (stored.isValid())
            QVERIFY(rig.defaults.setText(DefaultsKeys::soundEnabled(), stored.toString()));
        rig.manager.setOverriddenEnabled(overridden);
        QCOMPARE(rig.manager.isEnabled(), enabled);
        for (const InterfaceSound sound : {InterfaceSound::click, InterfaceSound::installFinished, InterfaceSound::failure})
            rig.manager.play(sound);
        QCOMPARE(rig.engine->starts, enabled ? 1 : 0);
        QCOMPARE(rig.engine->source && rig.pull(100) != QList<float>(100, 0.0f), enabled);
    }

    // Each sound takes the next of four voices; the fifth cuts off the first voice's sound.
    void voicesRotate_data()
    {
        QTest::addColumn<int>("plays");
        QTest::addColumn<QList<int>>("heard");
        QTest::newRow("one") << 1 << QList<int>{0};
        QTest::newRow("four together") << 4 << QList<int>{0, 1, 2, 3};
        QTest::newRow("fifth cuts the first") << 5 << QList<int>{4, 1, 2, 3};
        QTest::newRow("sixth cuts the second") << 6 << QList<int>{4, 5, 2, 3};
        QTest::newRow("ninth cuts the fifth") << 9 << QList<int>{8, 5, 6, 7};
    }
    void voicesRotate()
    {
        QFETCH(int, plays);
        QFETCH(QList<int>, heard);
        Rig rig;
        QCOMPARE(rig.manager.configureIfNeeded(), true);
        QCOMPARE(rig.pull(8), QList<float>(8, 0.0f));
        for (int k = 0; k < plays; ++k)
            rig.manager.playTone({300.0 + 100 * k}, 0.01, 0.1f, WaveShape::sine, 0);
        QList<float> expected(500, 0.0f); // the sounds are 441 frames, then silence
        for (const int k : heard) {
            const QList<float> samples = sine(300.0 + 100 * k);
            for (qsizetype i = 0; i < samples.size(); ++i)
                expected[i] += samples[i];
        }
        QCOMPARE(rig.pull(500), expected);
        QCOMPARE(rig.engine->starts, 1);
    }

    // The engine has stopped and cannot start again: changes of the outputs retry once a second.
    void configurationChanges_data()
    {
        QTest::addColumn<bool>("configured");
        QTest::addColumn<bool>("running");
        QTest::addColumn<QList<double>>("changes");
        QTest::addColumn<int>("restarts");
        QTest::newRow("two within a second") << true << false << QList<double>{0, 0.5} << 1;
        QTest::newRow("one second apart") << true << false << QList<double>{0, 1.0} << 1;
        QTest::newRow("over a second apart") << true << false << QList<double>{0, 1.01, 1.5, 2.2} << 3;
        QTest::newRow("engine running") << true << true << QList<double>{0, 2} << 0;
        QTest::newRow("never configured") << false << false << QList<double>{0, 2} << 0;
    }
    void configurationChanges()
    {
        QFETCH(bool, configured);
        QFETCH(bool, running);
        QFETCH(QList<double>, changes);
        QFETCH(int, restarts);
        Rig rig;
        if (configured)
            QVERIFY(rig.manager.configureIfNeeded());
        const int starts = rig.engine->starts;
        rig.engine->running = rig.engine->canRun = running;
        for (const double at : changes) {
            rig.now = 100.0 + at;
            Q_EMIT rig.engine->configurationChanged();
            QCoreApplication::processEvents();
        }
        QCOMPARE(rig.engine->starts - starts, restarts);
    }

    void idleShutdownWakesOnNextSound()
    {
        Rig rig;
        rig.manager.play(InterfaceSound::click);
        QTest::qWait(60);
        QVERIFY2(rig.engine->running, "stopped while a sound was still unplayed");
        rig.pull(1764);
        QTRY_VERIFY(!rig.engine->running);
        rig.manager.play(InterfaceSound::click);
        QVERIFY(rig.engine->running);
        QCOMPARE(rig.engine->starts, 2);
        QCOMPARE(rig.pull(1764), ToneSynthesis::tone({660.0}, 0.04, 0.12f, WaveShape::sine, 0));
    }

    void soundForChange_data()
    {
        QTest::addColumn<TitleState::Case>("before");
        QTest::addColumn<TitleState::Case>("after");
        QTest::addColumn<std::optional<InterfaceSound>>("sound");
        using C = TitleState::Case;
        const std::optional<InterfaceSound> none, finished = InterfaceSound::installFinished,
                                                  failure = InterfaceSound::failure;
        QTest::newRow("installed") << C::installing << C::installed << finished;
        QTest::newRow("install fails") << C::installing << C::failed << failure;
        QTest::newRow("queue fails") << C::queued << C::failed << failure;
        QTest::newRow("installed fails") << C::installed << C::failed << failure;
        QTest::newRow("still failed") << C::failed << C::failed << none;
        QTest::newRow("adopted copy") << C::available << C::installed << none;
        QTest::newRow("verified") << C::verifying << C::installing << none;
        QTest::newRow("retried") << C::failed << C::queued << none;
    }
    void soundForChange()
    {
        QFETCH(TitleState::Case, before);
        QFETCH(TitleState::Case, after);
        QFETCH(std::optional<InterfaceSound>, sound);
        QCOMPARE(vantry::soundForChange(before, after), sound);
    }

    void soundsForStates_data()
    {
        QTest::addColumn<States>("before");
        QTest::addColumn<States>("after");
        QTest::addColumn<QList<InterfaceSound>>("sounds");
        const auto installing = TitleState::installing(VerificationStep::extract);
        const auto failed = [](const QString &message) { return TitleState::failed({}, message); };
        QTest::newRow("progress") << states({{u"a"_qs, TitleState::downloading(0.1)}})
                                  << states({{u"a"_qs, TitleState::downloading(0.5)}}) << QList<InterfaceSound>{};
        QTest::newRow("new title") << states({}) << states({{u"a"_qs, failed(u"x"_qs)}}) << QList<InterfaceSound>{};
        QTest::newRow("new message") << states({{u"a"_qs, failed(u"x"_qs)}}) << states({{u"a"_qs, failed(u"y"_qs)}})
                                     << QList<InterfaceSound>{};
        QTest::newRow("gone") << states({{u"a"_qs, installing}}) << states({}) << QList<InterfaceSound>{};
        QTest::newRow("both") << states({{u"a"_qs, installing}, {u"b"_qs, TitleState::queued()}})
                              << states({{u"a"_qs, TitleState::installed()}, {u"b"_qs, failed(u"x"_qs)}, {u"c"_qs, TitleState::installed()}})
                              << QList<InterfaceSound>{InterfaceSound::installFinished, InterfaceSound::failure};
    }
    void soundsForStates()
    {
        QFETCH(States, before);
        QFETCH(States, after);
        QFETCH(QList<InterfaceSound>, sounds);
        QList<InterfaceSound> made = vantry::soundsForStates(before, after);
        std::ranges::sort(made);
        QCOMPARE(made, sounds);
    }
};

QTEST_GUILESS_MAIN(SoundManagerTest)
#include "SoundManagerTest.moc"
