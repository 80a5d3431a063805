import QtQuick
import "../styles"

// The cameras of the day; the selected one is highlighted.
Column {
    id: root
    property var cameras: []
    property string selected: ""
    signal cameraChosen(string name)
    spacing: 4

    Repeater {
        model: root.cameras
        Rectangle {
            objectName: "camera_" + modelData
            width: root.width
            height: 40
            radius: Theme.radius
            readonly property bool isSelected: modelData === root.selected
            color: isSelected ? Theme.accentSoft : area.containsMouse ? Theme.raised : Theme.panelAlt
            border.color: isSelected ? Theme.accent : Theme.border
            Rectangle {
                visible: parent.isSelected
                anchors.left: parent.left
                anchors.verticalCenter: parent.verticalCenter
                width: 3
                height: parent.height - 14
                radius: 1.5
                color: Theme.accent
            }
            Image {
                id: icon
                anchors.left: parent.left
                anchors.leftMargin: 12
                anchors.verticalCenter: parent.verticalCenter
                width: 20
                height: 20
                sourceSize.width: 40
                sourceSize.height: 40
                source: AppInfo.icon("camera")
                opacity: parent.isSelected ? 1.0 : 0.7
            }
            Text {
                anchors.left: icon.right
                anchors.leftMargin: 10
                anchors.right: state.left
                anchors.rightMargin: 8
                anchors.verticalCenter: parent.verticalCenter
                text: modelData
                elide: Text.ElideRight
                color: Theme.text
                font.pixelSize: Theme.fontNormal
                font.weight: parent.isSelected ? Font.DemiBold : Font.Normal
            }
            Text {
                id: state
                anchors.right: parent.right
                anchors.rightMargin: 12
                anchors.verticalCenter: parent.verticalCenter
                text: parent.isSelected ? qsTr("En lecture") : ""
                color: Theme.accentHover
                font.pixelSize: Theme.fontSmall
            }
            MouseArea {
                id: area
                anchors.fill: parent
                hoverEnabled: true
                cursorShape: Qt.PointingHandCursor
                onClicked: root.cameraChosen(modelData)
            }
        }
    }
}
