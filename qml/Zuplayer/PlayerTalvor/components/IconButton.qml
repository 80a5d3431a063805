import QtQuick
import QtQuick.Controls.Basic
import "../styles"

// A flat button with an icon of the module's set and an optional label.
AbstractButton {
    id: root
    property string iconName: ""
    property string label: ""
    property string tip: ""
    property bool primary: false
    property int iconSize: 18
    property int minWidth: 34

    hoverEnabled: true
    focusPolicy: Qt.NoFocus
    implicitHeight: 34
    implicitWidth: Math.max(minWidth, row.implicitWidth + (label.length > 0 ? 16 : 14))
    opacity: enabled ? 1.0 : 0.4

    background: Rectangle {
        radius: Theme.radius
        color: root.primary ? (root.down ? Qt.darker(Theme.accent, 1.2)
                                         : root.hovered ? Theme.accentHover : Theme.accent)
             : root.checked ? Theme.accentSoft
             : root.down ? Theme.hover
             : root.hovered ? Theme.raised : "transparent"
        border.width: root.checked && !root.primary ? 1 : 0
        border.color: Theme.accent
        Behavior on color { ColorAnimation { duration: 90 } }
    }

    contentItem: Item {
        implicitWidth: row.implicitWidth
        implicitHeight: row.implicitHeight
        Row {
            id: row
            anchors.centerIn: parent
            spacing: 5
            Image {
                visible: root.iconName.length > 0
                anchors.verticalCenter: parent.verticalCenter
                width: root.iconSize
                height: root.iconSize
                sourceSize.width: root.iconSize * 2
                sourceSize.height: root.iconSize * 2
                source: root.iconName.length > 0 ? AppInfo.icon(root.iconName) : ""
                smooth: true
            }
            Text {
                visible: root.label.length > 0
                anchors.verticalCenter: parent.verticalCenter
                text: root.label
                color: Theme.text
                font.pixelSize: Theme.fontNormal
                font.weight: root.primary ? Font.DemiBold : Font.Normal
            }
        }
    }

    ToolTip.visible: hovered && tip.length > 0
    ToolTip.text: tip
    ToolTip.delay: 450
}
