// The review page: the detected silences over the waveform, to listen to,
// correct and download. The data comes from the page itself (the two
// <script> elements vxaudio fills in); the drawing is the waveform library's.
// peaks: the waveform library, a global of its own script element.
(function () {
  'use strict';

  const data = JSON.parse(document.getElementById('review-data').textContent);
  const rate = data.sample_rate;
  const audio = document.getElementById('audio');
  const CONTEXT_S = 1;  // heard before and after a clicked silence
  const SHORTEST_S = 0.01;  // a drag shorter than this was a click
  let instance = null;
  let selected = null;
  let stopAt = null;
  let nextId = 0;

  const review = { ready: false, segments, labels, csv, json, loudness, peaks: null };
  window.review = review;

  // printf's "%.6f", as `silence --format labels` writes times: the exact
  // binary value rounded half to even.
  function seconds6(x) {
    const [whole, frac] = Math.abs(x).toFixed(100).split('.');
    let n = BigInt(whole + frac.slice(0, 6));
    const rest = frac.slice(6).replace(/0+$/, '');
    if (rest > '5' || (rest === '5' && n % 2n === 1n)) n += 1n;
    const digits = n.toString().padStart(7, '0');
    return (x < 0 ? '-' : '') + digits.slice(0, -6) + '.' + digits.slice(-6);
  }

  function sorted() {
    return instance ? instance.segments.getSegments().slice()
      .sort((a, b) => a.startTime - b.startTime) : [];
  }

  function segments() {
    return sorted().map((s) => ({ start: s.startTime, end: s.endTime }));
  }

  function labels() {
    return segments().map((s) => seconds6(s.start) + '\t' + seconds6(s.end) + '\tsilence\n')
      .join('');
  }

  function frame(t) {
    return Math.round(t * rate);
  }

  function csv() {
    return 'start,end,start_s,end_s\n' + segments().map((s) => {
      const a = frame(s.start), b = frame(s.end);
      return a + ',' + b + ',' + seconds6(a / rate) + ',' + seconds6(b / rate) + '\n';
    }).join('');
  }

  function json() {
    const list = segments();
    return JSON.stringify({
      file: data.file,
      sample_rate: rate,
      frames: data.frames,
      parameters: data.parameters,
      silences: list.map((s) => [frame(s.start), frame(s.end)]),
      silences_s: list.map((s) => [s.start, s.end]),
    }, null, 2) + '\n';
  }

  function showTable() {
    const body = document.querySelector('#silences tbody');
    const rows = sorted().map((s, i) => {
      const tr = document.createElement('tr');
      tr.dataset.id = s.id;
      if (s === selected) tr.className = 'selected';
      for (const v of [String(i + 1), s.startTime.toFixed(3), s.endTime.toFixed(3),
        (s.endTime - s.startTime).toFixed(3)]) {
        const td = document.createElement('td');
        td.textContent = v;
        tr.appendChild(td);
      }
      return tr;
    });
    body.replaceChildren(...rows);
    const list = sorted();
    const total = list.reduce((sum, s) => sum + s.endTime - s.startTime, 0);
    document.getElementById('summary').textContent = list.length + ' silence' +
      (list.length === 1 ? '' : 's') + ', ' + total.toFixed(1) + ' s of ' +
      (data.frames / rate).toFixed(1) + ' s; ' + rate + ' Hz';
  }

  function select(segment) {
    if (selected && selected !== segment) selected.update({ color: '#ff8c00' });
    selected = segment;
    if (segment) segment.update({ color: '#d62728' });
    showTable();
  }

  // A moved edge may have left it shorter than nothing: keep it in order.
  function touched(segment) {
    if (segment.endTime < segment.startTime) {
      segment.update({ startTime: segment.endTime, endTime: segment.startTime });
    }
    showTable();
  }

  // Plays from a second before the silence to a second after it.
  function hear(segment) {
    audio.currentTime = Math.max(0, segment.startTime - CONTEXT_S);
    stopAt = segment.endTime + CONTEXT_S;
    audio.play();
  }

  function show(time) {
    const view = instance.views.getView('zoomview');
    const span = view.getEndTime() - view.getStartTime();
    if (time < view.getStartTime() || time > view.getEndTime()) {
      view.setStartTime(Math.max(0, time - span / 4));
    }
  }

  // The next (+1) or previous (-1) silence from the playhead.
  function jump(direction) {
    const t = audio.currentTime;
    const list = sorted();
    const target = direction > 0
      ? list.find((s) => s.startTime > t + 0.001)
      : list.reverse().find((s) => s.startTime < t - 0.001);
    if (!target) return;
    stopAt = null;
    instance.player.seek(target.startTime);
    select(target);
    show(target.startTime);
  }

  function remove(segment) {
    if (!segment) return;
    instance.segments.removeById(segment.id);
    selected = null;
    showTable();
  }

  function download(text, type, suffix) {
    const base = String(data.file).replace(/^.*\//, '').replace(/\.[^.]*$/, '') || 'silences';
    const a = document.createElement('a');
    a.href = URL.createObjectURL(new Blob([text], { type }));
    a.download = base + suffix;
    a.click();
    setTimeout(() => URL.revokeObjectURL(a.href), 1000);
  }

  function decodeBase64(element) {
    const text = atob(element.textContent.trim());
    const bytes = new Uint8Array(text.length);
    for (let i = 0; i < text.length; ++i) bytes[i] = text.charCodeAt(i);
    return bytes;
  }

  // The loudness curve (vxaudio review --loudness): one byte per analysis
  // frame, its place on a log scale from curve.low (0) to curve.high (255).
  const curve = data.loudness || null;
  const curveBytes = curve ? decodeBase64(document.getElementById('review-loudness')) : null;

  function loudness() {
    if (!curve) return null;
    const span = Math.log(curve.high / curve.low);
    return Array.from(curveBytes, (b) => curve.low * Math.exp(span * b / 255));
  }

  // Where `value` (sone) sits on the curve's scale: 0 at the bottom, 1 at the top.
  function curveLevel(value) {
    const span = Math.log(curve.high / curve.low);
    return span > 0 ? Math.log(value / curve.low) / span : 0;
  }

  function frameTime(k) {
    return k === curveBytes.length - 1 ? curve.last_s : k * curve.hop_s;
  }

  // Draws the part of the curve between `start` and `end` seconds over the
  // zoomable waveform, each pixel column spanning the quietest to the
  // loudest frame in it, with the thresholds as dashed lines.
  function drawCurve(canvas, start, end) {
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth, height = canvas.clientHeight;
    canvas.width = Math.round(width * ratio);
    canvas.height = Math.round(height * ratio);
    const g = canvas.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    g.clearRect(0, 0, width, height);
    if (!(end > start) || curveBytes.length === 0) return;
    const pad = 4;
    const y = (level) => pad + (1 - level) * (height - 2 * pad);
    g.font = '10px sans-serif';
    g.lineWidth = 1;
    g.setLineDash([5, 4]);
    const p = data.parameters;
    // The silence threshold's name below its line, the other's above: the
    // two are often a few pixels apart.
    for (const [value, color, name, below] of [[p.silence_loudness, '#d62728', 'silence', 11],
      [p.modulation_loudness, '#9467bd', 'modulation', -3]]) {
      const level = curveLevel(value);
      if (!(level >= 0 && level <= 1)) continue;
      g.strokeStyle = g.fillStyle = color;
      g.beginPath();
      g.moveTo(0, y(level));
      g.lineTo(width, y(level));
      g.stroke();
      g.fillText(name + ' ' + sone(value) + ' sone', 4, y(level) + below);
    }
    g.setLineDash([]);
    g.strokeStyle = '#2a9d3a';
    g.lineWidth = 1.5;
    g.beginPath();
    const perPixel = (end - start) / width;
    const last = curveBytes.length - 1;
    let k = Math.max(0, Math.floor(start / curve.hop_s));
    for (let x = 0; x < width && k <= last; ++x) {
      const until = start + (x + 1) * perPixel;
      let low = 255, high = 0;
      do {
        low = Math.min(low, curveBytes[k]);
        high = Math.max(high, curveBytes[k]);
        ++k;
      } while (k <= last && frameTime(k) < until);
      if (x === 0) g.moveTo(x, y(high / 255)); else g.lineTo(x, y(high / 255));
      if (low !== high) g.lineTo(x, y(low / 255));
    }
    g.stroke();
  }

  function showCurve(created) {
    const view = created.views.getView('zoomview');
    const canvas = document.createElement('canvas');
    canvas.id = 'loudness-curve';
    document.getElementById('zoomview').appendChild(canvas);
    let shown = [view.getStartTime(), view.getEndTime()];
    const draw = () => drawCurve(canvas, shown[0], shown[1]);
    created.on('zoomview.update', (e) => {
      shown = [e.startTime, e.endTime];
      draw();
    });
    window.addEventListener('resize', draw);
    draw();
  }

  function sone(v) {
    return Number(v.toPrecision(4)).toString();
  }

  function showThresholds() {
    const p = data.parameters;
    document.getElementById('thresholds').textContent = 'Thresholds (' + p.thresholds +
      '): silence ' + sone(p.silence_loudness) + ' sone, modulation ' +
      sone(p.modulation_loudness) +
      ' sone; shortest silence ' + p.min_silence + ' s, shortest sound ' + p.min_sound +
      ' s; edges: ' + p.edges;
  }

  function segmentOptions(start, end) {
    return { startTime: start, endTime: end, editable: true, color: '#ff8c00',
      id: 's' + nextId++ };
  }

  function bind() {
    instance.on('segments.click', (e) => {
      e.preventViewEvent();
      select(e.segment);
      hear(e.segment);
    });
    instance.on('segments.dragend', (e) => touched(e.segment));
    instance.on('segments.insert', (e) => {
      const s = e.segment;
      if (s.endTime - s.startTime < SHORTEST_S) {
        instance.segments.removeById(s.id);
        instance.player.seek(s.startTime);
        return;
      }
      s.update({ color: '#ff8c00' });
      select(s);
      touched(s);
    });
    audio.addEventListener('timeupdate', () => {
      if (stopAt !== null && audio.currentTime >= stopAt) {
        stopAt = null;
        audio.pause();
      }
    });
    document.addEventListener('keydown', (e) => {
      if (e.ctrlKey || e.altKey || e.metaKey) return;
      if (e.key === ' ') {
        stopAt = null;
        if (audio.paused) audio.play(); else audio.pause();
      } else if (e.key === 'n' || e.key === 'p') {
        jump(e.key === 'n' ? 1 : -1);
      } else if (e.key === 'Delete' || e.key === 'Backspace') {
        remove(selected);
      } else {
        return;
      }
      e.preventDefault();
    });
    const click = (id, f) => document.getElementById(id).addEventListener('click', (e) => {
      e.currentTarget.blur();  // space stays play and pause
      f();
    });
    click('play', () => {
      stopAt = null;
      if (audio.paused) audio.play(); else audio.pause();
    });
    click('next', () => jump(1));
    click('previous', () => jump(-1));
    click('zoom-in', () => instance.zoom.zoomIn());
    click('zoom-out', () => instance.zoom.zoomOut());
    click('save-labels', () => download(labels(), 'text/plain', '.labels.txt'));
    click('save-json', () => download(json(), 'application/json', '.silences.json'));
    click('save-csv', () => download(csv(), 'text/csv', '.silences.csv'));
    document.querySelector('#silences tbody').addEventListener('click', (e) => {
      const row = e.target.closest('tr');
      const s = row && instance.segments.getSegment(row.dataset.id);
      if (!s) return;
      select(s);
      show(s.startTime);
      hear(s);
    });
  }

  showThresholds();
  const spp = data.samples_per_pixel;
  peaks.init({
    overview: { container: document.getElementById('overview') },
    zoomview: { container: document.getElementById('zoomview'), wheelMode: 'scroll' },
    waveformColor: '#4a6b8a',
    playheadColor: '#000000',
    mediaElement: audio,
    waveformData: {
      arraybuffer: decodeBase64(document.getElementById('review-peaks')).buffer,
    },
    zoomLevels: [1, 2, 4, 8, 16, 32, 64, 128].map((k) => k * spp),
    segmentOptions: { overlay: true, overlayOffset: 0, overlayCornerRadius: 0,
      overlayColor: '#ff8c00', overlayBorderColor: '#ff8c00', overlayOpacity: 0.3,
      startMarkerColor: '#a05000', endMarkerColor: '#a05000' },
    segments: data.silences_s.map(([start, end]) => segmentOptions(start, end)),
  }, (error, created) => {
    if (error) {
      // Most often the sound: moved away from the page, or not there yet.
      document.getElementById('summary').textContent = 'The page could not be drawn (' +
        (error.message || 'error') + '); is the sound, ' +
        decodeURI(audio.getAttribute('src')).slice(0, 200) + ', where the page expects it?';
      return;
    }
    instance = created;
    review.peaks = created;
    const zoomview = created.views.getView('zoomview');
    zoomview.setWaveformDragMode('insert-segment');
    zoomview.setSegmentDragMode('no-overlap');
    bind();
    if (curve) showCurve(created);
    showTable();
    review.ready = true;
  });
})();
