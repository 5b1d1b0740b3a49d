import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vantry.Backend

// The featured title, large, above the shelves: its drawn banner, with the name and actions set
// over the banner's scrim on the leading side.
Item {
    id: hero
    property var card: ({})
    // The banner's ink over its scrim.
    readonly property color ink: Theme.counterText

    // The banner is drawn for this height.
    implicitHeight: 220
    Accessible.role: Accessible.Grouping
    Accessible.name: hero.card.accessibleName || ""

    Artwork {
        anchors.fill: parent
        titleId: hero.card.titleId || ""
        icon: hero.card.icon || ""
        format: "hero"
    }

    // The title's place beside the icon the banner draws, over its scrim.
    Item {
        id: titleArea
        readonly property rect area: App.artTitleRect("hero", hero.width, hero.height)
        x: area.x + 8
        y: area.y
        width: area.width - 8
        height: area.height

        ColumnLayout {
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            spacing: 8
            RowLayout {
                spacing: 10
                Text {
                    Layout.maximumWidth: titleArea.width - badge.implicitWidth - 10
                    elide: Text.ElideRight
                    text: hero.card.name || ""
                    color: hero.ink
                    font.pixelSize: 30
                    font.bold: true
                    font.family: Theme.displayFontFamily
                }
                Badge {
                    id: badge
                    kind: hero.card.badgeKind || ""
                    label: hero.card.badgeLabel || ""
                }
            }
            Text {
                Layout.fillWidth: true
                text: hero.card.tagline || ""
                color: hero.ink
                font.pixelSize: 15
                elide: Text.ElideRight
            }
            RowLayout {
                spacing: 10
                StatusPill {
                    text: hero.card.pillText || ""
                    iconName: hero.card.pillIcon || ""
                    tone: hero.card.pillTone || "neutral"
                }
                Text {
                    visible: (hero.card.version || "") !== ""
                    text: hero.card.version || ""
                    color: hero.ink
                    font.pixelSize: 12
                }
            }
            Text {
                Layout.fillWidth: true
                visible: text !== ""
                text: hero.card.noteText || ""
                color: hero.card.noteAlert ? Theme.alertColor : hero.ink
                font.pixelSize: 12
                wrapMode: Text.Wrap
            }
            // A positioner, not a layout, around a repeater: Qt 6.4's layouts may reach a
            // delegate the repeater has just destroyed.
            Row {
                spacing: 8
                Repeater {
                    model: hero.card.actions || []
                    ThemedButton {
                        required property var modelData
                        required property int index
                        objectName: "clubhouse.hero.action." + hero.card.titleId + "." + modelData.action
                        text: modelData.title
                        prominent: index === 0
                        Accessible.name: modelData.title + " " + (hero.card.name || "")
                        onClicked: Library.act(hero.card.titleId, modelData.action)
                    }
                }
                ThemedButton {
                    objectName: "clubhouse.hero.details." + hero.card.titleId
                    text: qsTr("Details")
                    Accessible.name: qsTr("Details of %1").arg(hero.card.name || "")
                    onClicked: Library.selectedId = hero.card.titleId
                }
            }
        }
    }
}
