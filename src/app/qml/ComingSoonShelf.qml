import QtQuick
import QtQuick.Controls.impl
import QtQuick.Layouts
import Vantry.Backend

// The games the maker has announced but not released.
ColumnLayout {
    objectName: "clubhouse.shelf.coming-soon"
    visible: Library.comingSoon.count > 0
    spacing: 8
    Accessible.role: Accessible.List
    Accessible.name: qsTr("Coming soon")

    RowLayout {
        spacing: 8
        IconImage {
            name: Library.icon("calendar.badge.clock")
            color: Theme.primaryText
            sourceSize: Qt.size(18, 18)
        }
        Text {
            text: qsTr("Coming soon")
            color: Theme.primaryText
            font.pixelSize: 18
            font.bold: true
            font.family: Theme.displayFontFamily
        }
        Text {
            text: Library.comingSoonCount
            color: Theme.secondaryText
            font.pixelSize: 12
        }
    }
    Flow {
        Layout.fillWidth: true
        spacing: 12
        Repeater {
            model: Library.comingSoon
            Rectangle {
                required property string name
                required property string tagline
                required property string identifier
                objectName: identifier
                width: 260
                height: 84
                radius: Theme.cornerRadius
                color: Theme.cardFill
                border.color: Theme.cardStroke
                Accessible.role: Accessible.StaticText
                Accessible.name: name + ", " + qsTr("Coming soon")
                Column {
                    anchors.fill: parent
                    anchors.margins: 12
                    spacing: 4
                    Text { text: name; color: Theme.primaryText; font.pixelSize: 15; font.bold: true; font.family: Theme.displayFontFamily }
                    Text { text: tagline; color: Theme.secondaryText; font.pixelSize: 12; width: parent.width; elide: Text.ElideRight }
                    Text { text: qsTr("Coming soon"); color: Theme.accent; font.pixelSize: 11; font.bold: true }
                }
            }
        }
    }
}
