import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vantry.Backend

// One title on a shelf: its cover with name and badge, its state and the buttons its state
// allows. Choosing the card (click, Return or Space) selects the title and opens its details.
FocusScope {
    id: root
    property var card: ({})
    readonly property bool selected: Library.selectedId === root.card.titleId

    objectName: "clubhouse.card." + (card.titleId || "")
    width: 200
    height: 262
    activeFocusOnTab: true
    Accessible.role: Accessible.Button
    Accessible.name: root.card.accessibleName || ""
    Accessible.description: root.card.tagline || ""
    Accessible.onPressAction: Library.selectedId = root.card.titleId
    Keys.onReturnPressed: Library.selectedId = root.card.titleId
    Keys.onSpacePressed: Library.selectedId = root.card.titleId

    Rectangle {
        anchors.fill: parent
        radius: Theme.cornerRadius
        color: Theme.cardFill
        border.width: root.activeFocus ? 3 : (root.selected ? 2 : 1)
        border.color: root.activeFocus || root.selected ? Theme.accent : Theme.cardStroke
    }
    MouseArea {
        anchors.fill: parent
        onClicked: {
            root.forceActiveFocus()
            Library.selectedId = root.card.titleId
        }
    }
    // The cover, with the name set over its scrim; drawn for a height of 120.
    Artwork {
        id: cover
        x: 6
        y: 6
        width: root.width - 12
        height: 120
        titleId: root.card.titleId || ""
        icon: root.card.icon || ""
        format: "cover"

        Text {
            readonly property rect area: App.artTitleRect("cover", cover.width, cover.height)
            x: area.x
            y: area.y
            width: area.width
            height: area.height
            verticalAlignment: Text.AlignVCenter
            text: root.card.name || ""
            color: Theme.counterText
            font.pixelSize: 16
            font.bold: true
            font.family: Theme.displayFontFamily
            elide: Text.ElideRight
        }
        Badge {
            anchors.right: parent.right
            anchors.top: parent.top
            anchors.margins: 8
            kind: root.card.badgeKind || ""
            label: root.card.badgeLabel || ""
        }
    }
    ColumnLayout {
        anchors.fill: parent
        anchors.topMargin: cover.y + cover.height + 8
        anchors.leftMargin: 12
        anchors.rightMargin: 12
        anchors.bottomMargin: 12
        spacing: 6

        Text {
            Layout.fillWidth: true
            text: root.card.tagline || ""
            color: Theme.secondaryText
            font.pixelSize: 12
            elide: Text.ElideRight
        }
        StatusPill {
            text: root.card.pillText || ""
            iconName: root.card.pillIcon || ""
            tone: root.card.pillTone || "neutral"
        }
        ProgressBar {
            Layout.fillWidth: true
            visible: (root.card.progress || -1) >= 0
            value: Math.max(0, root.card.progress || 0)
            Accessible.name: root.card.pillText || ""
            background: Rectangle { implicitHeight: 4; radius: 2; color: Theme.progressTrack }
            contentItem: Item {
                Rectangle {
                    width: parent.width * Math.max(0, root.card.progress || 0)
                    height: parent.height
                    radius: 2
                    color: Theme.progressFill
                }
            }
        }
        Text {
            Layout.fillWidth: true
            visible: text !== ""
            text: root.card.noteText || ""
            color: root.card.noteAlert ? Theme.alertColor : Theme.secondaryText
            font.pixelSize: 11
            wrapMode: Text.Wrap
            maximumLineCount: 2
            elide: Text.ElideRight
        }
        Item { Layout.fillHeight: true }
        Row { // not a layout: see Hero.qml
            spacing: 6
            Repeater {
                model: root.card.actions || []
                ThemedButton {
                    required property var modelData
                    required property int index
                    objectName: "clubhouse.card.action." + root.card.titleId + "." + modelData.action
                    text: modelData.title
                    prominent: index === 0
                    Accessible.name: modelData.title + " " + (root.card.name || "")
                    onClicked: Library.act(root.card.titleId, modelData.action)
                }
            }
        }
    }
}
