import QtQuick
import "../styles"

// A small upper-case heading above a group of the side panel.
Item {
    id: root
    property string text: ""
    property string detail: ""
    implicitHeight: 22
    Text {
        anchors.left: parent.left
        anchors.verticalCenter: parent.verticalCenter
        text: root.text.toUpperCase()
        color: Theme.textFaint
        font.pixelSize: Theme.fontSmall
        font.weight: Font.DemiBold
        font.letterSpacing: 0.8
    }
    Text {
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        text: root.detail
        color: Theme.textFaint
        font.pixelSize: Theme.fontSmall
    }
}
