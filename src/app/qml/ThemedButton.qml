import QtQuick
import QtQuick.Controls
import QtQuick.Controls.impl
import Vantry.Backend

// A button drawn from the theme: the prominent one on the accent, the others on the track, with
// a focus ring whenever the keyboard reaches it.
Button {
    id: control
    property bool prominent: false
    property color fill: prominent ? Theme.accent : Theme.segmentTrack
    property color ink: prominent ? Theme.accentInk : Theme.primaryText

    Accessible.name: text
    padding: 8
    leftPadding: 14
    rightPadding: 14
    font.bold: prominent
    icon.color: ink
    icon.width: 16
    icon.height: 16

    contentItem: IconLabel {
        spacing: 6
        display: control.display
        icon: control.icon
        text: control.text
        font: control.font
        color: control.ink
        opacity: control.enabled ? 1 : 0.5
    }
    background: Rectangle {
        implicitHeight: 30
        radius: Math.min(height / 2, Theme.cornerRadius + 2)
        color: control.checked ? Theme.accent : control.fill
        opacity: control.enabled ? (control.down ? 0.75 : (control.hovered ? 0.9 : 1)) : 0.5
        border.width: control.visualFocus ? 2 : 0
        border.color: Theme.primaryText
    }
}
