// The drawn artwork's cost. First, the time to draw every game of the demo collection, and one
// game the launcher does not know, at hero and cover size in each theme, as the window's image
// loader does it. Then the window itself on a site whose largest shelf holds at least 50 titles:
// the shelf is scrolled end to end once to let every cover be drawn, then twice more while each
// frame is timed from the end of the animation step to the swapped buffer. Target: every frame
// of the timed passes under 16 ms.
#include "DemoHome.h"

#include <platform/Crypto.h>
#include <ui/GameArtwork.h>
#include <ui/ThemeID.h>
#include <ui/VantryApp.h>
#include <vantry/BuildConfig.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMutex>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace vantry;

namespace {

constexpr int shelfTitles = 50, stepPixels = 24;
constexpr double frameTargetMs = 16.0;

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(fraction * double(values.size())))];
}

// Every demo game and one unknown id, both formats, every theme (modern in light and dark), at
// the window's sizes and twice its pixel density.
void benchRendering()
{
    const QString ids[] = {u"sweepler"_qs, u"mazzle"_qs, u"tumbit"_qs, u"numbo"_qs,
                           u"swirlo"_qs,   u"chequor"_qs, u"unknown-game"_qs};
    const QImage icon(QStringLiteral(VANTRY_SOURCE_DIR "/demo/icons/sweepler.png"));
    struct Size {
        GameArtwork::Format format;
        QSize size;
        const char *label;
    };
    const Size sizes[] = {{GameArtwork::Format::hero, {1040, 230}, "hero 1040x230"},
                          {GameArtwork::Format::hero, {2080, 460}, "hero 2080x460"},
                          {GameArtwork::Format::cover, {200, 120}, "cover 200x120"},
                          {GameArtwork::Format::cover, {400, 240}, "cover 400x240"}};
    std::printf("drawing: %zu games, every theme (modern light and dark), with and without an icon\n",
                std::size(ids));
    std::printf("%-16s %8s %12s %12s %12s\n", "size", "images", "total ms", "mean ms", "max ms");
    for (const Size &size : sizes) {
        std::vector<double> each;
        for (const ThemeID theme : allThemeIDs) {
            for (const bool dark : {false, true}) {
                if (dark && theme != ThemeID::modern)
                    continue;
                for (const QString &id : ids) {
                    for (const bool withIcon : {false, true}) {
                        GameArtwork::Request request;
                        request.entryID = id;
                        request.icon = withIcon ? icon : QImage();
                        request.format = size.format;
                        request.size = size.size;
                        request.theme = theme;
                        request.appearance.scheme = dark ? Appearance::Scheme::dark : Appearance::Scheme::light;
                        QElapsedTimer timer;
                        timer.start();
                        const QImage image = GameArtwork::render(request);
                        each.push_back(double(timer.nsecsElapsed()) / 1e6);
                        if (image.size() != size.size)
                            std::fprintf(stderr, "%s: drew %dx%d\n", size.label, image.width(), image.height());
                    }
                }
            }
        }
        double total = 0;
        for (const double ms : each)
            total += ms;
        std::printf("%-16s %8zu %12.1f %12.2f %12.2f\n", size.label, each.size(), total,
                    total / double(each.size()), percentile(each, 1.0));
    }
}

// 49 more unreleased-feed titles beside the demo's, so one shelf holds at least 50 cards.
bool addTitles(const QString &site)
{
    const QString icons[] = {u"sweepler"_qs, u"mazzle"_qs, u"tumbit"_qs, u"numbo"_qs, u"swirlo"_qs, u"chequor"_qs};
    for (int n = 1; n < shelfTitles; ++n) {
        const QString id = QStringLiteral("bench%1").arg(n, 2, 10, QLatin1Char('0'));
        if (!bench::publish({u"catalog"_qs, u"set"_qs, site, u"--id"_qs, id, u"--key"_qs,
                             bench::developmentKeys + u"release.key"_qs, u"--name"_qs,
                             QStringLiteral("Bench %1").arg(n), u"--tagline"_qs, u"A title on a long shelf."_qs,
                             u"--description"_qs, u"One of many."_qs, u"--bundle-id"_qs,
                             u"com.vantry.bench."_qs + id, u"--minimum-system"_qs, u"2.31"_qs, u"--icon"_qs,
                             QStringLiteral(VANTRY_SOURCE_DIR "/demo/icons/%1.png").arg(icons[n % 6])}))
            return false;
    }
    return true;
}

QList<QQuickItem *> descendants(QQuickItem *root)
{
    QList<QQuickItem *> all, queue{root};
    while (!queue.isEmpty()) {
        QQuickItem *each = queue.takeFirst();
        all.append(each);
        queue += each->childItems();
    }
    return all;
}

// The longest shelf's list, once it has at least `shelfTitles` cards.
QQuickItem *longestShelf(QQuickWindow *window)
{
    QQuickItem *longest = nullptr;
    for (QQuickItem *item : descendants(window->contentItem())) {
        if (!item->inherits("QQuickListView") || !item->objectName().isEmpty())
            continue;
        if (!longest || item->property("count").toInt() > longest->property("count").toInt())
            longest = item;
    }
    return longest && longest->property("count").toInt() >= shelfTitles ? longest : nullptr;
}

// Times frames from the end of the animation step (GUI thread) to the swapped buffer (render
// thread) while the shelf moves `stepPixels` a frame.
class ScrollTimer : public QObject
{
public:
    ScrollTimer(QQuickWindow *window, QQuickItem *list) : m_window(window), m_list(list)
    {
        connect(window, &QQuickWindow::afterAnimating, this, [this] { stamp(true); }, Qt::DirectConnection);
        connect(window, &QQuickWindow::frameSwapped, this, [this] { stamp(false); }, Qt::DirectConnection);
        connect(window, &QQuickWindow::frameSwapped, this, &ScrollTimer::step, Qt::QueuedConnection);
    }

    // Scrolls to the end and back `passes` times; the frame times of those passes.
    std::vector<double> scroll(int passes)
    {
        {
            QMutexLocker lock(&m_mutex);
            m_frames.clear();
            m_recording = true;
        }
        m_remaining = passes * 2;
        m_direction = 1;
        step();
        while (m_remaining > 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        QMutexLocker lock(&m_mutex);
        m_recording = false;
        return m_frames;
    }

private:
    void stamp(bool begins)
    {
        const auto now = std::chrono::steady_clock::now();
        QMutexLocker lock(&m_mutex);
        if (begins)
            m_begun = now;
        else if (m_recording && m_begun)
            m_frames.push_back(std::chrono::duration<double, std::milli>(now - *m_begun).count());
    }

    void step()
    {
        if (m_remaining <= 0)
            return;
        const double end = std::max(0.0, m_list->property("contentWidth").toDouble() - m_list->width());
        const double x = m_list->property("contentX").toDouble() + m_direction * stepPixels;
        const double next = std::clamp(x, 0.0, end);
        m_list->setProperty("contentX", next);
        if (next == (m_direction > 0 ? end : 0.0)) {
            m_direction = -m_direction;
            --m_remaining;
        }
        m_window->update();
    }

    QQuickWindow *m_window;
    QQuickItem *m_list;
    QMutex m_mutex;
    std::optional<std::chrono::steady_clock::time_point> m_begun;
    std::vector<double> m_frames;
    bool m_recording = false;
    int m_remaining = 0;
    int m_direction = 1;
};

template<typename Condition>
bool waitFor(Condition condition, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > milliseconds)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

// In the child, in the bench's home: the launcher's window, its longest shelf scrolled.
int scrollWindow(int argc, char *argv[])
{
    Crypto::keepLibraryUntilExit();
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Vantry"));
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    auto created = VantryApp::create();
    if (!created || !(*created)->start()) {
        std::fprintf(stderr, "the window did not start\n");
        return 1;
    }
    QQuickWindow *window = (*created)->window();
    QQuickItem *list = nullptr;
    if (!waitFor([&] { return (list = longestShelf(window)) != nullptr; }, 60'000)) {
        std::fprintf(stderr, "no shelf of %d titles within 60 s\n", shelfTitles);
        return 1;
    }
    std::printf("\nscrolling a shelf of %d titles, %d px a frame, Qt Quick backend %s\n",
                list->property("count").toInt(), stepPixels,
                qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND") ? "default" : qgetenv("QT_QUICK_BACKEND").constData());
    ScrollTimer timer(window, list);
    const std::vector<double> first = timer.scroll(1);
    waitFor([] { return false; }, 1'000); // the image loader's last covers
    const std::vector<double> frames = timer.scroll(2);
    const auto over = std::count_if(frames.begin(), frames.end(), [](double ms) { return ms >= frameTargetMs; });
    std::printf("%-22s %7s %8s %8s %8s %8s\n", "pass", "frames", "median", "p95", "p99", "max ms");
    std::printf("%-22s %7zu %8.2f %8.2f %8.2f %8.2f\n", "first (drawing)", first.size(),
                percentile(first, 0.5), percentile(first, 0.95), percentile(first, 0.99), percentile(first, 1.0));
    std::printf("%-22s %7zu %8.2f %8.2f %8.2f %8.2f\n", "after the first render", frames.size(),
                percentile(frames, 0.5), percentile(frames, 0.95), percentile(frames, 0.99), percentile(frames, 1.0));
    std::printf("frames at or over %.0f ms after the first render: %td of %zu (%s)\n", frameTargetMs, over,
                frames.size(), over == 0 ? "target met" : "OVER");
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && qstrcmp(argv[1], "--window") == 0)
        return scrollWindow(argc, argv);
    if (argc != 1 || !bench::hasDisplay()) {
        std::fprintf(stderr, "usage: xvfb-run -a ArtBench   (needs a display for the scrolling half)\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    benchRendering();
    std::fflush(stdout);

    QTemporaryDir root;
    if (!root.isValid() || !bench::makeDemo(root) || !addTitles(root.filePath(u"demo/site"_qs)))
        return 1;
    QProcess server;
    const auto connectTo = bench::serve(server, root.filePath(u"demo/site"_qs));
    if (!connectTo)
        return 1;
    QProcess window;
    window.setProcessEnvironment(bench::homeEnvironment(root.filePath(u"home"_qs), *connectTo));
    window.setProcessChannelMode(QProcess::ForwardedChannels);
    window.start(QCoreApplication::applicationFilePath(), {u"--window"_qs});
    const bool done = window.waitForFinished(300'000) && window.exitCode() == 0;
    server.kill();
    server.waitForFinished();
    return done ? 0 : 1;
}
