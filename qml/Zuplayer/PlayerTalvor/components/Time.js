.pragma library

// Time helpers shared by the views. Positions on the timeline are
// milliseconds of the day; texts exchanged with the controller are
// "yyyyMMddHHmmss".

var DAY_MS = 86400000;

function pad(n, width) {
    var s = "" + Math.floor(Math.abs(n));
    while (s.length < (width || 2))
        s = "0" + s;
    return s;
}

// 3723000 -> "01:02:03"
function hms(ms) {
    if (ms === undefined || ms === null || isNaN(ms) || ms < 0)
        return "--:--:--";
    var t = Math.floor(ms / 1000);
    return pad(Math.floor(t / 3600)) + ":" + pad(Math.floor(t / 60) % 60) + ":" + pad(t % 60);
}

// 3723000 -> "01:02"
function hm(ms) {
    var t = Math.floor(ms / 60000);
    return pad(Math.floor(t / 60)) + ":" + pad(t % 60);
}

// "2024-01-05" and 3723000 -> "20240105010203"
function stamp(day, ms) {
    if (!day || day.length < 10 || ms < 0)
        return "";
    var t = Math.floor(Math.min(ms, DAY_MS - 1) / 1000);
    return day.substr(0, 4) + day.substr(5, 2) + day.substr(8, 2) +
           pad(Math.floor(t / 3600)) + pad(Math.floor(t / 60) % 60) + pad(t % 60);
}

// Milliseconds of the day of a time text: "yyyyMMddHHmmss[zzz]",
// "HHmmss", "HH:mm:ss", "yyyy-MM-dd HH:mm:ss[.zzz]" or a number of ms.
// -1 when the text says nothing usable.
function msOfText(value) {
    if (value === undefined || value === null)
        return -1;
    if (typeof value === "number")
        return (value >= 0 && value < DAY_MS) ? value : -1;
    var s = ("" + value).trim();
    var m = /^(\d{4})-?(\d{2})-?(\d{2})[ T]?(\d{2}):?(\d{2}):?(\d{2})(?:[.:]?(\d{3}))?$/.exec(s);
    if (m)
        return toMs(m[4], m[5], m[6], m[7]);
    m = /^(\d{2}):?(\d{2}):?(\d{2})(?:[.:]?(\d{3}))?$/.exec(s);
    if (m)
        return toMs(m[1], m[2], m[3], m[4]);
    if (/^\d+$/.test(s)) {
        var n = parseInt(s, 10);
        return (n >= 0 && n < DAY_MS) ? n : -1;
    }
    return -1;
}

function toMs(h, mi, se, ms) {
    var H = parseInt(h, 10), M = parseInt(mi, 10), S = parseInt(se, 10);
    if (H > 23 || M > 59 || S > 59)
        return -1;
    return ((H * 60 + M) * 60 + S) * 1000 + (ms ? parseInt(ms, 10) : 0);
}

// "2024-01-05" -> "vendredi 5 janvier 2024"
function longDay(day) {
    if (!day || day.length < 10)
        return "";
    var d = new Date(parseInt(day.substr(0, 4), 10), parseInt(day.substr(5, 2), 10) - 1,
                     parseInt(day.substr(8, 2), 10));
    if (isNaN(d.getTime()))
        return day;
    return d.toLocaleDateString(Qt.locale("fr_FR"), "dddd d MMMM yyyy");
}

// Merges sorted minute starts (ms) into [start, end) ranges.
function mergeMinutes(starts) {
    var sorted = starts.slice().sort(function (a, b) { return a - b; });
    var out = [];
    for (var i = 0; i < sorted.length; ++i) {
        var s = sorted[i], e = s + 60000;
        if (out.length > 0 && s <= out[out.length - 1].end)
            out[out.length - 1].end = Math.max(out[out.length - 1].end, e);
        else
            out.push({ start: s, end: e });
    }
    return out;
}
