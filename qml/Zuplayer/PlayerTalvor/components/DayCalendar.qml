import QtQuick
import "../styles"
import "Time.js" as T

// A month calendar in French (weeks start on Monday) on which the recorded
// days stand out and are the only ones that can be chosen.
Item {
    id: root
    property var recordedDays: []   // "yyyy-MM-dd"
    property string selectedDay: ""
    property int year: new Date().getFullYear()
    property int month: new Date().getMonth()   // 0-based

    signal daySelected(string day)

    implicitHeight: header.height + weekRow.height + grid.height + 12

    readonly property var recordedSet: {
        var s = {};
        for (var i = 0; i < recordedDays.length; ++i)
            s[recordedDays[i]] = true;
        return s;
    }

    function showDay(day) {
        if (!day || day.length < 10)
            return;
        year = parseInt(day.substr(0, 4), 10);
        month = parseInt(day.substr(5, 2), 10) - 1;
    }
    function shiftMonth(delta) {
        var m = month + delta;
        year += Math.floor(m / 12);
        month = ((m % 12) + 12) % 12;
    }
    function dayText(y, m, d) { return y + "-" + T.pad(m + 1) + "-" + T.pad(d); }

    onSelectedDayChanged: showDay(selectedDay)

    readonly property var cells: {
        var first = new Date(year, month, 1);
        var offset = (first.getDay() + 6) % 7;      // Monday first
        var count = new Date(year, month + 1, 0).getDate();
        var out = [];
        var total = Math.ceil((offset + count) / 7) * 7;
        for (var i = 0; i < total; ++i) {
            var d = i - offset + 1;
            out.push(d >= 1 && d <= count ? d : 0);
        }
        return out;
    }

    Item {
        id: header
        width: parent.width
        height: 34
        IconButton {
            anchors.left: parent.left
            anchors.verticalCenter: parent.verticalCenter
            iconName: "chevron-left"
            tip: qsTr("Mois précédent")
            minWidth: 30
            onClicked: root.shiftMonth(-1)
        }
        Text {
            anchors.centerIn: parent
            text: {
                var name = Qt.locale("fr_FR").standaloneMonthName(root.month, 0);
                return name.charAt(0).toUpperCase() + name.slice(1) + " " + root.year;
            }
            color: Theme.text
            font.pixelSize: Theme.fontLarge
            font.weight: Font.DemiBold
        }
        IconButton {
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            iconName: "chevron-right"
            tip: qsTr("Mois suivant")
            minWidth: 30
            onClicked: root.shiftMonth(1)
        }
    }

    Row {
        id: weekRow
        anchors.top: header.bottom
        anchors.topMargin: 6
        width: parent.width
        height: 20
        Repeater {
            model: [qsTr("lun."), qsTr("mar."), qsTr("mer."), qsTr("jeu."), qsTr("ven."), qsTr("sam."), qsTr("dim.")]
            Text {
                width: weekRow.width / 7
                horizontalAlignment: Text.AlignHCenter
                text: modelData
                color: Theme.textFaint
                font.pixelSize: Theme.fontSmall
            }
        }
    }

    Grid {
        id: grid
        anchors.top: weekRow.bottom
        anchors.topMargin: 4
        columns: 7
        width: parent.width
        readonly property real cell: width / 7
        height: cell * (root.cells.length / 7) * 0.86
        Repeater {
            model: root.cells
            Item {
                id: cellItem
                width: grid.cell
                height: grid.cell * 0.86
                readonly property string day: modelData > 0 ? root.dayText(root.year, root.month, modelData) : ""
                readonly property bool recorded: day.length > 0 && root.recordedSet[day] === true
                readonly property bool selected: day.length > 0 && day === root.selectedDay
                Rectangle {
                    anchors.centerIn: parent
                    width: Math.min(parent.width, parent.height) - 4
                    height: width
                    radius: width / 2
                    visible: modelData > 0
                    color: cellItem.selected ? Theme.accent
                         : cellArea.containsMouse && cellItem.recorded ? Theme.hover
                         : cellItem.recorded ? Theme.raised : "transparent"
                    border.width: cellItem.recorded && !cellItem.selected ? 1 : 0
                    border.color: Theme.recordedSoft
                    Text {
                        anchors.centerIn: parent
                        anchors.verticalCenterOffset: cellItem.recorded && !cellItem.selected ? -2 : 0
                        text: modelData > 0 ? modelData : ""
                        color: cellItem.selected ? "white" : cellItem.recorded ? Theme.text : Theme.textFaint
                        font.pixelSize: Theme.fontNormal
                        font.weight: cellItem.recorded ? Font.DemiBold : Font.Normal
                    }
                    Rectangle {
                        visible: cellItem.recorded && !cellItem.selected
                        anchors.horizontalCenter: parent.horizontalCenter
                        anchors.bottom: parent.bottom
                        anchors.bottomMargin: 4
                        width: 5
                        height: 5
                        radius: 2.5
                        color: Theme.recorded
                    }
                }
                MouseArea {
                    id: cellArea
                    anchors.fill: parent
                    hoverEnabled: true
                    enabled: cellItem.recorded
                    cursorShape: cellItem.recorded ? Qt.PointingHandCursor : Qt.ArrowCursor
                    onClicked: root.daySelected(cellItem.day)
                }
            }
        }
    }
}
