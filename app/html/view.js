// Draws one matched trace from the JSON in #karvel-data over the map's own roads, and reports what
// it drew in data attributes of <body> (data-fixes, data-placed, data-unmatched, data-pieces,
// data-roads, data-painted; data-status="drawn" at the end, data-error when a script failed), so a
// browser test can compare the page with the result it came from.
(function () {
  'use strict';
  var body = document.body;
  window.addEventListener('error', function (e) {
    body.setAttribute('data-error', String(e.message || e.type));
  });

  var D = JSON.parse(document.getElementById('karvel-data').textContent);
  var SCALE = 1e6;  // coordinates are millionths of a degree, each the step from the one before
  var PALETTE = ['#d7191c', '#2b83ba', '#1a9641', '#7b3294', '#fdae61', '#e7298a', '#008080', '#8c510a'];
  var TOLERANCE = 8;  // pixels within which a click picks a fix or a link

  function undelta(steps) {
    var out = new Float64Array(steps.length), v = 0;
    for (var i = 0; i < steps.length; i++) {
      v += steps[i];
      out[i] = v / SCALE;
    }
    return out;
  }

  function escapeHtml(s) {
    return String(s).replace(/[&<>"']/g, function (c) {
      return {'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;'}[c];
    });
  }

  // Seconds since 1970 for every fix (NaN where the log has no time).
  function times(steps) {
    var out = new Float64Array(steps.length), v = 0;
    for (var i = 0; i < steps.length; i++) {
      if (steps[i] === null) {
        out[i] = NaN;
      } else {
        v += steps[i];
        out[i] = v;
      }
    }
    return out;
  }

  function timeText(t) {
    return isNaN(t) ? 'no time' : new Date(t * 1000).toISOString().replace('.000Z', 'Z');
  }

  // ---- the data, unpacked -------------------------------------------------------------------
  var F = D.fixes;
  var n = F.lat.length;
  var lat = undelta(F.lat), lon = undelta(F.lon), t = times(F.t);
  var snappedLat = new Float64Array(n), snappedLon = new Float64Array(n);
  var placed = 0;
  for (var i = 0; i < n; i++) {
    snappedLat[i] = lat[i] + F.dlat[i] / SCALE;
    snappedLon[i] = lon[i] + F.dlon[i] / SCALE;
    if (F.link[i] > 0) placed++;
  }
  var R = D.roads;
  var nodeLat = undelta(R.lat), nodeLon = undelta(R.lon);
  var roadCount = R.links.length / 4;  // id, origin node, destination node, id of the other way or 0
  var notes = D.notes || {};

  // Fixes seen on each link: first, last, count.
  var onLink = {};
  for (i = 0; i < n; i++) {
    var l = F.link[i];
    if (l <= 0) continue;
    var s = onLink[l] || (onLink[l] = {first: i, last: i, count: 0});
    s.last = i;
    s.count++;
  }

  // ---- the map ------------------------------------------------------------------------------
  var map = L.map('map', {zoomSnap: 0.25, attributionControl: true});
  map.attributionControl.setPrefix('Leaflet');
  map.attributionControl.addAttribution('roads: the matcher\'s own map');
  map.createPane('roads').style.zIndex = 350;
  map.createPane('fixes').style.zIndex = 450;
  map.getPane('roads').style.pointerEvents = 'none';
  map.getPane('fixes').style.pointerEvents = 'none';

  // Positions in pixels at zoom 0; at zoom z a pixel position is 2^z times these.
  function projectAll(la, lo) {
    var x = new Float64Array(la.length), y = new Float64Array(la.length);
    for (var k = 0; k < la.length; k++) {
      var p = map.project([la[k], lo[k]], 0);
      x[k] = p.x;
      y[k] = p.y;
    }
    return {x: x, y: y};
  }

  // A canvas over the whole view, painted again after every move or zoom.
  var CanvasLayer = L.Layer.extend({
    initialize: function (pane, paint) {
      this._paneName = pane;
      this._paint = paint;
    },
    onAdd: function (m) {
      this._canvas = L.DomUtil.create('canvas', 'leaflet-zoom-hide');
      m.getPane(this._paneName).appendChild(this._canvas);
      m.on('moveend zoomend resize viewreset', this._redraw, this);
      this._redraw();
    },
    onRemove: function (m) {
      m.off('moveend zoomend resize viewreset', this._redraw, this);
      L.DomUtil.remove(this._canvas);
    },
    _redraw: function () {
      var m = this._map, size = m.getSize(), ratio = window.devicePixelRatio || 1, c = this._canvas;
      c.width = size.x * ratio;
      c.height = size.y * ratio;
      c.style.width = size.x + 'px';
      c.style.height = size.y + 'px';
      L.DomUtil.setPosition(c, m.containerPointToLayerPoint([0, 0]));
      var ctx = c.getContext('2d');
      ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
      this._paint(ctx, size, Math.pow(2, m.getZoom()), m.getPixelBounds().min);
    }
  });

  function outside(x, y, size, margin) {
    return x < -margin || y < -margin || x > size.x + margin || y > size.y + margin;
  }

  // ---- roads: two-way roads white, one-way roads yellow with an arrow where there is room -----
  var nodeAt = projectAll(nodeLat, nodeLon);
  function roadEnds(k, scale, origin) {
    var a = R.links[4 * k + 1], b = R.links[4 * k + 2];
    return [nodeAt.x[a] * scale - origin.x, nodeAt.y[a] * scale - origin.y,
            nodeAt.x[b] * scale - origin.x, nodeAt.y[b] * scale - origin.y];
  }
  function strokeRoads(ctx, size, scale, origin, oneWay, colour, width) {
    ctx.beginPath();
    for (var k = 0; k < roadCount; k++) {
      if ((R.links[4 * k + 3] === 0) !== oneWay) continue;
      var e = roadEnds(k, scale, origin);
      if (outside(e[0], e[1], size, 2000) && outside(e[2], e[3], size, 2000)) continue;
      ctx.moveTo(e[0], e[1]);
      ctx.lineTo(e[2], e[3]);
    }
    ctx.strokeStyle = colour;
    ctx.lineWidth = width;
    ctx.stroke();
  }
  function paintRoads(ctx, size, scale, origin) {
    ctx.lineCap = 'round';
    strokeRoads(ctx, size, scale, origin, false, '#9c958a', 7);
    strokeRoads(ctx, size, scale, origin, true, '#b8912a', 7);
    strokeRoads(ctx, size, scale, origin, false, '#ffffff', 5);
    strokeRoads(ctx, size, scale, origin, true, '#fbe7a1', 5);
    ctx.fillStyle = '#7a5c00';
    for (var k = 0; k < roadCount; k++) {
      if (R.links[4 * k + 3] !== 0) continue;
      var e = roadEnds(k, scale, origin), dx = e[2] - e[0], dy = e[3] - e[1];
      var length = Math.sqrt(dx * dx + dy * dy);
      var mx = (e[0] + e[2]) / 2, my = (e[1] + e[3]) / 2;
      if (length < 30 || outside(mx, my, size, 10)) continue;
      var ux = dx / length, uy = dy / length;
      ctx.beginPath();
      ctx.moveTo(mx + 5 * ux, my + 5 * uy);
      ctx.lineTo(mx - 4 * ux + 4 * uy, my - 4 * uy - 4 * ux);
      ctx.lineTo(mx - 4 * ux - 4 * uy, my - 4 * uy + 4 * ux);
      ctx.closePath();
      ctx.fill();
    }
  }
  var roads = new CanvasLayer('roads', paintRoads);

  // ---- fixes: each joined to where it was placed; crowded fixes share one dot on screen ------
  var fixAt = projectAll(lat, lon), placedAt = projectAll(snappedLat, snappedLon);
  var CELL = 5;  // pixels: of the fixes falling in one cell, only the first is painted
  function paintFixes(ctx, size, scale, origin) {
    var taken = new Set(), shown = [], unmatched = [];
    for (var k = 0; k < n; k++) {
      var x = fixAt.x[k] * scale - origin.x, y = fixAt.y[k] * scale - origin.y;
      if (outside(x, y, size, 10)) continue;
      if (F.link[k] <= 0) {
        unmatched.push(k);  // always painted: they are what a reader looks for
        continue;
      }
      var key = Math.floor(x / CELL) * 65536 + Math.floor(y / CELL);
      if (taken.has(key)) continue;
      taken.add(key);
      shown.push(k);
    }
    ctx.beginPath();
    shown.forEach(function (k) {
      ctx.moveTo(fixAt.x[k] * scale - origin.x, fixAt.y[k] * scale - origin.y);
      ctx.lineTo(placedAt.x[k] * scale - origin.x, placedAt.y[k] * scale - origin.y);
    });
    ctx.strokeStyle = 'rgba(40, 40, 40, 0.55)';
    ctx.lineWidth = 1;
    ctx.stroke();
    function dots(list, at, radius, fill, stroke) {
      ctx.beginPath();
      list.forEach(function (k) {
        var x = at.x[k] * scale - origin.x, y = at.y[k] * scale - origin.y;
        ctx.moveTo(x + radius, y);
        ctx.arc(x, y, radius, 0, 2 * Math.PI);
      });
      ctx.fillStyle = fill;
      ctx.fill();
      if (stroke) {
        ctx.strokeStyle = stroke;
        ctx.lineWidth = 1.5;
        ctx.stroke();
      }
    }
    // Placed points crowd on the road itself: thinned on their own, so the route shows between them.
    var takenOnRoad = new Set();
    var shownPlaced = shown.filter(function (k) {
      var key = Math.floor((placedAt.x[k] * scale - origin.x) / (2 * CELL)) * 65536 +
                Math.floor((placedAt.y[k] * scale - origin.y) / (2 * CELL));
      if (takenOnRoad.has(key)) return false;
      takenOnRoad.add(key);
      return true;
    });
    dots(shownPlaced, placedAt, 2, '#ffffff', '#222222');
    dots(shown, fixAt, 2.5, 'rgba(31, 78, 156, 0.8)', null);
    dots(unmatched, fixAt, 4.5, '#ff2d2d', '#7a0000');
    body.setAttribute('data-painted', String(shown.length + unmatched.length));
  }
  var fixes = new CanvasLayer('fixes', paintFixes);

  // ---- the decided route: a line per piece, each in its own colour ----------------------------
  var route = L.layerGroup();
  D.pieces.forEach(function (piece, k) {
    var lines = piece.lines.map(function (line) {
      var la = undelta(line.lat), lo = undelta(line.lon), out = [];
      for (var j = 0; j < la.length; j++) out.push([la[j], lo[j]]);
      return out;
    });
    L.polyline(lines, {
      color: PALETTE[k % PALETTE.length], weight: 5, opacity: 1, interactive: false,
      className: 'karvel-piece'
    }).addTo(route);
  });

  function endMarker(k, text, cls) {
    return L.marker([lat[k], lon[k]], {
      icon: L.divIcon({className: 'karvel-end ' + cls, html: text, iconSize: [20, 20]}),
      interactive: false, keyboard: false
    });
  }
  var ends = L.layerGroup();
  if (n > 0) {
    endMarker(0, 'S', 'karvel-start').addTo(ends);
    endMarker(n - 1, 'E', 'karvel-finish').addTo(ends);
  }

  // ---- clicks: the nearest fix, else the nearest road link ------------------------------------
  function notesHtml(link) {
    var note = notes[link];
    if (!note) return '';
    var rows = '';
    if (note.way !== undefined) rows += '<tr><th>way</th><td>' + escapeHtml(note.way) + '</td></tr>';
    if (note.name !== undefined) rows += '<tr><th>name</th><td>' + escapeHtml(note.name) + '</td></tr>';
    if (note.speed !== undefined)
      rows += '<tr><th>speed limit</th><td>' + escapeHtml(note.speed) + ' km/h</td></tr>';
    return rows;
  }
  function fixHtml(k) {
    var rows = '<tr><th>time</th><td>' + timeText(t[k]) + '</td></tr>' +
               '<tr><th>recorded</th><td>' + lat[k].toFixed(6) + ', ' + lon[k].toFixed(6) + '</td></tr>';
    if (F.link[k] > 0) {
      rows += '<tr><th>link</th><td>' + F.link[k] + '</td></tr>' + notesHtml(F.link[k]) +
              '<tr><th>from the road</th><td>' + (F.dist[k] / 10).toFixed(1) + ' m</td></tr>' +
              '<tr><th>piece</th><td>' + (F.piece[k] + 1) + '</td></tr>';
    } else {
      rows += '<tr><th>link</th><td class="karvel-bad">not matched</td></tr>';
    }
    return '<b>Fix ' + k + '</b><table>' + rows + '</table>';
  }
  function linkHtml(k) {
    var id = R.links[4 * k], back = R.links[4 * k + 3];
    var rows = '<tr><th>link</th><td>' + id + (back ? ' (the other way: ' + back + ')' : ' (one-way)') +
               '</td></tr>' + notesHtml(id);
    [id, back].forEach(function (l) {
      var s = onLink[l];
      if (!s) return;
      rows += '<tr><th>on ' + l + '</th><td>' + s.count + ' fixes, ' + timeText(t[s.first]) + ' to ' +
              timeText(t[s.last]) + '</td></tr>';
    });
    return '<b>Road</b><table>' + rows + '</table>';
  }
  function nearestFix(px, py, tolerance) {
    var best = -1, bestD = tolerance * tolerance;
    for (var k = 0; k < n; k++) {
      var dx = fixAt.x[k] - px, dy = fixAt.y[k] - py, d = dx * dx + dy * dy;
      if (d <= bestD) {
        best = k;
        bestD = d;
      }
    }
    return best;
  }
  function nearestRoad(px, py, tolerance) {
    var best = -1, bestD = tolerance * tolerance;
    for (var k = 0; k < roadCount; k++) {
      var e = roadEnds(k, 1, {x: 0, y: 0}), dx = e[2] - e[0], dy = e[3] - e[1], len = dx * dx + dy * dy;
      var u = len > 0 ? Math.max(0, Math.min(1, ((px - e[0]) * dx + (py - e[1]) * dy) / len)) : 0;
      var ex = e[0] + u * dx - px, ey = e[1] + u * dy - py, d = ex * ex + ey * ey;
      if (d < bestD) {
        best = k;
        bestD = d;
      }
    }
    return best;
  }
  map.on('click', function (e) {
    var p = map.project(e.latlng, 0), tolerance = TOLERANCE / Math.pow(2, map.getZoom());
    var k = map.hasLayer(fixes) ? nearestFix(p.x, p.y, tolerance) : -1;
    if (k >= 0) {
      L.popup().setLatLng([lat[k], lon[k]]).setContent(fixHtml(k)).openOn(map);
      return;
    }
    k = nearestRoad(p.x, p.y, tolerance);
    if (k >= 0) L.popup().setLatLng(e.latlng).setContent(linkHtml(k)).openOn(map);
  });

  // Hovering over a fix names it; one search per animation frame at most.
  var hover = L.tooltip({direction: 'top', offset: [0, -6]}), hoverPending = false;
  map.on('mousemove', function (e) {
    if (hoverPending) return;
    hoverPending = true;
    L.Util.requestAnimFrame(function () {
      hoverPending = false;
      var p = map.project(e.latlng, 0), tolerance = TOLERANCE / Math.pow(2, map.getZoom());
      var k = map.hasLayer(fixes) ? nearestFix(p.x, p.y, tolerance) : -1;
      map.getContainer().style.cursor = k >= 0 ? 'pointer' : '';
      if (k < 0) {
        map.closeTooltip(hover);
        return;
      }
      hover.setLatLng([lat[k], lon[k]]).setContent(
          'Fix ' + k + ' · ' + timeText(t[k]) + ' · ' + (F.link[k] > 0 ? 'link ' + F.link[k] : 'not matched'));
      map.openTooltip(hover);
    });
  });

  // ---- the view -------------------------------------------------------------------------------
  var bounds = L.latLngBounds([]);
  for (i = 0; i < n; i++) bounds.extend([lat[i], lon[i]]);
  if (bounds.isValid()) {
    map.fitBounds(bounds, {paddingTopLeft: [20, 20], paddingBottomRight: [340, 20]});  // clear of the panel
  } else {
    map.setView([0, 0], 2);
  }
  roads.addTo(map);
  route.addTo(map);
  fixes.addTo(map);
  ends.addTo(map);
  L.control.layers(null, {
    'roads of the map': roads, 'decided route': route, 'fixes and where they were placed': fixes,
    'start and end': ends
  }, {collapsed: false, position: 'bottomright'}).addTo(map);

  body.setAttribute('data-fixes', String(n));
  body.setAttribute('data-placed', String(placed));
  body.setAttribute('data-unmatched', String(n - placed));
  body.setAttribute('data-pieces', String(route.getLayers().length));
  body.setAttribute('data-roads', String(roadCount));
  body.setAttribute('data-status', 'drawn');
})();
