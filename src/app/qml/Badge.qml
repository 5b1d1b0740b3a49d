import QtQuick
import Vantry.Backend

// The card's corner badge: GET, INSTALLED, UPDATE, ...
Rectangle {
    id: badge
    property string kind
    property string label
    readonly property var colors: Theme.badges[kind] || Theme.badges["unavailable"]

    visible: kind !== "" && label !== ""
    implicitWidth: text.implicitWidth + 12
    implicitHeight: 18
    radius: 4
    color: colors.fill
    Accessible.ignored: true

    Text {
        id: text
        anchors.centerIn: parent
        text: badge.label
        color: badge.colors.ink
        font.pixelSize: 10
        font.bold: true
        font.letterSpacing: 0.5
    }
}
