import QtQuick
import QtQuick.Controls.impl
import QtQuick.Layouts
import Vantry.Backend

// In place of the shelves when the filter leaves none.
Rectangle {
    objectName: "clubhouse.empty"
    implicitHeight: 170
    radius: Theme.cornerRadius
    color: Theme.panelFill
    border.color: Theme.panelStroke
    Accessible.role: Accessible.StaticText
    Accessible.name: Library.emptyPanel.title

    ColumnLayout {
        anchors.centerIn: parent
        spacing: 8
        IconImage {
            Layout.alignment: Qt.AlignHCenter
            name: Library.emptyPanel.icon
            color: Theme.secondaryText
            sourceSize: Qt.size(40, 40)
        }
        Text {
            Layout.alignment: Qt.AlignHCenter
            text: Library.emptyPanel.title
            color: Theme.primaryText
            font.pixelSize: 17
            font.bold: true
        }
        Text {
            Layout.alignment: Qt.AlignHCenter
            text: Library.emptyPanel.hint
            color: Theme.secondaryText
        }
    }
}
