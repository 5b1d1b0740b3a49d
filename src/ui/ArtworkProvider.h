#pragma once

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QQuickImageProvider>

#include <memory>

namespace vantry {

class VerifiedIcons;

/// Serves the games' drawn artwork to QML as
/// "image://art/<id>/<hero|cover>/<theme>/<light|dark>/<icon digest or none>" at the size asked
/// for. It draws on QML's loader thread and keeps what it drew, so a card scrolled back into
/// view is not drawn again; the icons are the ones the title provider serves.
class ArtworkProvider : public QQuickImageProvider
{
public:
    explicit ArtworkProvider(std::shared_ptr<const VerifiedIcons> icons);

    QImage requestImage(const QString &id, QSize *size, const QSize &requestedSize) override;

    /// The most images kept; beyond it the cache starts afresh.
    static constexpr qsizetype cacheLimit = 96;

private:
    std::shared_ptr<const VerifiedIcons> m_icons;
    QMutex m_mutex; // guards m_drawn
    QHash<QString, QImage> m_drawn;
};

} // namespace vantry
