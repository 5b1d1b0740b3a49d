import QtQuick
import Vantry.Backend

// A game's verified icon in its well, or its initial while there is none.
Rectangle {
    id: well
    property string source
    property string name
    property int size: 96

    implicitWidth: size
    implicitHeight: size
    radius: size / 5
    color: Theme.iconWellFill
    Accessible.ignored: true

    Image {
        anchors.fill: parent
        anchors.margins: well.size / 12
        source: well.source
        sourceSize: Qt.size(well.size, well.size)
        fillMode: Image.PreserveAspectFit
        smooth: true
        visible: well.source !== ""
    }
    Text {
        anchors.centerIn: parent
        visible: well.source === ""
        text: well.name.length > 0 ? well.name[0] : ""
        color: Theme.secondaryText
        font.pixelSize: well.size / 2
        font.family: Theme.displayFontFamily
        font.bold: true
    }
}
