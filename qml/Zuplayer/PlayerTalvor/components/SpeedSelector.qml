import QtQuick
import "../styles"

// The playback rates as one segmented control.
Rectangle {
    id: root
    property var speeds: [-8, -4, -2, -1, 1, 2, 4, 8]
    property int current: 1
    property int buttonWidth: 35
    signal speedChosen(int speed)

    implicitWidth: row.implicitWidth + 4
    implicitHeight: 30
    radius: Theme.radius
    color: Theme.panelAlt
    border.color: Theme.border

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 0
        Repeater {
            model: root.speeds
            Rectangle {
                objectName: "speed" + modelData
                width: root.buttonWidth
                height: root.height - 4
                radius: Theme.radius - 1
                readonly property bool active: modelData === root.current
                color: active ? Theme.accent : area.containsMouse ? Theme.raised : "transparent"
                Text {
                    anchors.centerIn: parent
                    text: (modelData < 0 ? "\u2212" + (-modelData) : modelData) + "\u00d7"
                    color: parent.active ? "white" : Theme.textDim
                    font.pixelSize: Theme.fontSmall + 1
                    font.weight: parent.active ? Font.DemiBold : Font.Normal
                }
                MouseArea {
                    id: area
                    anchors.fill: parent
                    hoverEnabled: true
                    cursorShape: Qt.PointingHandCursor
                    onClicked: root.speedChosen(modelData)
                }
            }
        }
    }
}
