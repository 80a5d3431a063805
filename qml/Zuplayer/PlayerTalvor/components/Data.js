.pragma library
.import "Time.js" as T

// Turns what the controller hands to QML into the plain records the views
// draw. Every reader tolerates missing or malformed input and returns an
// empty list rather than throwing.

function parseJsonArray(text) {
    if (!text)
        return [];
    try {
        var v = JSON.parse(text);
        return Array.isArray(v) ? v : [];
    } catch (e) {
        return [];
    }
}

function toArray(list) {
    if (!list)
        return [];
    var out = [];
    for (var i = 0; i < list.length; ++i)
        out.push(list[i]);
    return out;
}

// get_available_days(): "yyyy-MM-dd" texts.
function days(list) {
    return toArray(list).map(function (d) { return "" + d; })
                        .filter(function (d) { return /^\d{4}-\d{2}-\d{2}$/.test(d); });
}

// camerasForDateReady(): [{id, name, streams, files}] -> [{id, name}]
function cameras(list) {
    var out = [];
    var a = toArray(list);
    for (var i = 0; i < a.length; ++i) {
        var c = a[i];
        if (c === null || c === undefined)
            continue;
        if (typeof c === "string")
            out.push({ id: -1, name: c });
        else
            out.push({ id: c.id !== undefined ? c.id : -1,
                       name: c.name !== undefined ? "" + c.name : qsTrCamera(c.id) });
    }
    return out;
}

function qsTrCamera(id) { return "CAMERA " + id; }

function names(cams) { return cams.map(function (c) { return c.name; }); }

function msOf(item) {
    if (item.ms !== undefined && item.ms !== null && !isNaN(item.ms))
        return Number(item.ms);
    return T.msOfText(item.time);
}

// day_alarm_list_string(): JSON records -> [{time, camera, cameraId, kind, thumb, picture, title}]
function alarms(text) {
    return parseJsonArray(text).map(function (a) {
        return { time: msOf(a), camera: a.cameraName || "", cameraId: a.camera,
                 kind: a.kind || "", thumb: a.thumb || a.path || "", picture: a.path || "",
                 title: a.name || "" };
    }).filter(function (a) { return a.time >= 0; });
}

// day_tags_list_string(): JSON records -> [{time, name, description, camera, cameraId}]
function markers(text) {
    return parseJsonArray(text).map(function (m) {
        return { time: msOf(m), name: m.name || "", description: m.description || "",
                 camera: m.cameraName || "", cameraId: m.camera };
    }).filter(function (m) { return m.time >= 0; });
}

// day_preview_list_string(): JSON records -> [{time, path}] sorted by time
function previews(text) {
    return parseJsonArray(text).map(function (p) {
        return { time: msOf(p), path: p.path || "" };
    }).filter(function (p) { return p.time >= 0 && p.path.length > 0; })
      .sort(function (a, b) { return a.time - b.time; });
}

// day_recording_ranges(): [{start, end, file}] -> merged [{start, end}]
function ranges(list) {
    var a = toArray(list).map(function (r) { return { start: Number(r.start), end: Number(r.end) }; })
        .filter(function (r) { return !isNaN(r.start) && !isNaN(r.end) && r.end >= r.start; })
        .sort(function (x, y) { return x.start - y.start; });
    var out = [];
    for (var i = 0; i < a.length; ++i) {
        var r = a[i];
        // Files that follow each other within two seconds read as one span.
        if (out.length > 0 && r.start <= out[out.length - 1].end + 2000)
            out[out.length - 1].end = Math.max(out[out.length - 1].end, r.end);
        else
            out.push({ start: r.start, end: Math.max(r.end, r.start + 1000) });
    }
    return out;
}

// day_timestamp_list(): minutes of the day -> merged [{start, end}]
function minuteRanges(list) {
    return T.mergeMinutes(toArray(list).map(function (m) { return Number(m) * 60000; })
                                       .filter(function (m) { return !isNaN(m); }));
}

// The preview nearest to `ms` within `tolerance` ms (null when none).
function nearestPreview(list, ms, tolerance) {
    var best = null, bestD = tolerance;
    var lo = 0, hi = list.length - 1;
    while (lo <= hi) {
        var mid = (lo + hi) >> 1;
        if (list[mid].time < ms) lo = mid + 1; else hi = mid - 1;
    }
    for (var i = Math.max(0, lo - 1); i <= Math.min(list.length - 1, lo); ++i) {
        var d = Math.abs(list[i].time - ms);
        if (d <= bestD) { bestD = d; best = list[i]; }
    }
    return best;
}

function longDay(day) { return T.longDay(day); }

function hms(ms) { return T.hms(ms); }

// 754000 -> "12 min 34 s", 3723000 -> "1 h 02 min"
function duration(ms) {
    var s = Math.round(ms / 1000);
    if (s < 60)
        return s + " s";
    if (s < 3600)
        return Math.floor(s / 60) + " min " + T.pad(s % 60) + " s";
    return Math.floor(s / 3600) + " h " + T.pad(Math.floor(s / 60) % 60) + " min";
}
