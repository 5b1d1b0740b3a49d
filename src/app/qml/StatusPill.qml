import QtQuick
import QtQuick.Controls.impl
import Vantry.Backend

// A title's state in one short phrase, coloured by its tone.
Rectangle {
    id: pill
    property string text
    property string iconName
    property string tone: "neutral"
    readonly property var colors: Theme.pills[tone] || Theme.pills["neutral"]

    visible: text !== ""
    implicitWidth: row.implicitWidth + 16
    implicitHeight: 22
    radius: height / 2
    color: colors.fill
    Accessible.role: Accessible.StaticText
    Accessible.name: text

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 4
        IconImage {
            anchors.verticalCenter: parent.verticalCenter
            name: pill.iconName
            color: pill.colors.ink
            sourceSize: Qt.size(12, 12)
            visible: pill.iconName !== ""
        }
        Text {
            anchors.verticalCenter: parent.verticalCenter
            text: pill.text
            color: pill.colors.ink
            font.pixelSize: 11
            font.bold: true
        }
    }
}
