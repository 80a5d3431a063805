import QtQuick
import QtQuick.Controls.Basic
import "../styles"
import "Time.js" as T

// The day's alarms as thumbnails, two per row. A click moves playing to the
// alarm, a double click opens the full picture.
GridView {
    id: root
    property var alarms: []    // [{time, camera, kind, thumb, picture}]
    signal alarmChosen(var alarm)
    signal alarmOpened(var alarm)

    clip: true
    model: alarms
    cellWidth: Math.floor(width / 2)
    cellHeight: Math.floor(cellWidth * 0.75) + 38
    boundsBehavior: Flickable.StopAtBounds
    ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }

    delegate: Item {
        width: root.cellWidth
        height: root.cellHeight
        Rectangle {
            anchors.fill: parent
            anchors.margins: 4
            radius: Theme.radius
            color: area.containsMouse ? Theme.raised : Theme.panelAlt
            border.color: area.containsMouse ? Theme.alarm : Theme.border
            clip: true
            Rectangle {
                id: picFrame
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.top: parent.top
                anchors.margins: 1
                height: parent.height - 36
                radius: Theme.radius
                color: "#0b0d10"
                Image {
                    anchors.fill: parent
                    fillMode: Image.PreserveAspectCrop
                    asynchronous: true
                    source: modelData.thumb ? AppInfo.fileUrl(modelData.thumb) : ""
                    sourceSize.width: 320
                }
            }
            Row {
                anchors.left: parent.left
                anchors.leftMargin: 8
                anchors.bottom: parent.bottom
                anchors.bottomMargin: 9
                spacing: 6
                Rectangle {
                    anchors.verticalCenter: parent.verticalCenter
                    width: 7
                    height: 7
                    radius: 3.5
                    color: Theme.alarm
                }
                Text {
                    text: T.hms(modelData.time)
                    color: Theme.text
                    font.pixelSize: Theme.fontSmall + 1
                    font.family: Theme.monoFamily
                }
                Text {
                    text: modelData.camera
                    color: Theme.textDim
                    font.pixelSize: Theme.fontSmall
                    elide: Text.ElideRight
                    width: Math.max(0, root.cellWidth - 110)
                }
            }
            MouseArea {
                id: area
                anchors.fill: parent
                hoverEnabled: true
                cursorShape: Qt.PointingHandCursor
                onClicked: root.alarmChosen(modelData)
                onDoubleClicked: root.alarmOpened(modelData)
            }
        }
    }
}
