import QtQuick
import QtQuick.Controls
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

    // Positioners, not layouts: a layout inside a popup may touch a delegate its repeater has
    // just destroyed.
    contentItem: Column {
        spacing: 8
        Text {
            width: dialog.availableWidth
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
                width: dialog.availableWidth
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
                width: dialog.availableWidth
                text: modelData
                color: Theme.primaryText
                font.family: "monospace"
                font.pixelSize: 12
                wrapMode: Text.WrapAnywhere
            }
        }
    }
    footer: Item {
        implicitHeight: buttons.implicitHeight + 24
        Row {
        id: buttons
        anchors.right: parent.right
        anchors.rightMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        spacing: 8
        Repeater {
            model: dialog.confirmation.buttons || []
            ThemedButton {
                required property var modelData
                objectName: "clubhouse.removal." + modelData.button
                text: modelData.label
                prominent: modelData.button !== "cancel"
                onClicked: Library.detail.confirm(modelData.button)
            }
        }
        }
    }
}
