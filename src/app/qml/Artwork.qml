import QtQuick
import QtQuick.Window
import Vantry.Backend

// A game's drawn artwork, banner ("hero") or cover, drawn off the main thread at the screen's
// pixel density. The address names everything the drawing depends on, so a change of theme,
// appearance or icon draws afresh and nothing else does.
Item {
    id: art
    property string titleId
    // The title's icon address ("image://titles/<id>/<digest>"), empty while it has none.
    property string icon
    property string format: "cover"

    Accessible.ignored: true

    // Until the drawing arrives, the frame's place is held in the theme's colours.
    Rectangle {
        anchors.fill: parent
        radius: Theme.cornerRadius
        color: Theme.iconWellFill
        visible: image.status !== Image.Ready
    }
    Image {
        id: image
        anchors.fill: parent
        asynchronous: true
        cache: true
        smooth: false
        sourceSize: Qt.size(Math.round(art.width * Screen.devicePixelRatio),
                            Math.round(art.height * Screen.devicePixelRatio))
        source: art.titleId === "" || art.width <= 0 || art.height <= 0 ? ""
            : "image://art/" + art.titleId + "/" + art.format + "/" + Theme.raw + "/"
              + (Theme.dark ? "dark" : "light") + "/"
              + (art.icon === "" ? "none" : art.icon.split("/").pop())
    }
}
