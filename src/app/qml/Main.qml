import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vantry.Backend

// The launcher's one window: the featured title above the shelves, the detail pane of the
// selected title beside them, and the alerts the library raises.
ApplicationWindow {
    id: window
    objectName: "library"
    title: qsTr("Vantry")
    width: 1080
    height: 660
    minimumWidth: 720
    minimumHeight: 480
    visible: true

    palette.window: Theme.windowBottom
    palette.windowText: Theme.primaryText
    palette.base: Theme.panelFill
    palette.text: Theme.primaryText
    palette.button: Theme.segmentTrack
    palette.buttonText: Theme.primaryText
    palette.highlight: Theme.accent
    palette.highlightedText: Theme.accentInk
    palette.mid: Theme.panelStroke
    palette.light: Theme.panelFill
    palette.dark: Theme.panelStroke

    Component.onCompleted: App.windowShown()

    background: Rectangle {
        gradient: Gradient {
            GradientStop { position: 0; color: Theme.windowTop }
            GradientStop { position: 1; color: Theme.windowBottom }
        }
    }

    menuBar: MenuBar {
        Menu {
            title: qsTr("&Vantry")
            Action {
                text: qsTr("Check for Updates…")
                enabled: App.canCheckForUpdates
            }
            Action {
                text: qsTr("Settings…")
                shortcut: "Ctrl+,"
                onTriggered: {
                    settingsWindow.show()
                    settingsWindow.raise()
                    settingsWindow.requestActivate()
                }
            }
            MenuSeparator {}
            Action {
                text: qsTr("Quit Vantry")
                shortcut: StandardKey.Quit
                onTriggered: Qt.quit()
            }
        }
        Menu {
            title: qsTr("&Library")
            Action {
                objectName: "menu.refresh"
                text: qsTr("Refresh")
                shortcut: "Ctrl+R"
                onTriggered: App.refresh()
            }
            Action {
                text: qsTr("Open Games Folder")
                onTriggered: App.openGamesFolder()
            }
        }
    }

    RowLayout {
        anchors.fill: parent
        spacing: 0

        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            spacing: 10

            Banner {
                Layout.fillWidth: true
                Layout.leftMargin: 20
                Layout.rightMargin: 20
                Layout.topMargin: 12
                visible: Library.launcherUpdateAvailable
                iconName: Library.icon("arrow.down.circle.fill")
                text: qsTr("A newer Vantry is available")
                buttonText: qsTr("Update Vantry")
                buttonEnabled: App.canCheckForUpdates
            }

            // The segmented filter.
            Rectangle {
                Layout.leftMargin: 20
                Layout.topMargin: 12
                implicitWidth: filters.implicitWidth + 6
                implicitHeight: filters.implicitHeight + 6
                radius: height / 2
                color: Theme.segmentTrack
                Accessible.role: Accessible.PageTabList
                Accessible.name: qsTr("Library filter")
                Row {
                    id: filters
                    anchors.centerIn: parent
                    spacing: 2
                    Repeater {
                        model: Library.filters
                        ThemedButton {
                            required property var modelData
                            objectName: "clubhouse.filter." + modelData.raw
                            text: modelData.label
                            checkable: true
                            checked: Library.filter === modelData.raw
                            fill: "transparent"
                            ink: checked ? Theme.selectedSegmentText : Theme.primaryText
                            ToolTip.visible: hovered
                            ToolTip.text: modelData.help
                            ToolTip.delay: 600
                            Accessible.role: Accessible.PageTab
                            Accessible.description: modelData.help
                            onClicked: Library.filter = modelData.raw
                        }
                    }
                }
            }

            ScrollView {
                id: scroller
                objectName: "clubhouse.library"
                Layout.fillWidth: true
                Layout.fillHeight: true
                contentWidth: availableWidth
                clip: true
                Accessible.role: Accessible.Pane
                Accessible.name: qsTr("Library")

                ColumnLayout {
                    width: scroller.availableWidth
                    spacing: 22

                    OfflineSurface {
                        Layout.fillWidth: true
                        Layout.leftMargin: 20
                        Layout.rightMargin: 20
                        visible: Library.offline
                    }
                    Hero {
                        Layout.fillWidth: true
                        Layout.leftMargin: 20
                        Layout.rightMargin: 20
                        objectName: "clubhouse.hero"
                        visible: Library.hero.titleId !== undefined
                        card: Library.hero
                    }
                    Column { // not a layout around a repeater: see Hero.qml
                        Layout.fillWidth: true
                        Layout.leftMargin: 20
                        Layout.rightMargin: 20
                        spacing: 22
                        Repeater {
                            model: Library.shelves
                            Shelf {
                                width: parent.width
                            }
                        }
                    }
                    EmptyPanel {
                        Layout.fillWidth: true
                        Layout.leftMargin: 20
                        Layout.rightMargin: 20
                        visible: Library.empty
                    }
                    ComingSoonShelf {
                        Layout.fillWidth: true
                        Layout.leftMargin: 20
                        Layout.rightMargin: 20
                        Layout.bottomMargin: 20
                    }
                }
            }
        }

        DetailPane {
            Layout.preferredWidth: Math.min(380, window.width * 0.4)
            Layout.fillHeight: true
            visible: Library.selectedId !== "" && Library.detail.pane.titleId !== undefined
        }
    }

    // The library's notice, as an alert the user dismisses.
    Dialog {
        id: notice
        objectName: "notice"
        modal: true
        anchors.centerIn: Overlay.overlay
        width: Math.min(520, window.width - 40)
        title: qsTr("Vantry")
        standardButtons: Dialog.Ok
        palette.window: Theme.panelFill
        palette.windowText: Theme.primaryText
        contentItem: Text {
            Accessible.role: Accessible.AlertMessage
            Accessible.name: text
            text: Library.notice
            color: Theme.primaryText
            wrapMode: Text.Wrap
        }
        onClosed: Library.dismissNotice()
        Connections {
            target: Library
            function onNoticeChanged() {
                if (Library.notice !== "")
                    notice.open()
            }
        }
    }

    RemovalDialog {}
    SettingsWindow { id: settingsWindow }
}
