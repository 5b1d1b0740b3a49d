import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vantry.Backend

// The selected title in full: state, progress, every action it allows now, a blocked update,
// and its copies with their removal.
Rectangle {
    id: pane
    readonly property var detail: Library.detail.pane

    objectName: "clubhouse.detail"
    color: Theme.panelFill
    border.color: Theme.panelStroke
    Accessible.role: Accessible.Pane
    Accessible.name: qsTr("Details of %1").arg(detail.name || "")

    ScrollView {
        anchors.fill: parent
        anchors.margins: 1
        contentWidth: availableWidth
        clip: true

        ColumnLayout {
            width: pane.width - 2
            spacing: 10

            RowLayout {
                Layout.fillWidth: true
                Layout.margins: 16
                Layout.bottomMargin: 0
                TitleIcon {
                    size: 72
                    source: pane.detail.icon || ""
                    name: pane.detail.name || ""
                }
                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 2
                    Text {
                        Layout.fillWidth: true
                        text: pane.detail.name || ""
                        color: Theme.primaryText
                        font.pixelSize: 22
                        font.bold: true
                        font.family: Theme.displayFontFamily
                        elide: Text.ElideRight
                    }
                    Text {
                        Layout.fillWidth: true
                        text: pane.detail.tagline || ""
                        color: Theme.secondaryText
                        wrapMode: Text.Wrap
                    }
                    Text {
                        visible: text !== ""
                        text: pane.detail.version || ""
                        color: Theme.secondaryText
                        font.pixelSize: 12
                    }
                }
                ThemedButton {
                    Layout.alignment: Qt.AlignTop
                    objectName: "clubhouse.detail.close"
                    icon.name: Library.icon("xmark")
                    display: AbstractButton.IconOnly
                    text: qsTr("Close")
                    onClicked: Library.selectedId = ""
                }
            }

            ColumnLayout {
                Layout.fillWidth: true
                Layout.leftMargin: 16
                Layout.rightMargin: 16
                spacing: 8

                StatusPill {
                    text: pane.detail.pillText || ""
                    iconName: pane.detail.pillIcon || ""
                    tone: pane.detail.pillTone || "neutral"
                }
                Text {
                    objectName: "clubhouse.detail.step"
                    visible: text !== ""
                    text: pane.detail.stepLabel || ""
                    color: Theme.primaryText
                }
                Text {
                    objectName: "clubhouse.detail.progress"
                    visible: text !== ""
                    text: pane.detail.progressText || ""
                    color: Theme.primaryText
                    font.bold: true
                }
                ProgressBar {
                    Layout.fillWidth: true
                    visible: pane.detail.progress !== undefined
                    value: pane.detail.progress || 0
                    Accessible.name: pane.detail.progressText || ""
                    background: Rectangle { implicitHeight: 6; radius: 3; color: Theme.progressTrack }
                    contentItem: Item {
                        Rectangle {
                            width: parent.width * (pane.detail.progress || 0)
                            height: parent.height
                            radius: 3
                            color: Theme.progressFill
                        }
                    }
                }
                Text {
                    visible: text !== ""
                    text: pane.detail.rateText || ""
                    color: Theme.secondaryText
                    font.pixelSize: 12
                }
                Text {
                    Layout.fillWidth: true
                    objectName: "clubhouse.detail.message"
                    visible: text !== ""
                    text: pane.detail.message || ""
                    color: pane.detail.pillTone === "alert" ? Theme.alertColor : Theme.secondaryText
                    wrapMode: Text.Wrap
                }
                Flow {
                    Layout.fillWidth: true
                    spacing: 8
                    Repeater {
                        model: pane.detail.actions || []
                        ThemedButton {
                            required property var modelData
                            required property int index
                            objectName: "clubhouse.detail.action." + modelData.action
                            text: modelData.title
                            prominent: index === 0
                            Accessible.name: modelData.title + " " + (pane.detail.name || "")
                            onClicked: Library.detail.act(modelData.action)
                        }
                    }
                }
                Text {
                    Layout.fillWidth: true
                    visible: text !== ""
                    text: pane.detail.block || ""
                    color: Theme.primaryText
                    wrapMode: Text.Wrap
                }
                ThemedButton {
                    objectName: "clubhouse.detail.action.installManaged"
                    visible: (pane.detail.blockAction || "") !== ""
                    text: pane.detail.blockAction || ""
                    prominent: true
                    onClicked: Library.detail.act("installManaged")
                }
                Text {
                    Layout.fillWidth: true
                    visible: text !== ""
                    text: pane.detail.description || ""
                    color: Theme.secondaryText
                    wrapMode: Text.Wrap
                }
            }

            ColumnLayout {
                Layout.fillWidth: true
                Layout.margins: 16
                spacing: 8
                visible: (pane.detail.copies || []).length > 0

                Text {
                    objectName: "clubhouse.detail.copies"
                    text: pane.detail.copiesText || ""
                    color: Theme.primaryText
                    font.pixelSize: 15
                    font.bold: true
                }
                Column { // not a layout around a repeater: see Hero.qml
                    Layout.fillWidth: true
                    spacing: 8
                Repeater {
                    model: pane.detail.copies || []
                    Rectangle {
                        required property var modelData
                        required property int index
                        width: parent.width
                        implicitHeight: copyColumn.implicitHeight + 16
                        radius: Theme.cornerRadius
                        color: Theme.cardFill
                        border.color: Theme.cardStroke
                        ColumnLayout {
                            id: copyColumn
                            anchors.fill: parent
                            anchors.margins: 8
                            spacing: 4
                            Text {
                                Layout.fillWidth: true
                                text: modelData.path
                                color: Theme.primaryText
                                font.pixelSize: 12
                                wrapMode: Text.WrapAnywhere
                            }
                            Text {
                                text: (modelData.version ? modelData.version : "") +
                                      (modelData.current ? "  ·  " + qsTr("Current copy") : "") +
                                      (modelData.adopted ? "  ·  " + qsTr("Installed elsewhere") : "")
                                color: Theme.secondaryText
                                font.pixelSize: 11
                            }
                            Text {
                                Layout.fillWidth: true
                                visible: modelData.refusal !== ""
                                text: modelData.refusal
                                color: Theme.secondaryText
                                font.pixelSize: 12
                                wrapMode: Text.Wrap
                            }
                            ThemedButton {
                                objectName: "clubhouse.detail.remove." + index
                                visible: modelData.refusal === ""
                                text: qsTr("Move This Copy to the Trash…")
                                icon.name: Library.icon("trash")
                                onClicked: Library.detail.requestRemoveCopy(modelData.path)
                            }
                        }
                    }
                }
                }
                ThemedButton {
                    objectName: "clubhouse.detail.removeOthers"
                    visible: (pane.detail.copies || []).length > 1
                    enabled: (pane.detail.removeOthersRefusal || "") === ""
                    text: qsTr("Remove Other Copies…")
                    onClicked: Library.detail.requestRemoveOthers()
                }
                Text {
                    Layout.fillWidth: true
                    visible: text !== ""
                    text: pane.detail.removeOthersRefusal || ""
                    color: Theme.secondaryText
                    wrapMode: Text.Wrap
                }
            }
        }
    }
}
