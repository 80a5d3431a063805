import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import "components"
import "styles"
import "components/Data.js" as Data
import "components/Time.js" as T

// Under the video: the time code, the transport controls and the 24-hour
// timeline of the selected camera.
Rectangle {
    id: root
    objectName: "timelineViewRoot"
    color: Theme.panel

    readonly property bool hasCamera: videoController.selectedCamera.length > 0
    readonly property real timeMs: videoController.currentTimeMs
    property var ranges: []
    property var alarms: []
    property var markers: []
    property var previews: []
    property string toastText: ""
    // Below this width the tools show their icons only.
    readonly property bool compact: width < 1450
    // Below this one (a 1366 x 768 laptop) the tools go down to the legend's
    // row and the time code and speeds take less room, so that every
    // control stays on screen.
    readonly property bool narrow: width < 1200

    function refresh() {
        var cam = videoController.selectedCameraId;
        ranges = Data.ranges(videoController.day_recording_ranges(-2));
        alarms = Data.alarms(videoController.day_alarm_list_string(cam));
        markers = Data.markers(videoController.day_tags_list_string(cam));
        previews = Data.previews(videoController.day_preview_list_string(cam));
    }
    function refreshAndFit() {
        refresh();
        timeline.fitRecording();
    }
    function toast(text) {
        toastText = text;
        toastTimer.restart();
    }

    Connections {
        target: videoController
        // Once for all the changes of one step (a day read, a camera chosen),
        // and after the camera's first picture is on its way.
        function onDayListsChanged() { Qt.callLater(root.refreshAndFit); }
        function onSelectedCameraChanged() { Qt.callLater(root.refreshAndFit); }
        function onSelectedDayChanged() { Qt.callLater(root.refreshAndFit); }
    }
    Component.onCompleted: refreshAndFit()

    Rectangle {
        anchors.top: parent.top
        width: parent.width
        height: 1
        color: Theme.border
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.leftMargin: 18
        anchors.rightMargin: 18
        anchors.topMargin: 12
        anchors.bottomMargin: 10
        spacing: 8

        // Time code, transport, speed and tools
        RowLayout {
            Layout.fillWidth: true
            Layout.preferredHeight: 50
            spacing: 6

            Column {
                Layout.preferredWidth: root.narrow ? 196 : root.compact ? 230 : 320
                Layout.alignment: Qt.AlignVCenter
                spacing: 2
                Row {
                    spacing: 2
                    Text {
                        objectName: "timecode"
                        text: root.timeMs >= 0 ? T.hms(root.timeMs) : "--:--:--"
                        color: root.hasCamera ? Theme.text : Theme.textFaint
                        font.pixelSize: Theme.fontTimecode
                        font.family: Theme.monoFamily
                        font.weight: Font.DemiBold
                    }
                    Text {
                        anchors.baseline: parent.children[0].baseline
                        text: root.timeMs >= 0 ? "." + T.pad(root.timeMs % 1000, 3) : ""
                        color: Theme.textFaint
                        font.pixelSize: Theme.fontLarge
                        font.family: Theme.monoFamily
                    }
                }
                Text {
                    width: root.narrow ? 196 : root.compact ? 230 : 320
                    elide: Text.ElideRight
                    text: {
                        var parts = [];
                        if (videoController.selectedDay.length > 0)
                            parts.push(T.longDay(videoController.selectedDay));
                        if (videoController.selectedCamera.length > 0)
                            parts.push(videoController.selectedCamera);
                        return parts.length > 0 ? parts.join("  ·  ") : qsTr("Aucune caméra sélectionnée");
                    }
                    color: Theme.textDim
                    font.pixelSize: Theme.fontSmall + 1
                }
            }

            Item { Layout.fillWidth: true }

            Row {
                id: transport
                Layout.alignment: Qt.AlignVCenter
                spacing: 2
                enabled: root.hasCamera
                IconButton { objectName: "jumpBack30"; iconName: "jump-back"; iconSize: 16; label: "30 s"; tip: qsTr("Reculer de 30 secondes"); onClicked: videoController.jump_seconds(-30) }
                IconButton { objectName: "jumpBack10"; iconName: "jump-back"; iconSize: 16; label: "10 s"; tip: qsTr("Reculer de 10 secondes"); onClicked: videoController.jump_seconds(-10) }
                IconButton { objectName: "jumpBack5"; iconName: "jump-back"; iconSize: 16; label: "5 s"; tip: qsTr("Reculer de 5 secondes"); onClicked: videoController.jump_seconds(-5) }
                Item { width: 4; height: 1 }
                IconButton { objectName: "previousFrameButton"; iconName: "frame-previous"; tip: qsTr("Image précédente (←)"); onClicked: videoController.previous_frame_button() }
                IconButton {
                    objectName: "playPauseButton"
                    primary: true
                    minWidth: 52
                    iconSize: 22
                    implicitHeight: 40
                    anchors.verticalCenter: parent.verticalCenter
                    iconName: videoController.playing ? "pause" : "play"
                    tip: videoController.playing ? qsTr("Pause (Espace)") : qsTr("Lecture (Espace)")
                    onClicked: videoController.playing ? videoController.pause_button() : videoController.start_button()
                }
                IconButton { objectName: "nextFrameButton"; iconName: "frame-next"; tip: qsTr("Image suivante (→)"); onClicked: videoController.next_frame_button() }
                Item { width: 4; height: 1 }
                IconButton { objectName: "jumpForward5"; iconName: "jump-forward"; iconSize: 16; label: "5 s"; tip: qsTr("Avancer de 5 secondes"); onClicked: videoController.jump_seconds(5) }
                IconButton { objectName: "jumpForward10"; iconName: "jump-forward"; iconSize: 16; label: "10 s"; tip: qsTr("Avancer de 10 secondes"); onClicked: videoController.jump_seconds(10) }
                IconButton { objectName: "jumpForward30"; iconName: "jump-forward"; iconSize: 16; label: "30 s"; tip: qsTr("Avancer de 30 secondes"); onClicked: videoController.jump_seconds(30) }
            }

            Item { Layout.fillWidth: true }

            Column {
                Layout.alignment: Qt.AlignVCenter
                spacing: 3
                enabled: root.hasCamera
                opacity: enabled ? 1 : 0.4
                Text {
                    text: qsTr("Vitesse de lecture")
                    color: Theme.textFaint
                    font.pixelSize: Theme.fontSmall
                }
                SpeedSelector {
                    objectName: "speedSelector"
                    buttonWidth: root.narrow ? 30 : 35
                    current: Math.round(videoController.playbackRate)
                    onSpeedChosen: function (speed) { videoController.set_playback_rate(speed); }
                }
            }

            Rectangle { visible: !root.narrow; Layout.preferredWidth: 1; Layout.preferredHeight: 34; Layout.leftMargin: 8; Layout.rightMargin: 8; color: Theme.border }

            Loader {
                Layout.alignment: Qt.AlignVCenter
                active: !root.narrow
                visible: active
                sourceComponent: toolsComponent
            }
        }

        // Legend and zoom
        RowLayout {
            Layout.fillWidth: true
            Layout.preferredHeight: 26
            spacing: 16
            Repeater {
                model: [
                    { color: Theme.recorded, text: qsTr("Enregistrement") },
                    { color: Theme.alarm, text: qsTr("Alarme") },
                    { color: Theme.marker, text: qsTr("Marqueur") }
                ]
                Row {
                    spacing: 6
                    Rectangle {
                        anchors.verticalCenter: parent.verticalCenter
                        width: 10
                        height: 10
                        radius: 2
                        color: modelData.color
                    }
                    Text {
                        text: modelData.text
                        color: Theme.textDim
                        font.pixelSize: Theme.fontSmall
                    }
                }
            }
            Text {
                text: root.ranges.length === 0 && root.hasCamera ? qsTr("Aucun enregistrement pour cette caméra") : ""
                color: Theme.textFaint
                font.pixelSize: Theme.fontSmall
            }
            Item { Layout.fillWidth: true }
            Text {
                text: qsTr("Affichage : %1 – %2").arg(T.hm(timeline.viewStart)).arg(
                          timeline.viewEnd >= T.DAY_MS ? "24:00" : T.hm(timeline.viewEnd))
                color: Theme.textFaint
                font.pixelSize: Theme.fontSmall
                font.family: Theme.monoFamily
            }
            Loader {
                Layout.alignment: Qt.AlignVCenter
                active: root.narrow
                visible: active
                sourceComponent: toolsComponent
            }
            Row {
                spacing: 2
                IconButton { objectName: "zoomOutButton"; iconName: "zoom-out"; iconSize: 16; implicitHeight: 26; minWidth: 28; tip: qsTr("Dézoomer"); onClicked: timeline.zoomOut() }
                IconButton { objectName: "zoomInButton"; iconName: "zoom-in"; iconSize: 16; implicitHeight: 26; minWidth: 28; tip: qsTr("Zoomer"); onClicked: timeline.zoomIn() }
                IconButton { objectName: "fitButton"; iconName: "fit"; iconSize: 16; implicitHeight: 26; label: qsTr("Enregistrement"); tip: qsTr("Cadrer la partie enregistrée"); onClicked: timeline.fitRecording() }
                IconButton { objectName: "wholeDayButton"; iconName: "day"; iconSize: 16; implicitHeight: 26; label: qsTr("24 h"); tip: qsTr("Afficher la journée entière"); onClicked: timeline.showWholeDay() }
            }
        }

        Timeline {
            id: timeline
            objectName: "timeline"
            Layout.fillWidth: true
            Layout.preferredHeight: implicitHeight
            ranges: root.ranges
            alarms: root.alarms
            markers: root.markers
            position: root.timeMs
            onSeekRequested: function (ms) { videoController.seek_to_ms(ms); }
            // The nearest preview picture, labelled with the time under the
            // pointer (the picture itself is the segment's).
            onHovered: function (ms, gx, gy) {
                var p = Data.nearestPreview(root.previews, ms, Math.max(60000, timeline.span() / 40));
                if (p)
                    previewPopup.show_preview(p.path, T.hms(ms), Math.round(gx), Math.round(gy));
                else
                    previewPopup.hide_preview();
            }
            onHoverEnded: previewPopup.hide_preview()
        }
    }

    // Capture, Exporter and Intégrité: after the speeds, or in the legend's
    // row when the view is narrow.
    Component {
        id: toolsComponent
        Row {
            spacing: 2
            enabled: root.hasCamera
            IconButton {
                objectName: "snapshotButton"
                iconName: "snapshot"
                label: root.compact ? "" : qsTr("Capture")
                tip: qsTr("Enregistrer l'image affichée")
                onClicked: {
                    var path = videoController.take_snapshot();
                    if (path.length > 0)
                        root.toast(qsTr("Capture enregistrée : %1").arg(path));
                }
            }
            IconButton {
                objectName: "exportButton"
                iconName: "export"
                label: root.compact ? "" : qsTr("Exporter")
                tip: qsTr("Exporter une période de cette caméra")
                onClicked: videoController.video_export()
            }
            IconButton {
                objectName: "integrityButton"
                iconName: "shield"
                label: root.compact ? "" : qsTr("Intégrité")
                tip: qsTr("Vérifier l'intégrité du jour")
                onClicked: videoController.check_integrity()
            }
        }
    }

    // Short confirmations (snapshot written)
    Rectangle {
        visible: root.toastText.length > 0
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 12
        width: Math.min(parent.width - 40, toastLabel.implicitWidth + 28)
        height: toastLabel.implicitHeight + 14
        radius: Theme.radius
        color: Theme.raised
        border.color: Theme.accent
        Text {
            id: toastLabel
            anchors.centerIn: parent
            width: parent.width - 28
            elide: Text.ElideMiddle
            horizontalAlignment: Text.AlignHCenter
            text: root.toastText
            color: Theme.text
            font.pixelSize: Theme.fontSmall + 1
        }
        Timer {
            id: toastTimer
            interval: 3500
            onTriggered: root.toastText = ""
        }
    }
}
