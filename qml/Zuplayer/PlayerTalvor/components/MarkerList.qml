import QtQuick
import QtQuick.Controls.Basic
import "../styles"
import "Time.js" as T

// The day's markers; a click moves playing to the marker.
ListView {
    id: root
    property var markers: []   // [{time, name, description, camera}]
    signal markerChosen(var marker)

    clip: true
    spacing: 6
    model: markers
    boundsBehavior: Flickable.StopAtBounds
    ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }

    delegate: Rectangle {
        width: root.width
        height: content.implicitHeight + 18
        radius: Theme.radius
        color: area.containsMouse ? Theme.raised : Theme.panelAlt
        border.color: area.containsMouse ? Theme.marker : Theme.border
        Rectangle {
            anchors.left: parent.left
            anchors.top: parent.top
            anchors.bottom: parent.bottom
            anchors.margins: 8
            width: 3
            radius: 1.5
            color: Theme.marker
        }
        Column {
            id: content
            anchors.left: parent.left
            anchors.leftMargin: 20
            anchors.right: parent.right
            anchors.rightMargin: 10
            anchors.verticalCenter: parent.verticalCenter
            spacing: 3
            Row {
                spacing: 8
                Text {
                    text: T.hms(modelData.time)
                    color: Theme.marker
                    font.pixelSize: Theme.fontNormal
                    font.family: Theme.monoFamily
                }
                Text {
                    text: modelData.name || qsTr("Marqueur")
                    color: Theme.text
                    font.pixelSize: Theme.fontNormal
                    font.weight: Font.DemiBold
                    elide: Text.ElideRight
                    width: content.width - 90
                }
            }
            Text {
                visible: (modelData.description || "").length > 0
                width: content.width
                text: modelData.description || ""
                color: Theme.textDim
                font.pixelSize: Theme.fontSmall + 1
                wrapMode: Text.WordWrap
                maximumLineCount: 3
                elide: Text.ElideRight
            }
            Text {
                visible: (modelData.camera || "").length > 0
                text: modelData.camera || ""
                color: Theme.textFaint
                font.pixelSize: Theme.fontSmall
            }
        }
        MouseArea {
            id: area
            anchors.fill: parent
            hoverEnabled: true
            cursorShape: Qt.PointingHandCursor
            onClicked: root.markerChosen(modelData)
        }
    }
}
