import QtQuick
import "../styles"

// One tab of the side panel: icon over label, a bar under the active one.
Item {
    id: root
    property string iconName: ""
    property string label: ""
    property bool active: false
    property int count: -1
    signal clicked()

    implicitHeight: 56
    Rectangle {
        anchors.fill: parent
        anchors.margins: 3
        radius: Theme.radius
        color: area.containsMouse && !root.active ? Theme.raised : "transparent"
    }
    Column {
        anchors.centerIn: parent
        spacing: 4
        Image {
            anchors.horizontalCenter: parent.horizontalCenter
            width: 20
            height: 20
            sourceSize.width: 40
            sourceSize.height: 40
            source: AppInfo.icon(root.iconName)
            opacity: root.active ? 1.0 : 0.6
        }
        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: root.label + (root.count > 0 ? "  " + root.count : "")
            color: root.active ? Theme.text : Theme.textDim
            font.pixelSize: Theme.fontSmall + 1
            font.weight: root.active ? Font.DemiBold : Font.Normal
        }
    }
    Rectangle {
        anchors.bottom: parent.bottom
        anchors.horizontalCenter: parent.horizontalCenter
        width: parent.width * 0.6
        height: 3
        radius: 1.5
        color: Theme.accent
        visible: root.active
    }
    MouseArea {
        id: area
        anchors.fill: parent
        hoverEnabled: true
        cursorShape: Qt.PointingHandCursor
        onClicked: root.clicked()
    }
}
