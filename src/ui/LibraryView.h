#pragma once

#include <ui/KeyedListModel.h>
#include <ui/Shelves.h>
#include <ui/TitleDetail.h>

#include <core/TitleState.h>

#include <QHash>
#include <QObject>
#include <QVariantMap>

#include <optional>

namespace vantry {

class InstallEngine;
class LibraryModel;

/// The main window's view of the library: the chosen filter and selection, the featured title,
/// the shelves and the announced games, worked out by the shelf rules from what the library
/// model publishes, and the card actions passed on to the model and the engine. Lists change by
/// differences, so a download's progress repaints one card, not the shelves. Main thread only.
class LibraryView : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString filter READ filter WRITE setFilter NOTIFY filterChanged)
    Q_PROPERTY(QVariantList filters READ filters CONSTANT)
    Q_PROPERTY(QString selectedId READ selectedId WRITE setSelectedId NOTIFY selectedIdChanged)
    /// The featured title as a card (the keys of a card row); empty when there is none.
    Q_PROPERTY(QVariantMap hero READ hero NOTIFY heroChanged)
    /// Shelves: roles kind, title, identifier, cards (a KeyedListModel of card rows).
    Q_PROPERTY(vantry::KeyedListModel *shelves READ shelves CONSTANT)
    /// Announced games: roles name, tagline, identifier.
    Q_PROPERTY(vantry::KeyedListModel *comingSoon READ comingSoon CONSTANT)
    Q_PROPERTY(QString comingSoonCount READ comingSoonCount CONSTANT)
    Q_PROPERTY(bool empty READ empty NOTIFY shelvesChanged)
    Q_PROPERTY(QVariantMap emptyPanel READ emptyPanel CONSTANT)
    Q_PROPERTY(bool offline READ offline NOTIFY offlineChanged)
    Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)
    Q_PROPERTY(bool launcherUpdateAvailable READ launcherUpdateAvailable NOTIFY
                   launcherUpdateAvailableChanged)
    Q_PROPERTY(vantry::TitleDetail *detail READ detail CONSTANT)

public:
    LibraryView(LibraryModel &model, InstallEngine &engine, QObject *parent = nullptr);
    ~LibraryView() override;

    [[nodiscard]] QString filter() const;
    void setFilter(const QString &raw);
    [[nodiscard]] QVariantList filters() const;
    [[nodiscard]] QString selectedId() const { return m_selection.value_or(QString()); }
    void setSelectedId(const QString &titleId);
    [[nodiscard]] QVariantMap hero() const { return m_hero; }
    [[nodiscard]] KeyedListModel *shelves() { return &m_shelves; }
    [[nodiscard]] KeyedListModel *comingSoon() { return &m_comingSoon; }
    [[nodiscard]] QString comingSoonCount() const;
    [[nodiscard]] bool empty() const { return m_shelves.count() == 0; }
    [[nodiscard]] QVariantMap emptyPanel() const;
    [[nodiscard]] bool offline() const;
    [[nodiscard]] QString notice() const;
    [[nodiscard]] bool launcherUpdateAvailable() const;
    [[nodiscard]] TitleDetail *detail() { return m_detail; }

    /// A card's or the hero's button: "install", "cancel", "retry" or "play".
    Q_INVOKABLE void act(const QString &titleId, const QString &action);
    Q_INVOKABLE void dismissNotice();
    Q_INVOKABLE void refresh();
    /// The icon-theme name drawn for a symbol the design names ("wifi.exclamationmark", ...).
    Q_INVOKABLE [[nodiscard]] QString icon(const QString &symbol) const;

    /// The role names of a card row, in order.
    [[nodiscard]] static QList<QByteArray> cardRoles();

Q_SIGNALS:
    void filterChanged();
    void selectedIdChanged();
    void heroChanged();
    void shelvesChanged();
    void offlineChanged();
    void noticeChanged();
    void launcherUpdateAvailableChanged();
    /// The user pressed an action button (the click sound's cue).
    void actionPressed();
    /// An install or update ended: `installed` true when done, else failed with `message`.
    void jobEnded(const QString &titleId, const QString &name, bool installed, const QString &message);

private:
    void rebuild();
    void noteJobEnds();
    [[nodiscard]] KeyedListModel::Row cardRow(const Catalog::Entry &entry) const;

    LibraryModel &m_model;
    InstallEngine &m_engine;
    ContentView::LibraryFilter m_filter = ContentView::LibraryFilter::all;
    std::optional<QString> m_selection;
    QVariantMap m_hero;
    KeyedListModel m_shelves;
    KeyedListModel m_comingSoon;
    QHash<int, KeyedListModel *> m_shelfCards; // by shelf kind; kept so QML keeps its delegates
    QHash<QString, TitleState> m_lastStates;
    TitleDetail *m_detail;
};

} // namespace vantry
