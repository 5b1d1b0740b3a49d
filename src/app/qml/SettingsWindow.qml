import QtQuick
import QtQuick.Controls
import QtQuick.Controls.impl
import QtQuick.Layouts
import QtQuick.Window
import Vantry.Backend

// The user's preferences: the theme, sounds and the launcher's own update checks.
Window {
    id: settings
    objectName: "settings"
    title: qsTr("Vantry Settings")
    width: 560
    height: 520
    minimumWidth: 460
    minimumHeight: 420
    color: Theme.windowBottom

    Shortcut {
        sequences: [StandardKey.Close, "Escape"]
        onActivated: settings.close()
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 20
        spacing: 12

        Text {
            text: qsTr("Theme")
            color: Theme.primaryText
            font.pixelSize: 17
            font.bold: true
        }
        ButtonGroup { id: themeGroup }
        Repeater {
            model: App.themes
            ThemedButton {
                required property var modelData
                Layout.fillWidth: true
                objectName: "settings.theme." + modelData.raw
                checkable: true
                checked: App.theme === modelData.raw
                ButtonGroup.group: themeGroup
                ink: checked ? Theme.accentInk : Theme.primaryText
                icon.name: modelData.icon
                text: modelData.name + " — " + modelData.blurb
                Accessible.name: modelData.name
                Accessible.description: modelData.blurb
                onClicked: App.theme = modelData.raw
            }
        }
        Switch {
            id: sound
            objectName: "settings.sound"
            text: qsTr("Enable sound effects")
            checked: App.soundEnabled
            onToggled: App.soundEnabled = checked
            palette.windowText: Theme.primaryText
            palette.text: Theme.primaryText
            contentItem: Text {
                leftPadding: sound.indicator.width + sound.spacing
                text: sound.text
                color: Theme.primaryText
                verticalAlignment: Text.AlignVCenter
            }
        }
        Switch {
            id: updates
            objectName: "settings.updates"
            text: qsTr("Automatically check for launcher updates")
            checked: App.automaticUpdateChecks
            onToggled: App.automaticUpdateChecks = checked
            contentItem: Text {
                leftPadding: updates.indicator.width + updates.spacing
                text: updates.text
                color: Theme.primaryText
                verticalAlignment: Text.AlignVCenter
            }
        }
        Item { Layout.fillHeight: true }
        Text {
            text: qsTr("Vantry %1").arg(App.version)
            color: Theme.secondaryText
            font.pixelSize: 11
        }
    }
}
