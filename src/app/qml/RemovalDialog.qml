import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vantry.Backend

// The confirmation before anything moves to the Trash, listing every path that moves.
Dialog {
    id: dialog
    readonly property var confirmation: Library.detail.confirmation

    objectName: "clubhouse.removal"
    modal: true
    anchors.centerIn: Overlay.overlay
    width: Math.min(620, Overlay.overlay ? Overlay.overlay.width - 40 : 620)
    title: confirmation.question || ""
    closePolicy: Popup.CloseOnEscape
    onRejected: Library.detail.confirm("cancel")
    Connections {
        target: Library.detail
        function onConfirmationChanged() {
            if (dialog.confirmation.question !== undefined)
                dialog.open()
            else
                dialog.close()
        }
    }
    palette.window: Theme.panelFill
    palette.windowText: Theme.primaryText
    palette.text: Theme.primaryText

    contentItem: ColumnLayout {
        spacing: 8
        Text {
            Layout.fillWidth: true
            text: dialog.confirmation.note || ""
            color: Theme.primaryText
            wrapMode: Text.Wrap
        }
        Text {
            text: qsTr("Moves to the Trash:")
            color: Theme.secondaryText
            font.bold: true
        }
        Repeater {
            model: dialog.confirmation.paths || []
            Text {
                required property string modelData
                Layout.fillWidth: true
                text: modelData
                color: Theme.primaryText
                font.family: "monospace"
                font.pixelSize: 12
                wrapMode: Text.WrapAnywhere
            }
        }
        Text {
            visible: (dialog.confirmation.dataPaths || []).length > 0
            text: qsTr("With “Remove app and data”, also:")
            color: Theme.secondaryText
            font.bold: true
        }
        Repeater {
            model: dialog.confirmation.dataPaths || []
            Text {
                required property string modelData
                Layout.fillWidth: true
                text: modelData
                color: Theme.primaryText
                font.family: "monospace"
                font.pixelSize: 12
                wrapMode: Text.WrapAnywhere
            }
        }
    }
    footer: RowLayout {
        spacing: 8
        Item { Layout.fillWidth: true }
        Repeater {
            model: dialog.confirmation.buttons || []
            ThemedButton {
                required property var modelData
                objectName: "clubhouse.removal." + modelData.button
                text: modelData.label
                prominent: modelData.button !== "cancel"
                Layout.bottomMargin: 12
                Layout.rightMargin: 4
                onClicked: Library.detail.confirm(modelData.button)
            }
        }
        Item { implicitWidth: 8 }
    }
}
