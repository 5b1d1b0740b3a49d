#include <services/SoundManager.h>

#include <core/DefaultsKeys.h>
#include <platform/AudioOutput.h>
#include <platform/UserDefaults.h>

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <numbers>

using namespace vantry;

namespace {

struct FakeEngine final : AudioEngine { // starts while `canRun`; pulled only by the test
    bool start(QIODevice *from) override { ++starts, source = from, running = canRun; return running; }
    void stop() override { running = false; }
    [[nodiscard]] bool isRunning() const override { return running; }
    int starts = 0; bool running = false, canRun = true; QIODevice *source = nullptr;
};
struct Rig {
    QTemporaryDir dir;
    UserDefaults defaults{dir.filePath(u"defaults.json"_qs)};
    FakeEngine *engine = new FakeEngine;
    double now = 100.0;
    SoundManager manager{defaults, std::unique_ptr<AudioEngine>(engine), [this] { return now; }, std::chrono::milliseconds(20)};
    QList<float> pull(qsizetype n)
    {
        QList<float> samples(n);
        return engine->source->read(reinterpret_cast<char *>(samples.data()), n * 4) == n * 4 ? samples : QList<float>{};
    }
};

using States = QHash<QString, TitleState>; using Sounds = QList<InterfaceSound>;
struct SampleCase { QList<float> samples; qsizetype frames, index; double expected; };
struct SilentCase { QList<double> frequencies; double duration, step; };
struct SwitchCase { std::optional<bool> overridden; QVariant stored; bool enabled; };
struct RotationCase { int plays; QList<int> heard; };
struct ChangesCase { bool configured, running; QList<double> at; int restarts; };
struct StatesCase { States before, after; Sounds sounds; };

QList<float> tone(WaveShape shape, double f, double duration = 0.04, float gain = 0.5f) { return ToneSynthesis::tone({f}, duration, gain, shape, 0); }
QList<float> chord(double step) { return ToneSynthesis::tone({523.0, 659.0, 784.0}, 0.09, 0.18f, WaveShape::sine, step); }
float note(double f, int i) { return tone(WaveShape::sine, f, 0.09, 0.18f)[i]; }
// The error sweep's frame i: its phase is the sum of the falling frequency's steps, in closed form.
double sweep(int i, double envelope)
{
    const double phase = 2 * std::numbers::pi / 44100 * (320.0 * (i + 1) - 70 / 4410.0 * i * (i + 1));
    return std::asin(std::sin(phase)) * 2 / std::numbers::pi * envelope * 0.14;
}
States one(const TitleState &state) { return {{u"a"_qs, state}}; }

} // namespace

class SoundManagerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // At 11025 Hz a sine is ±1 at i % 4 == 1 or 3; at 5512.5 Hz a triangle is 0.5 at i % 8 == 1, a
    // square -0.6 at i % 8 == 5. Gain 0.5; 0.04 s is 1764 frames: attack 88, release 588 from 1177;
    // 10.5 frames' length is 10: no attack, release 3.
    void samples_data()
    {
        QTest::addColumn<SampleCase>("c");
        const auto sine = WaveShape::sine, triangle = WaveShape::triangle, square = WaveShape::square;
        QTest::newRow("attack ramp") << SampleCase{tone(sine, 11025), 1764, 45, 0.5 * 45 / 88};
        QTest::newRow("sustain") << SampleCase{tone(sine, 11025), 1764, 1001, 0.5};
        QTest::newRow("release last") << SampleCase{tone(sine, 11025), 1764, 1763, -0.5 / 588};
        QTest::newRow("triangle") << SampleCase{tone(triangle, 5512.5), 1764, 801, 0.25};
        QTest::newRow("square") << SampleCase{tone(square, 5512.5), 1764, 805, -0.3};
        QTest::newRow("short: no attack") << SampleCase{tone(square, 5512.5, 10.5 / 44100), 10, 0, 0.3};
        QTest::newRow("short: release") << SampleCase{tone(triangle, 5512.5, 10.5 / 44100), 10, 9, 0.5 * 0.5 / 3};
        for (const auto &[i, envelope] : {std::pair{0, 0.0}, {110, 0.5}, {219, 219 / 220.0}, {220, 1.0},
                                          {2940, 1.0}, {2941, 1469 / 1470.0}, {4409, 1 / 1470.0}})
            QTest::addRow("error sweep %d", i) << SampleCase{ToneSynthesis::errorSweep(), 4410, i, sweep(i, envelope)};
        QTest::newRow("chord: second note") << SampleCase{chord(0.08), 11025, 3628, note(523, 3628) + note(659, 100)};
        QTest::newRow("chord: third note") << SampleCase{chord(0.08), 11025, 7100, note(659, 3572) + note(784, 44)};
        QTest::newRow("chord: together") << SampleCase{chord(0), 3969, 3000, note(523, 3000) + note(659, 3000) + note(784, 3000)};
    }
    void samples()
    {
        QFETCH(SampleCase, c);
        QCOMPARE(c.samples.size(), c.frames);
        QVERIFY2(std::abs(c.samples[c.index] - c.expected) < 1e-6, qPrintable(QString::number(c.samples[c.index])));
    }
    void nothingToPlay_data()
    {
        QTest::addColumn<SilentCase>("c");
        QTest::newRow("no frequency") << SilentCase{{}, 0.04, 0};
        QTest::newRow("zero duration") << SilentCase{{660}, 0, 0};
        QTest::newRow("endless total") << SilentCase{{660, 880}, 0.04, HUGE_VAL};
        QTest::newRow("beyond a 32-bit count") << SilentCase{{660, 880}, 0.04, 97391.6};
    }
    void nothingToPlay()
    {
        QFETCH(SilentCase, c);
        QVERIFY(ToneSynthesis::tone(c.frequencies, c.duration, 0.1f, WaveShape::sine, c.step).isEmpty());
        Rig rig;
        rig.manager.playTone(c.frequencies, c.duration, 0.1f, WaveShape::sine, c.step);
        QCOMPARE(rig.engine->starts, 0);
    }
    void soundSwitch_data()
    {
        QTest::addColumn<SwitchCase>("c");
        QTest::newRow("nothing stored") << SwitchCase{{}, {}, true};
        QTest::newRow("stored off") << SwitchCase{{}, false, false};
        QTest::newRow("stored text") << SwitchCase{{}, u"false"_qs, true};
        QTest::newRow("override on") << SwitchCase{true, false, true};
        QTest::newRow("override off") << SwitchCase{false, true, false};
    }
    void soundSwitch()
    {
        QFETCH(SwitchCase, c);
        Rig rig;
        if (const QString key = DefaultsKeys::soundEnabled(); c.stored.isValid())
            QVERIFY(c.stored.typeId() == QMetaType::Bool ? rig.defaults.setBoolean(key, c.stored.toBool()).has_value()
                                                         : rig.defaults.setText(key, c.stored.toString()).has_value());
        rig.manager.setOverriddenEnabled(c.overridden);
        QCOMPARE(rig.manager.isEnabled(), c.enabled);
        for (const auto sound : {InterfaceSound::click, InterfaceSound::installFinished, InterfaceSound::failure})
            rig.manager.play(sound);
        QCOMPARE(rig.engine->source && rig.pull(100) != QList<float>(100, 0.0f), c.enabled);
    }
    // Each sound takes the next of four voices, cutting off that voice's sound; then silence.
    void voicesRotate_data()
    {
        QTest::addColumn<RotationCase>("c");
        QTest::newRow("one") << RotationCase{1, {0}};
        QTest::newRow("four together") << RotationCase{4, {0, 1, 2, 3}};
        QTest::newRow("fifth cuts the first") << RotationCase{5, {4, 1, 2, 3}};
        QTest::newRow("ninth cuts the fifth") << RotationCase{9, {8, 5, 6, 7}};
    }
    void voicesRotate()
    {
        QFETCH(RotationCase, c);
        Rig rig;
        for (int k = 0; k < c.plays; ++k)
            rig.manager.playTone({300.0 + 100 * k}, 0.01, 0.1f, WaveShape::sine, 0);
        QList<float> expected(500, 0.0f); // the sounds are 441 frames long
        for (const int k : c.heard)
            std::ranges::transform(tone(WaveShape::sine, 300.0 + 100 * k, 0.01, 0.1f), expected, expected.begin(), std::plus<>());
        QCOMPARE(rig.pull(500), expected);
    }
    // After a configuration the engine is left (not) running, and cannot start again.
    void configurationChanges_data()
    {
        QTest::addColumn<ChangesCase>("c");
        QTest::newRow("two within a second") << ChangesCase{true, false, {0, 0.5}, 1};
        QTest::newRow("one second apart") << ChangesCase{true, false, {0, 1.0}, 1};
        QTest::newRow("over a second apart") << ChangesCase{true, false, {0, 1.01, 1.5, 2.2}, 3};
        QTest::newRow("engine running") << ChangesCase{true, true, {0, 2}, 0};
        QTest::newRow("never configured") << ChangesCase{false, false, {0, 2}, 0};
    }
    void configurationChanges()
    {
        QFETCH(ChangesCase, c);
        Rig rig;
        QVERIFY(!c.configured || rig.manager.configureIfNeeded());
        const int starts = rig.engine->starts;
        rig.engine->running = rig.engine->canRun = c.running;
        for (const double at : c.at)
            rig.now = 100.0 + at, Q_EMIT rig.engine->configurationChanged(), QCoreApplication::processEvents();
        QCOMPARE(rig.engine->starts - starts, c.restarts);
    }
    void idleShutdownWakesOnNextSound()
    {
        Rig rig;
        QVERIFY(rig.manager.configureIfNeeded());
        QTRY_VERIFY(!rig.engine->running); // warmed up, never heard
        rig.manager.play(InterfaceSound::click);
        QTest::qWait(60);
        QVERIFY2(rig.engine->running, "stopped while a sound was still unplayed");
        rig.pull(1764);
        QTRY_VERIFY(!rig.engine->running);
        rig.now += 2; // past the restart's once-a-second limit
        rig.manager.play(InterfaceSound::click);
        QCOMPARE(rig.pull(1764), tone(WaveShape::sine, 660, 0.04, 0.12f));
    }
    void soundsForStates_data()
    {
        QTest::addColumn<StatesCase>("c");
        const auto installing = TitleState::installing(VerificationStep::extract), failed = TitleState::failed({}, u"x"_qs);
        const auto installed = TitleState::installed(), queued = TitleState::queued();
        const Sounds none, done{InterfaceSound::installFinished}, failure{InterfaceSound::failure};
        QTest::newRow("installed") << StatesCase{one(installing), one(installed), done};
        QTest::newRow("install fails") << StatesCase{one(installing), one(failed), failure};
        QTest::newRow("queue fails") << StatesCase{one(queued), one(failed), failure};
        QTest::newRow("new message") << StatesCase{one(failed), one(TitleState::failed({}, u"y"_qs)), none};
        QTest::newRow("progress") << StatesCase{one(TitleState::downloading(0.1)), one(TitleState::downloading(0.5)), none};
        QTest::newRow("new title") << StatesCase{{}, one(failed), none};
        QTest::newRow("two titles") << StatesCase{{{u"a"_qs, installing}, {u"b"_qs, queued}},
                                                  {{u"a"_qs, installed}, {u"b"_qs, failed}, {u"c"_qs, failed}},
                                                  {InterfaceSound::installFinished, InterfaceSound::failure}};
    }
    void soundsForStates()
    {
        QFETCH(StatesCase, c);
        Sounds made = vantry::soundsForStates(c.before, c.after);
        std::ranges::sort(made);
        QCOMPARE(made, c.sounds);
    }
};

QTEST_GUILESS_MAIN(SoundManagerTest)
#include "SoundManagerTest.moc"
