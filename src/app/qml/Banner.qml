import QtQuick
import QtQuick.Controls.impl
import QtQuick.Layouts
import Vantry.Backend

// A strip across the window with a symbol, a line of text and one button.
Rectangle {
    id: banner
    property string iconName
    property string text
    property string buttonText
    property bool buttonEnabled: true
    signal activated()

    implicitHeight: 48
    radius: Theme.cornerRadius
    color: Theme.panelFill
    border.color: Theme.accent
    border.width: 1
    Accessible.role: Accessible.AlertMessage
    Accessible.name: text

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 14
        anchors.rightMargin: 8
        spacing: 10
        IconImage {
            name: banner.iconName
            color: Theme.accent
            sourceSize: Qt.size(20, 20)
        }
        Text {
            Layout.fillWidth: true
            text: banner.text
            color: Theme.primaryText
            font.pixelSize: 14
            elide: Text.ElideRight
        }
        ThemedButton {
            visible: banner.buttonText !== ""
            text: banner.buttonText
            enabled: banner.buttonEnabled
            prominent: true
            onClicked: banner.activated()
        }
    }
}
