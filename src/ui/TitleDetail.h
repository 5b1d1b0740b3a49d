#pragma once

#include <ui/StatusPresentation.h>

#include <copies/InstallCopy.h>

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QVariantMap>

namespace vantry {

class InstallEngine;
class LibraryModel;

/// Carries out a card's action on the title: install and play through the model, cancel and
/// retry through the engine.
void performCardAction(GameCardView::CardAction action, const QString &titleId, LibraryModel &model,
                       InstallEngine &engine);

/// The detail pane of the selected title: its state in words (step, progress with speed and time
/// left, failure), every action the model or engine accepts for it now, a blocked update, its
/// copies with what keeps each from being removed, and the removal confirmations with every path
/// that moves to the Trash. Main thread only.
class TitleDetail : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString titleId READ titleId NOTIFY changed)
    /// Everything shown, as one map (see snapshot()); QML binds to its keys.
    Q_PROPERTY(QVariantMap pane READ pane NOTIFY changed)
    /// The open confirmation: question, paths, dataPaths, buttons [{button, label}], note; empty
    /// when none is open.
    Q_PROPERTY(QVariantMap confirmation READ confirmation NOTIFY confirmationChanged)

public:
    TitleDetail(LibraryModel &model, InstallEngine &engine, QObject *parent = nullptr);

    [[nodiscard]] QString titleId() const { return m_titleId; }
    void setTitleId(const QString &titleId);
    [[nodiscard]] QVariantMap pane() const { return m_pane; }
    [[nodiscard]] QVariantMap confirmation() const { return m_confirmation; }

    /// "install", "cancel", "retry", "play", "quitAndUpdate" or "installManaged".
    Q_INVOKABLE void act(const QString &action);
    /// Opens the confirmation for moving the copy at `path` to the Trash.
    Q_INVOKABLE void requestRemoveCopy(const QString &path);
    /// Opens the confirmation for moving every copy but the current one to the Trash.
    Q_INVOKABLE void requestRemoveOthers();
    /// Answers the open confirmation: "cancel", "removeKeepingData" or "removeWithData".
    Q_INVOKABLE void confirm(const QString &button);

Q_SIGNALS:
    void changed();
    void confirmationChanged();
    void actionPressed();

private:
    struct Pending {
        QList<InstallCopy> copies;
        bool others = false;
    };
    struct DownloadClock {
        QElapsedTimer started;
        double startFraction = 0;
    };

    void update();
    void trackDownloads();
    [[nodiscard]] QVariantMap snapshot() const;
    [[nodiscard]] QString rateText(double fraction) const;
    [[nodiscard]] QVariantList copyRows(const QString &name) const;
    [[nodiscard]] bool hasNewerRelease() const;
    void openConfirmation(QString question, QList<InstallCopy> copies, bool others);

    LibraryModel &m_model;
    InstallEngine &m_engine;
    QString m_titleId;
    QVariantMap m_pane;
    QVariantMap m_confirmation;
    Pending m_pending;
    QHash<QString, DownloadClock> m_downloads;
};

} // namespace vantry
