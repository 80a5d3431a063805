import QtQuick
import "../styles"
import "Time.js" as T

// The 24-hour timeline: recorded ranges, alarms and markers on a track with
// a ruler above it and an overview of the whole day below it. The cursor is
// the playing position; a click or a drag on the track moves it and asks for
// a seek when the button is released. The wheel zooms around the pointer,
// shift+wheel or a drag of the overview's window pans.
Item {
    id: root

    property var ranges: []      // [{start, end}] ms of the day
    property var alarms: []      // [{time, label}]
    property var markers: []     // [{time, label}]
    property real position: -1   // ms of the day, -1 without a position
    property real viewStart: 0
    property real viewEnd: T.DAY_MS
    readonly property real minSpan: 60000
    readonly property bool dragging: trackArea.pressed && (trackArea.pressedButtons & Qt.LeftButton) !== 0
    property real dragPosition: -1
    readonly property real shownPosition: dragging ? dragPosition : position
    property bool follow: true

    signal seekRequested(real ms)
    signal hovered(real ms, real globalX, real globalY)
    signal hoverEnded()

    implicitHeight: 112

    function span() { return viewEnd - viewStart; }
    function xOf(ms) { return (ms - viewStart) / span() * track.width; }
    function msAt(x) { return Math.max(0, Math.min(T.DAY_MS - 1, viewStart + x / track.width * span())); }

    function setView(start, end) {
        var s = Math.max(minSpan, Math.min(T.DAY_MS, end - start));
        start = Math.max(0, Math.min(T.DAY_MS - s, start));
        viewStart = start;
        viewEnd = start + s;
    }
    function zoomAround(ms, factor) {
        var s = Math.max(minSpan, Math.min(T.DAY_MS, span() * factor));
        var frac = (ms - viewStart) / span();
        setView(ms - frac * s, ms - frac * s + s);
    }
    function zoomIn() { zoomAround(position >= 0 ? position : (viewStart + viewEnd) / 2, 0.5); }
    function zoomOut() { zoomAround(position >= 0 ? position : (viewStart + viewEnd) / 2, 2.0); }
    function showWholeDay() { setView(0, T.DAY_MS); }
    // Frames the recorded part of the day with a little air around it.
    function fitRecording() {
        if (!ranges || ranges.length === 0) {
            showWholeDay();
            return;
        }
        var a = ranges[0].start, b = ranges[ranges.length - 1].end;
        var pad = Math.max(30000, (b - a) * 0.04);
        setView(a - pad, b + pad);
    }
    function hasRecordingAt(ms) {
        for (var i = 0; i < ranges.length; ++i)
            if (ms >= ranges[i].start && ms < ranges[i].end)
                return true;
        return false;
    }

    // Keeps the cursor in view while playing, unless the user is dragging.
    onPositionChanged: {
        if (!follow || dragging || position < 0)
            return;
        if (position < viewStart || position > viewEnd) {
            var s = span();
            setView(position - s * 0.1, position - s * 0.1 + s);
        }
    }

    // Tick steps: the smallest one whose labels stay 80 px apart.
    readonly property var tickModel: {
        var steps = [1000, 5000, 10000, 30000, 60000, 300000, 600000, 900000, 1800000,
                     3600000, 7200000, 10800000];
        var w = Math.max(1, track.width);
        var major = steps[steps.length - 1];
        for (var i = 0; i < steps.length; ++i) {
            if (steps[i] / span() * w >= 80) {
                major = steps[i];
                break;
            }
        }
        var minor = major / (major === 3600000 || major === 10800000 || major === 1800000 ? 6 : 5);
        if (major === 7200000) minor = 1800000;
        var out = [];
        var first = Math.ceil(viewStart / minor) * minor;
        for (var t = first; t <= viewEnd && out.length < 400; t += minor) {
            var isMajor = Math.abs(t / major - Math.round(t / major)) < 1e-6;
            out.push({ ms: t, major: isMajor, withSeconds: major < 60000 });
        }
        return out;
    }

    // Ruler
    Item {
        id: ruler
        anchors.left: track.left
        anchors.right: track.right
        anchors.top: parent.top
        height: 22
        clip: true
        Repeater {
            model: root.tickModel
            Item {
                x: root.xOf(modelData.ms)
                height: ruler.height
                Rectangle {
                    anchors.bottom: parent.bottom
                    width: 1
                    height: modelData.major ? 8 : 4
                    color: modelData.major ? Theme.textFaint : Theme.border
                }
                Text {
                    visible: modelData.major && parent.x >= implicitWidth / 2 && parent.x <= ruler.width - implicitWidth / 2
                    anchors.horizontalCenter: parent.left
                    anchors.top: parent.top
                    text: modelData.ms >= T.DAY_MS ? "24:00"
                          : (modelData.withSeconds ? T.hms(modelData.ms) : T.hm(modelData.ms))
                    color: Theme.textDim
                    font.pixelSize: Theme.fontSmall
                    font.family: Theme.monoFamily
                }
            }
        }
    }

    // Track
    Rectangle {
        id: track
        objectName: "timelineTrack"
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: ruler.bottom
        height: 46
        radius: 4
        color: Theme.panelAlt
        border.color: Theme.border
        clip: true

        // Vertical guides on the major ticks.
        Repeater {
            model: root.tickModel
            Rectangle {
                visible: modelData.major
                x: root.xOf(modelData.ms)
                width: 1
                height: track.height
                color: "#20ffffff"
            }
        }

        Repeater {
            objectName: "recordedRanges"
            model: root.ranges
            Rectangle {
                x: Math.max(-2, root.xOf(modelData.start))
                width: Math.max(2, Math.min(track.width + 2, root.xOf(modelData.end)) - x)
                y: 8
                height: track.height - 16
                radius: 2
                color: Theme.recorded
                opacity: 0.85
            }
        }

        Repeater {
            model: root.markers
            Item {
                x: root.xOf(modelData.time)
                visible: x >= -6 && x <= track.width + 6
                height: track.height
                Rectangle {
                    width: 2
                    height: track.height
                    x: -1
                    color: Theme.marker
                }
                Rectangle {
                    x: -4
                    y: 3
                    width: 8
                    height: 8
                    radius: 1
                    rotation: 45
                    color: Theme.marker
                }
            }
        }

        Repeater {
            model: root.alarms
            Item {
                x: root.xOf(modelData.time)
                visible: x >= -6 && x <= track.width + 6
                height: track.height
                Rectangle {
                    width: 2
                    x: -1
                    y: track.height - 14
                    height: 14
                    color: Theme.alarm
                }
                Rectangle {
                    x: -4
                    y: track.height - 8
                    width: 8
                    height: 8
                    radius: 4
                    color: Theme.alarm
                }
            }
        }

        // Hover line
        Rectangle {
            visible: trackArea.containsMouse && !root.dragging
            x: trackArea.mouseX
            width: 1
            height: track.height
            color: "#80ffffff"
        }

        // Cursor
        Item {
            id: cursor
            objectName: "timelineCursor"
            visible: root.shownPosition >= 0 && x >= -10 && x <= track.width + 10
            x: root.xOf(root.shownPosition)
            height: track.height
            Rectangle {
                x: -1
                width: 2
                height: track.height
                color: Theme.cursor
            }
            Rectangle {
                x: -6
                y: 1
                width: 12
                height: 12
                radius: 6
                color: Theme.cursor
                border.color: Theme.accent
                border.width: 3
            }
        }

        MouseArea {
            id: trackArea
            anchors.fill: parent
            hoverEnabled: true
            acceptedButtons: Qt.LeftButton | Qt.RightButton | Qt.MiddleButton
            cursorShape: Qt.PointingHandCursor
            property real panFrom: 0
            property real panStart: 0
            onPressed: function (mouse) {
                if (mouse.button === Qt.LeftButton) {
                    root.dragPosition = root.msAt(mouse.x);
                } else {
                    panFrom = mouse.x;
                    panStart = root.viewStart;
                }
            }
            onPositionChanged: function (mouse) {
                if (pressed && (pressedButtons & Qt.LeftButton)) {
                    root.dragPosition = root.msAt(mouse.x);
                } else if (pressed) {
                    var d = (mouse.x - panFrom) / track.width * root.span();
                    root.setView(panStart - d, panStart - d + root.span());
                }
                var p = mapToGlobal(mouse.x, 0);
                root.hovered(root.msAt(mouse.x), p.x, p.y);
            }
            onReleased: function (mouse) {
                if (mouse.button === Qt.LeftButton) {
                    var ms = root.msAt(mouse.x);
                    root.dragPosition = ms;
                    root.seekRequested(ms);
                }
            }
            onExited: root.hoverEnded()
            onWheel: function (wheel) {
                var dy = wheel.angleDelta.y !== 0 ? wheel.angleDelta.y : wheel.angleDelta.x;
                if ((wheel.modifiers & Qt.ShiftModifier) || wheel.angleDelta.x !== 0) {
                    var d = -dy / 120 * root.span() * 0.1;
                    root.setView(root.viewStart + d, root.viewEnd + d);
                } else {
                    root.zoomAround(root.msAt(wheel.x), dy > 0 ? 0.8 : 1.25);
                }
                wheel.accepted = true;
            }
        }

        // Time under the pointer
        Rectangle {
            visible: trackArea.containsMouse || root.dragging
            readonly property real px: root.dragging ? root.xOf(root.dragPosition) : trackArea.mouseX
            x: Math.max(2, Math.min(track.width - width - 2, px - width / 2))
            y: track.height - height - 2
            width: hoverText.implicitWidth + 12
            height: hoverText.implicitHeight + 4
            radius: 3
            color: "#e0101318"
            border.color: Theme.borderStrong
            Text {
                id: hoverText
                anchors.centerIn: parent
                text: T.hms(root.dragging ? root.dragPosition : root.msAt(trackArea.mouseX))
                color: Theme.text
                font.pixelSize: Theme.fontSmall
                font.family: Theme.monoFamily
            }
        }
    }

    // Overview of the whole day with the visible window.
    Rectangle {
        id: overview
        anchors.left: track.left
        anchors.right: track.right
        anchors.top: track.bottom
        anchors.topMargin: 8
        height: 14
        radius: 3
        color: Theme.panelAlt
        border.color: Theme.border
        clip: true

        Repeater {
            model: root.ranges
            Rectangle {
                x: modelData.start / T.DAY_MS * overview.width
                width: Math.max(1, (modelData.end - modelData.start) / T.DAY_MS * overview.width)
                y: 4
                height: overview.height - 8
                color: Theme.recorded
                opacity: 0.6
            }
        }
        Rectangle {
            visible: root.position >= 0
            x: root.position / T.DAY_MS * overview.width
            width: 1
            height: overview.height
            color: Theme.cursor
        }
        Rectangle {
            id: windowBox
            x: root.viewStart / T.DAY_MS * overview.width
            width: Math.max(6, root.span() / T.DAY_MS * overview.width)
            height: overview.height
            radius: 3
            color: "#303b82f6"
            border.color: Theme.accent
            visible: root.span() < T.DAY_MS - 1
        }
        MouseArea {
            anchors.fill: parent
            cursorShape: Qt.SizeHorCursor
            function centreAt(x) {
                var c = x / overview.width * T.DAY_MS;
                root.setView(c - root.span() / 2, c + root.span() / 2);
            }
            onPressed: function (mouse) { centreAt(mouse.x); }
            onPositionChanged: function (mouse) { if (pressed) centreAt(mouse.x); }
        }
    }
}
