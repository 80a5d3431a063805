import QtQuick
import "../styles"

// What a list shows while it has nothing to show.
Item {
    id: root
    property string iconName: "image"
    property string title: ""
    property string detail: ""
    implicitHeight: column.implicitHeight + 24
    Column {
        id: column
        anchors.centerIn: parent
        width: parent.width - 32
        spacing: 8
        Image {
            anchors.horizontalCenter: parent.horizontalCenter
            width: 34
            height: 34
            sourceSize.width: 68
            sourceSize.height: 68
            opacity: 0.45
            source: AppInfo.icon(root.iconName)
        }
        Text {
            width: parent.width
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
            text: root.title
            color: Theme.textDim
            font.pixelSize: Theme.fontNormal
        }
        Text {
            width: parent.width
            visible: root.detail.length > 0
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
            text: root.detail
            color: Theme.textFaint
            font.pixelSize: Theme.fontSmall
        }
    }
}
