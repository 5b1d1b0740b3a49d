#pragma once

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QQuickImageProvider>

namespace vantry {

/// Serves the games' drawn artwork to QML as
/// "image://art/<id>/<hero|cover>/<theme>/<light|dark>/<icon digest or none>" at the size asked
/// for. It draws on QML's loader thread and keeps what it drew, so a card scrolled back into
/// view is not drawn again; the icons are handed over from the main thread.
class ArtworkProvider : public QQuickImageProvider
{
public:
    ArtworkProvider();

    void setIcons(const QHash<QString, QImage> &icons);

    QImage requestImage(const QString &id, QSize *size, const QSize &requestedSize) override;

    /// The most images kept; beyond it the cache starts afresh.
    static constexpr qsizetype cacheLimit = 96;

private:
    QMutex m_mutex;
    QHash<QString, QImage> m_icons;
    QHash<QString, QImage> m_drawn;
};

} // namespace vantry
