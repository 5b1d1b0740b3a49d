import QtQuick
import QtQuick.Controls.impl
import QtQuick.Layouts
import Vantry.Backend

// Shown while the launcher cannot reach the maker's site; installed games still play.
Rectangle {
    objectName: "clubhouse.offline"
    implicitHeight: column.implicitHeight + 32
    radius: Theme.cornerRadius
    color: Theme.panelFill
    border.color: Theme.panelStroke
    Accessible.role: Accessible.AlertMessage
    Accessible.name: title.text

    ColumnLayout {
        id: column
        anchors.centerIn: parent
        spacing: 8
        IconImage {
            Layout.alignment: Qt.AlignHCenter
            name: Library.icon("wifi.exclamationmark")
            color: Theme.secondaryText
            sourceSize: Qt.size(36, 36)
        }
        Text {
            id: title
            Layout.alignment: Qt.AlignHCenter
            text: qsTr("Vantry is offline")
            color: Theme.primaryText
            font.pixelSize: 18
            font.bold: true
        }
        Text {
            Layout.alignment: Qt.AlignHCenter
            text: qsTr("Check your connection, then refresh.")
            color: Theme.secondaryText
        }
        ThemedButton {
            Layout.alignment: Qt.AlignHCenter
            objectName: "clubhouse.offline.refresh"
            text: qsTr("Refresh")
            prominent: true
            onClicked: App.refresh()
        }
    }
}
