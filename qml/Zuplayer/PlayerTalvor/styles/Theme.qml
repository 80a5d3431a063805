pragma Singleton
import QtQuick

// Colours and measures shared by every view: a dark surface with one blue
// accent; green, red and amber are kept for recordings, alarms and markers
// so that the timeline and the lists speak the same language.
QtObject {
    readonly property color window: "#0e1014"
    readonly property color panel: "#151920"
    readonly property color panelAlt: "#1a1f27"
    readonly property color raised: "#222833"
    readonly property color hover: "#2a3140"
    readonly property color border: "#2a303c"
    readonly property color borderStrong: "#3a4252"

    readonly property color text: "#e6e9ef"
    readonly property color textDim: "#a3abb9"
    readonly property color textFaint: "#6c7585"

    readonly property color accent: "#3b82f6"
    readonly property color accentHover: "#5b97f8"
    readonly property color accentSoft: "#1d355c"

    readonly property color recorded: "#22c55e"
    readonly property color recordedSoft: "#14532d"
    readonly property color alarm: "#ef4444"
    readonly property color marker: "#f59e0b"
    readonly property color cursor: "#ffffff"

    readonly property int radius: 6
    readonly property int radiusLarge: 10
    readonly property int spacing: 8

    readonly property int fontSmall: 11
    readonly property int fontNormal: 13
    readonly property int fontLarge: 16
    readonly property int fontTitle: 18
    readonly property int fontTimecode: 30
    readonly property string monoFamily: "DejaVu Sans Mono"
}
