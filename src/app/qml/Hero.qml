import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vantry.Backend

// The featured title, large, above the shelves.
Rectangle {
    id: hero
    property var card: ({})

    implicitHeight: 190
    radius: Theme.cornerRadius + 4
    color: Theme.panelFill
    border.color: Theme.panelStroke
    border.width: 1
    Accessible.role: Accessible.Grouping
    Accessible.name: hero.card.accessibleName || ""

    RowLayout {
        anchors.fill: parent
        anchors.margins: 20
        spacing: 20

        TitleIcon {
            size: 140
            source: hero.card.icon || ""
            name: hero.card.name || ""
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 8
            RowLayout {
                spacing: 10
                Text {
                    text: hero.card.name || ""
                    color: Theme.primaryText
                    font.pixelSize: 30
                    font.bold: true
                    font.family: Theme.displayFontFamily
                }
                Badge {
                    kind: hero.card.badgeKind || ""
                    label: hero.card.badgeLabel || ""
                }
            }
            Text {
                Layout.fillWidth: true
                text: hero.card.tagline || ""
                color: Theme.secondaryText
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
                    color: Theme.secondaryText
                    font.pixelSize: 12
                }
            }
            Text {
                Layout.fillWidth: true
                visible: text !== ""
                text: hero.card.noteText || ""
                color: hero.card.noteAlert ? Theme.alertColor : Theme.secondaryText
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
