import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vantry.Backend

// One status shelf: its title and its cards in a row that scrolls sideways.
ColumnLayout {
    id: shelf
    required property string title
    required property string identifier
    required property var cards

    objectName: identifier
    spacing: 8
    Accessible.role: Accessible.List
    Accessible.name: title

    RowLayout {
        spacing: 8
        Text {
            text: shelf.title
            color: Theme.primaryText
            font.pixelSize: 18
            font.bold: true
            font.family: Theme.displayFontFamily
        }
        Rectangle {
            implicitWidth: count.implicitWidth + 12
            implicitHeight: 18
            radius: 9
            color: Theme.counterFill
            Text {
                id: count
                anchors.centerIn: parent
                text: shelf.cards ? shelf.cards.count : 0
                color: Theme.counterText
                font.pixelSize: 11
                font.bold: true
            }
        }
    }
    ListView {
        Layout.fillWidth: true
        Layout.preferredHeight: 262
        orientation: ListView.Horizontal
        spacing: 12
        clip: true
        model: shelf.cards
        keyNavigationEnabled: true
        activeFocusOnTab: false
        boundsBehavior: Flickable.StopAtBounds
        // Cards leaving the view are kept and refilled rather than built anew while scrolling.
        reuseItems: true
        delegate: GameCard {
            required property var model
            card: model
        }
    }
}
