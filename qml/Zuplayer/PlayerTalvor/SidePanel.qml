import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import "components"
import "styles"
import "components/Data.js" as Data

// The side panel: the export folder, its recorded days and the day's
// cameras (home tab), the day's alarms and its markers.
Rectangle {
    id: root
    objectName: "sidePanel"
    color: Theme.panel

    property int currentTab: 0
    property var days: []
    property var cameras: []          // [{id, name}]
    readonly property var cameraNames: Data.names(cameras)
    property string pendingDay: ""    // the day being scanned
    readonly property string selectedDay: pendingDay.length > 0 ? pendingDay : videoController.selectedDay
    readonly property string selectedCamera: videoController.selectedCamera
    property bool loadingCameras: false
    property string cameraError: ""
    property var alarms: []
    property var markers: []
    property string rememberedCamera: ""
    property var cameraRanges: []     // merged spans of the selected camera

    // Opening a folder: list its days and show the last one.
    function openFolder(path) {
        if (!path || path.length === 0)
            return;
        cameras = [];
        alarms = [];
        markers = [];
        cameraError = "";
        if (!videoController.set_export_folder(path)) {
            days = [];
            return;
        }
        days = Data.days(videoController.get_available_days());
        if (days.length > 0)
            selectDay(videoController.selectedDay.length > 0 ? videoController.selectedDay : days[days.length - 1]);
    }

    function selectDay(day) {
        if (!day)
            return;
        if (videoController.selectedCamera.length > 0)
            rememberedCamera = videoController.selectedCamera;
        pendingDay = day;
        loadingCameras = true;
        cameraError = "";
        cameras = [];
        videoController.get_cameras_for_date_async(day);
    }

    function selectCamera(name) {
        if (!name)
            return;
        rememberedCamera = name;
        videoController.set_selected_camera(name);
    }

    function refreshDayLists() {
        alarms = Data.alarms(videoController.day_alarm_list_string(-1));
        markers = Data.markers(videoController.day_tags_list_string(-1));
        cameraRanges = Data.ranges(videoController.day_recording_ranges(-2));
    }
    function countFor(list) {
        var id = videoController.selectedCameraId;
        return list.filter(function (e) { return e.cameraId === id; }).length;
    }
    function recordedTotal() {
        var total = 0;
        for (var i = 0; i < cameraRanges.length; ++i)
            total += cameraRanges[i].end - cameraRanges[i].start;
        return total;
    }

    // An event of another camera switches to that camera first.
    function showEvent(event) {
        if (event.camera && event.camera.length > 0 && event.camera !== videoController.selectedCamera
                && root.cameraNames.indexOf(event.camera) >= 0)
            root.selectCamera(event.camera);
        videoController.seek_to_ms(event.time);
    }

    Connections {
        target: videoController
        function onCamerasForDateReady(date, list) {
            if (date !== root.pendingDay && root.pendingDay.length > 0)
                return;
            root.pendingDay = "";
            root.loadingCameras = false;
            root.cameras = Data.cameras(list);
            Qt.callLater(root.refreshDayLists);
            if (root.cameras.length === 0)
                return;
            var names = root.cameraNames;
            root.selectCamera(names.indexOf(root.rememberedCamera) >= 0 ? root.rememberedCamera : names[0]);
        }
        function onCamerasForDateError(date, message) {
            if (date !== root.pendingDay && root.pendingDay.length > 0)
                return;
            root.pendingDay = "";
            root.loadingCameras = false;
            root.cameras = [];
            root.cameraError = "" + message;
            Qt.callLater(root.refreshDayLists);
        }
        // Once for all the changes of one step (a day read, a camera chosen),
        // and after the camera's first picture is on its way.
        function onDayListsChanged() { Qt.callLater(root.refreshDayLists); }
        function onSelectedCameraChanged() { Qt.callLater(root.refreshDayLists); }
    }

    Component.onCompleted: {
        var initial = ZuFolderDialogController.initial_folder();
        if (initial.length > 0)
            Qt.callLater(root.openFolder, initial);
    }

    // Header
    Item {
        id: header
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        height: 58
        Image {
            id: logo
            anchors.left: parent.left
            anchors.leftMargin: 16
            anchors.verticalCenter: parent.verticalCenter
            width: 30
            height: 30
            sourceSize.width: 60
            sourceSize.height: 60
            source: AppInfo.icon("logo")
        }
        Column {
            anchors.left: logo.right
            anchors.leftMargin: 10
            anchors.verticalCenter: parent.verticalCenter
            spacing: 1
            Text {
                text: AppInfo.productName
                color: Theme.text
                font.pixelSize: Theme.fontTitle
                font.weight: Font.Bold
                font.letterSpacing: 1.5
            }
            Text {
                text: qsTr("Lecteur d'exportations · version %1").arg(AppInfo.version)
                color: Theme.textFaint
                font.pixelSize: Theme.fontSmall
            }
        }
        Rectangle {
            anchors.bottom: parent.bottom
            width: parent.width
            height: 1
            color: Theme.border
        }
    }

    // Tabs
    Row {
        id: tabs
        anchors.top: header.bottom
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.leftMargin: 8
        anchors.rightMargin: 8
        height: 58
        TabButtonItem {
            objectName: "homeTab"
            width: tabs.width / 3
            height: tabs.height
            iconName: "home"
            label: qsTr("Accueil")
            active: root.currentTab === 0
            onClicked: root.currentTab = 0
        }
        TabButtonItem {
            objectName: "alarmTab"
            width: tabs.width / 3
            height: tabs.height
            iconName: "bell"
            label: qsTr("Alarmes")
            count: root.alarms.length
            active: root.currentTab === 1
            onClicked: root.currentTab = 1
        }
        TabButtonItem {
            objectName: "markerTab"
            width: tabs.width / 3
            height: tabs.height
            iconName: "bookmark"
            label: qsTr("Marqueurs")
            count: root.markers.length
            active: root.currentTab === 2
            onClicked: root.currentTab = 2
        }
    }
    Rectangle {
        id: tabLine
        anchors.top: tabs.bottom
        width: parent.width
        height: 1
        color: Theme.border
    }

    StackLayout {
        anchors.top: tabLine.bottom
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        currentIndex: root.currentTab

        // Home
        Flickable {
            clip: true
            contentWidth: width
            contentHeight: home.implicitHeight + 32
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }
            ColumnLayout {
                id: home
                x: 16
                y: 16
                width: parent.width - 32
                spacing: 12

                SectionTitle { Layout.fillWidth: true; text: qsTr("Dossier d'exportation") }
                Rectangle {
                    Layout.fillWidth: true
                    implicitHeight: folderColumn.implicitHeight + 24
                    radius: Theme.radiusLarge
                    color: Theme.panelAlt
                    border.color: Theme.border
                    ColumnLayout {
                        id: folderColumn
                        anchors.left: parent.left
                        anchors.right: parent.right
                        anchors.top: parent.top
                        anchors.margins: 12
                        spacing: 10
                        RowLayout {
                            Layout.fillWidth: true
                            spacing: 10
                            Image {
                                Layout.preferredWidth: 22
                                Layout.preferredHeight: 22
                                sourceSize.width: 44
                                sourceSize.height: 44
                                source: AppInfo.icon("folder")
                            }
                            ColumnLayout {
                                Layout.fillWidth: true
                                spacing: 2
                                Text {
                                    Layout.fillWidth: true
                                    objectName: "folderName"
                                    text: videoController.exportFolder.length > 0
                                          ? ZuFolderDialogController.folder_name(videoController.exportFolder)
                                          : qsTr("Aucun dossier ouvert")
                                    elide: Text.ElideMiddle
                                    color: videoController.exportFolder.length > 0 ? Theme.text : Theme.textDim
                                    font.pixelSize: Theme.fontNormal
                                    font.weight: Font.DemiBold
                                }
                                Text {
                                    Layout.fillWidth: true
                                    text: videoController.exportFolder.length > 0
                                          ? (root.days.length === 1 ? qsTr("1 jour enregistré")
                                                                    : qsTr("%1 jours enregistrés").arg(root.days.length))
                                          : qsTr("Choisissez un dossier talvor_…")
                                    elide: Text.ElideRight
                                    color: Theme.textFaint
                                    font.pixelSize: Theme.fontSmall
                                }
                            }
                        }
                        IconButton {
                            objectName: "folderButton"
                            Layout.fillWidth: true
                            primary: true
                            iconName: "folder"
                            label: qsTr("Ouvrir un dossier…")
                            tip: qsTr("Choisir un dossier d'exportation Talvor")
                            onClicked: {
                                var path = ZuFolderDialogController.choose_folder();
                                if (path.length > 0)
                                    root.openFolder(path);
                            }
                        }
                    }
                }

                SectionTitle {
                    Layout.fillWidth: true
                    Layout.topMargin: 6
                    text: qsTr("Jours enregistrés")
                    detail: root.selectedDay.length > 0 ? Data.longDay(root.selectedDay) : ""
                }
                Rectangle {
                    Layout.fillWidth: true
                    implicitHeight: calendar.implicitHeight + 16
                    radius: Theme.radiusLarge
                    color: Theme.panelAlt
                    border.color: Theme.border
                    DayCalendar {
                        id: calendar
                        objectName: "calendar"
                        anchors.left: parent.left
                        anchors.right: parent.right
                        anchors.top: parent.top
                        anchors.margins: 8
                        recordedDays: root.days
                        selectedDay: root.selectedDay
                        onDaySelected: function (day) { root.selectDay(day); }
                    }
                }

                SectionTitle {
                    Layout.fillWidth: true
                    Layout.topMargin: 6
                    text: qsTr("Caméras du jour")
                    detail: root.cameras.length > 0 ? "" + root.cameras.length : ""
                }
                CameraList {
                    objectName: "cameraList"
                    Layout.fillWidth: true
                    cameras: root.cameraNames
                    selected: root.selectedCamera
                    onCameraChosen: function (name) { root.selectCamera(name); }
                }
                Row {
                    visible: root.loadingCameras
                    spacing: 10
                    BusyIndicator {
                        width: 24
                        height: 24
                        running: root.loadingCameras
                    }
                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        text: qsTr("Lecture des caméras du jour…")
                        color: Theme.textDim
                        font.pixelSize: Theme.fontNormal
                    }
                }
                Text {
                    Layout.fillWidth: true
                    visible: root.cameraError.length > 0
                    text: root.cameraError
                    wrapMode: Text.WordWrap
                    color: Theme.alarm
                    font.pixelSize: Theme.fontNormal
                }
                EmptyState {
                    Layout.fillWidth: true
                    visible: !root.loadingCameras && root.cameras.length === 0 && root.cameraError.length === 0
                    iconName: "camera"
                    title: root.selectedDay.length > 0 ? qsTr("Aucune caméra pour ce jour")
                                                       : qsTr("Ouvrez un dossier pour voir ses caméras")
                }

                SectionTitle {
                    Layout.fillWidth: true
                    Layout.topMargin: 6
                    visible: root.selectedCamera.length > 0
                    text: qsTr("Résumé de la caméra")
                }
                Rectangle {
                    objectName: "daySummary"
                    Layout.fillWidth: true
                    visible: root.selectedCamera.length > 0
                    implicitHeight: summary.implicitHeight + 20
                    radius: Theme.radiusLarge
                    color: Theme.panelAlt
                    border.color: Theme.border
                    GridLayout {
                        id: summary
                        anchors.left: parent.left
                        anchors.right: parent.right
                        anchors.top: parent.top
                        anchors.margins: 10
                        columns: 2
                        rowSpacing: 6
                        columnSpacing: 12
                        Text { text: qsTr("Enregistré"); color: Theme.textDim; font.pixelSize: Theme.fontNormal }
                        Text {
                            Layout.fillWidth: true
                            horizontalAlignment: Text.AlignRight
                            text: root.cameraRanges.length > 0
                                  ? qsTr("%1 – %2").arg(Data.hms(root.cameraRanges[0].start))
                                                    .arg(Data.hms(root.cameraRanges[root.cameraRanges.length - 1].end))
                                  : "—"
                            color: Theme.text
                            font.pixelSize: Theme.fontNormal
                            font.family: Theme.monoFamily
                        }
                        Text { text: qsTr("Durée"); color: Theme.textDim; font.pixelSize: Theme.fontNormal }
                        Text {
                            Layout.fillWidth: true
                            horizontalAlignment: Text.AlignRight
                            text: Data.duration(root.recordedTotal())
                            color: Theme.text
                            font.pixelSize: Theme.fontNormal
                        }
                        Text { text: qsTr("Alarmes / marqueurs"); color: Theme.textDim; font.pixelSize: Theme.fontNormal }
                        Text {
                            Layout.fillWidth: true
                            horizontalAlignment: Text.AlignRight
                            text: root.countFor(root.alarms) + " / " + root.countFor(root.markers)
                            color: Theme.text
                            font.pixelSize: Theme.fontNormal
                        }
                    }
                }
            }
        }

        // Alarms
        Item {
            SectionTitle {
                id: alarmTitle
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.top: parent.top
                anchors.margins: 16
                text: qsTr("Alarmes du jour")
                detail: root.alarms.length > 0 ? "" + root.alarms.length : ""
            }
            AlarmGrid {
                objectName: "alarmGrid"
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.top: alarmTitle.bottom
                anchors.bottom: parent.bottom
                anchors.margins: 12
                alarms: root.alarms
                onAlarmChosen: function (alarm) { root.showEvent(alarm); }
                onAlarmOpened: function (alarm) { mainWindow.show_picture(alarm.picture, alarm.title); }
            }
            EmptyState {
                anchors.centerIn: parent
                width: parent.width
                visible: root.alarms.length === 0
                iconName: "bell"
                title: qsTr("Aucune alarme pour ce jour")
                detail: qsTr("Les alarmes enregistrées apparaissent ici avec leur vignette.")
            }
        }

        // Markers
        Item {
            SectionTitle {
                id: markerTitle
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.top: parent.top
                anchors.margins: 16
                text: qsTr("Marqueurs du jour")
                detail: root.markers.length > 0 ? "" + root.markers.length : ""
            }
            MarkerList {
                objectName: "markerList"
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.top: markerTitle.bottom
                anchors.bottom: parent.bottom
                anchors.margins: 12
                markers: root.markers
                onMarkerChosen: function (marker) { root.showEvent(marker); }
            }
            EmptyState {
                anchors.centerIn: parent
                width: parent.width
                visible: root.markers.length === 0
                iconName: "bookmark"
                title: qsTr("Aucun marqueur pour ce jour")
                detail: qsTr("Les marqueurs posés pendant l'enregistrement apparaissent ici.")
            }
        }
    }
}
