// The Z-FEN editor: three stepped knobs and the modulated cutoff display.
// It talks to the plug-in only through window.chrome.webview; without it the
// page is a preview with local values. Every value change is one gesture on
// the wire: "b" with the value at its start (sent with the first change, so a
// gesture that changes nothing sends nothing), one "s" per whole-number
// change, and "e" with the final value. A drag is one gesture, and so is a
// burst of wheel events; each key press, typed entry, double-click and
// Ctrl-click is one of its own. A gesture always ends: a lost release, a lost
// focus or a hidden page ends it where it is, Escape ends it where it began.
(function () {
  'use strict';

  const SVG_NS = 'http://www.w3.org/2000/svg';
  const DRAG_PX_PER_STEP = 10;
  const FINE_FACTOR = 4; // Shift: four times the travel for one step
  const WHEEL_PX_PER_STEP = 100; // one notch of an ordinary mouse wheel
  const WHEEL_NOTCH_MIN_PX = 30; // smaller deltas come from trackpads
  const WHEEL_GESTURE_MS = 300; // wheel events closer than this are one gesture
  const PAGE_STEP = 5;
  const TRACE_MS = 5000; // the trace shows the last five seconds
  const TRACE_KEEP = 4096; // register values kept for it
  const READOUT_MS = 100; // the numbers change at most ten times a second
  // Knob geometry: the sweep runs from -135° to +135°, 0° at the top.
  const SWEEP = 135;

  const data = window.ZFEN_DATA;
  const notice = document.getElementById('notice');
  if (!data || !Array.isArray(data.params) || !Array.isArray(data.cutoffHz)) {
    notice.textContent = 'zfen-params.js, written by the build, is missing beside this page.';
    notice.hidden = false;
    return;
  }
  const modParam = data.params.find((p) => p.output);
  const webview = window.chrome && window.chrome.webview ? window.chrome.webview : null;

  // ---- value bits -------------------------------------------------------------
  const conv = new DataView(new ArrayBuffer(4));
  function bitsOf(v) {
    conv.setFloat32(0, v);
    return conv.getUint32(0);
  }
  function floatOf(bits) {
    conv.setUint32(0, bits);
    return conv.getFloat32(0);
  }
  function post(letter, index, value) {
    if (webview) webview.postMessage(letter + ' ' + index.toString(16) + ' ' + bitsOf(value).toString(16));
  }

  // ---- SVG helpers --------------------------------------------------------------
  function el(name, attrs, parent) {
    const node = document.createElementNS(SVG_NS, name);
    for (const k in attrs) node.setAttribute(k, attrs[k]);
    if (parent) parent.appendChild(node);
    return node;
  }
  function polar(r, deg) {
    const a = (deg * Math.PI) / 180;
    return [60 + r * Math.sin(a), 60 - r * Math.cos(a)];
  }
  function arc(r, from, to) {
    if (to - from < 0.01) return '';
    const [x0, y0] = polar(r, from);
    const [x1, y1] = polar(r, to);
    const large = to - from > 180 ? 1 : 0;
    return `M${x0.toFixed(3)} ${y0.toFixed(3)}A${r} ${r} 0 ${large} 1 ${x1.toFixed(3)} ${y1.toFixed(3)}`;
  }

  // ---- a stepped knob -----------------------------------------------------------
  let notchPx = WHEEL_PX_PER_STEP; // less where the system's scale makes notches smaller
  // What a step means, as the readout shows it: "2058 Hz", "3.13 Hz", "±7.9 steps".
  function meaning(p, v) {
    const x = p.unitValues[v - p.min];
    if (p.swing) return `±${x.toFixed(1)} ${p.unit}`;
    return `${x >= 100 ? Math.round(x) : x.toPrecision(3)} ${p.unit}`;
  }

  // A typed value: a step, or with "Hz" or "kHz" a frequency, which goes to
  // the nearest step. On a knob whose frequencies all lie above its steps (Cutoff),
  // a bare number above the steps is a frequency too. Out of range is clamped.
  function parseEntry(p, text) {
    const m = /^\s*([+-]?(?:\d+[.,]?\d*|[.,]\d+))\s*(k?hz|k)?\s*$/i.exec(text);
    if (!m) return null;
    const n = parseFloat(m[1].replace(',', '.'));
    const hz = p.unit === 'Hz' && (m[2] !== undefined || (n > p.max && p.unitValues[0] > p.max));
    if (!hz) return Math.min(p.max, Math.max(p.min, Math.round(n))) + 0;
    const f = /^k/i.test(m[2] || '') ? n * 1000 : n;
    let best = 0;
    p.unitValues.forEach((x, i) => {
      if (Math.abs(x - f) < Math.abs(p.unitValues[best] - f)) best = i;
    });
    return p.min + best;
  }

  class Knob {
    constructor(cell, param) {
      this.p = param;
      this.value = param.def;
      this.gesture = null; // {start, begun} while a gesture lasts
      this.drag = null; // {y, cont, id} while dragging
      this.wheelTimer = 0;
      this.wheelPx = 0; // wheel travel not yet a whole step
      this.entry = null; // the text field while a value is typed

      const label = document.createElement('div');
      label.className = 'knob-label';
      label.textContent = param.title;
      label.setAttribute('aria-hidden', 'true');

      const wrap = document.createElement('div');
      wrap.className = 'knob-wrap';
      const knob = document.createElement('div');
      knob.className = 'knob';
      knob.tabIndex = 0;
      knob.setAttribute('role', 'slider');
      knob.setAttribute('aria-label', param.title);
      knob.setAttribute('aria-orientation', 'vertical');
      knob.setAttribute('aria-valuemin', String(param.min));
      knob.setAttribute('aria-valuemax', String(param.max));
      knob.title =
        `${param.title}: drag, scroll or use the arrow keys; Shift for fine steps; type a value; ` +
        `double-click or Ctrl-click for ${param.def}`;
      wrap.appendChild(knob);

      const svg = el('svg', { viewBox: '0 0 120 120', 'aria-hidden': 'true', focusable: 'false' }, knob);
      const gid = `knob-body-${param.index}`;
      const grad = el('radialGradient', { id: gid, cx: '0.4', cy: '0.3', r: '0.8' }, el('defs', {}, svg));
      el('stop', { offset: '0', class: 'body-hi' }, grad);
      el('stop', { offset: '1', class: 'body-lo' }, grad);
      const steps = param.max - param.min;
      this.ticks = [];
      for (let i = 0; i <= steps; ++i) {
        const deg = -SWEEP + (2 * SWEEP * i) / steps;
        const major = i === 0 || i === steps || i % 5 === 0;
        const [x0, y0] = polar(major ? 51 : 53, deg);
        const [x1, y1] = polar(58, deg);
        this.ticks.push(el('line', { x1: x0, y1: y0, x2: x1, y2: y1, class: major ? 'tick major' : 'tick' }, svg));
      }
      el('path', { d: arc(45, -SWEEP, SWEEP), class: 'track' }, svg);
      this.fill = el('path', { class: 'fill' }, svg);
      el('circle', { cx: 60, cy: 60, r: 37, class: 'body-shadow' }, svg);
      el('circle', { cx: 60, cy: 60, r: 35, fill: `url(#${gid})`, class: 'body' }, svg);
      el('circle', { cx: 60, cy: 60, r: 29, class: 'body-cap' }, svg);
      this.pointer = el('line', { class: 'pointer' }, svg);

      // The step and what it means; a click on it opens the entry.
      const readout = document.createElement('div');
      readout.className = 'knob-value';
      readout.setAttribute('aria-hidden', 'true');
      this.stepText = document.createElement('span');
      this.stepText.className = 'step';
      this.meansText = document.createElement('span');
      this.meansText.className = 'means';
      readout.append(this.stepText, this.meansText);
      readout.addEventListener('click', () => this.openEntry(String(this.value)));

      cell.append(label, wrap, readout);
      this.el = knob;
      this.readout = readout;
      this.listen();
      this.render();
    }

    clamp(v) {
      return Math.min(this.p.max, Math.max(this.p.min, v));
    }

    render() {
      const v = this.value;
      const frac = (v - this.p.min) / (this.p.max - this.p.min);
      const deg = -SWEEP + 2 * SWEEP * frac;
      this.fill.setAttribute('d', arc(45, -SWEEP, deg));
      const [x0, y0] = polar(12, deg);
      const [x1, y1] = polar(31, deg);
      this.pointer.setAttribute('x1', x0);
      this.pointer.setAttribute('y1', y0);
      this.pointer.setAttribute('x2', x1);
      this.pointer.setAttribute('y2', y1);
      this.ticks.forEach((t, i) => t.classList.toggle('on', i <= v - this.p.min));
      const means = meaning(this.p, v);
      this.stepText.textContent = String(v);
      this.meansText.textContent = means;
      this.el.setAttribute('aria-valuenow', String(v));
      this.el.setAttribute('aria-valuetext', `${v}, ${means}`);
    }

    // A value from the plug-in; the user's own gesture wins while it lasts.
    setFromHost(v) {
      if (this.gesture) return;
      this.value = v;
      this.render();
    }

    beginGesture() {
      this.gesture = { start: this.value, begun: false };
    }
    moveTo(v) {
      v = this.clamp(v);
      if (v === this.value) return;
      if (!this.gesture.begun) {
        post('b', this.p.index, this.gesture.start);
        this.gesture.begun = true;
      }
      this.value = v;
      this.render();
      post('s', this.p.index, v);
    }
    endGesture() {
      if (this.gesture && this.gesture.begun) post('e', this.p.index, this.value);
      this.gesture = null;
    }
    // Ends whatever gesture is open, drag or wheel, at the last value sent.
    finish() {
      clearTimeout(this.wheelTimer);
      this.wheelPx = 0;
      const d = this.drag;
      if (d) {
        this.drag = null;
        this.el.classList.remove('active');
        if (this.el.hasPointerCapture(d.id)) this.el.releasePointerCapture(d.id);
      }
      this.endGesture();
    }
    // Ends it back where it began.
    cancel() {
      if (this.gesture) this.moveTo(this.gesture.start);
      this.finish();
    }
    // A key press, typed value, double-click or Ctrl-click: a gesture of its
    // own, or part of the drag that is under way.
    step(v) {
      if (this.drag) {
        this.moveTo(v);
        this.drag.cont = this.value;
        return;
      }
      this.finish();
      this.beginGesture();
      this.moveTo(v);
      this.endGesture();
    }

    wheel(e) {
      e.preventDefault();
      if (this.drag) return;
      const unit = e.deltaMode === 1 ? 40 : e.deltaMode === 2 ? 400 : 1;
      // Up and right raise the value.
      const up = (Math.abs(e.deltaX) > Math.abs(e.deltaY) ? e.deltaX : -e.deltaY) * unit;
      if (!up) return;
      // A notch moves one step, as small as the system's scale makes it (the
      // smallest notch-sized delta seen); smaller deltas add up to steps.
      const size = Math.abs(up);
      if (size >= WHEEL_NOTCH_MIN_PX) notchPx = Math.min(notchPx, size);
      if (Math.sign(up) !== Math.sign(this.wheelPx)) this.wheelPx = 0;
      let n;
      if (size >= WHEEL_NOTCH_MIN_PX) {
        n = Math.sign(up) * Math.max(1, Math.round(size / notchPx));
        this.wheelPx = 0;
      } else {
        this.wheelPx += up;
        n = Math.trunc(this.wheelPx / notchPx);
        this.wheelPx -= n * notchPx;
      }
      if (!this.gesture) this.beginGesture();
      this.moveTo(this.value + n);
      clearTimeout(this.wheelTimer);
      this.wheelTimer = setTimeout(() => this.finish(), WHEEL_GESTURE_MS);
    }

    openEntry(text) {
      if (this.entry) return;
      this.finish();
      const input = document.createElement('input');
      input.className = 'knob-value knob-entry';
      input.type = 'text';
      input.inputMode = 'decimal';
      input.autocomplete = 'off';
      input.spellcheck = false;
      input.setAttribute('aria-label', `${this.p.title}: type a step${this.p.unit === 'Hz' ? ' or a frequency' : ''}`);
      input.value = text;
      this.entry = input;
      this.readout.hidden = true;
      this.readout.after(input);
      input.focus();
      input.setSelectionRange(text.length === 1 ? 1 : 0, text.length);
      input.addEventListener('keydown', (e) => {
        if (e.key === 'Enter') {
          e.preventDefault();
          const v = parseEntry(this.p, input.value);
          if (v === null) input.setAttribute('aria-invalid', 'true');
          else this.closeEntry(true, v);
        } else if (e.key === 'Escape') {
          e.preventDefault();
          this.closeEntry(true);
        }
      });
      input.addEventListener('input', () => input.removeAttribute('aria-invalid'));
      input.addEventListener('blur', () => this.closeEntry(false));
    }
    // Enter commits a value, as one gesture; anything else leaves it as it was.
    closeEntry(refocus, v) {
      const input = this.entry;
      if (!input) return;
      this.entry = null;
      input.remove();
      this.readout.hidden = false;
      if (v !== undefined) this.step(v);
      if (refocus) this.el.focus();
    }

    listen() {
      const k = this.el;
      k.addEventListener('pointerdown', (e) => {
        if (e.button !== 0 || this.drag) return;
        if (e.ctrlKey || e.metaKey) {
          this.step(this.p.def);
          return;
        }
        this.finish();
        k.setPointerCapture(e.pointerId);
        this.drag = { y: e.clientY, cont: this.value, id: e.pointerId };
        this.beginGesture();
        k.classList.add('active');
      });
      k.addEventListener('pointermove', (e) => {
        const d = this.drag;
        if (!d || e.pointerId !== d.id) return;
        if (!(e.buttons & 1)) return this.finish(); // the release went elsewhere
        const px = e.shiftKey ? DRAG_PX_PER_STEP * FINE_FACTOR : DRAG_PX_PER_STEP;
        d.cont = this.clamp(d.cont - (e.clientY - d.y) / px);
        d.y = e.clientY;
        this.moveTo(Math.round(d.cont));
      });
      const stop = (e) => {
        if (this.drag && e.pointerId === this.drag.id) this.finish();
      };
      for (const type of ['pointerup', 'pointercancel', 'lostpointercapture']) k.addEventListener(type, stop);
      k.addEventListener('dblclick', (e) => {
        e.preventDefault();
        this.step(this.p.def);
      });
      k.addEventListener('wheel', (e) => this.wheel(e), { passive: false });
      // The host's menu for this parameter, where the pointer is.
      k.addEventListener('contextmenu', (e) => {
        if (!webview) return;
        e.preventDefault();
        this.finish();
        const at = (n) => Math.max(0, Math.round(n)).toString(16);
        webview.postMessage(`c ${this.p.index.toString(16)} ${at(e.clientX)} ${at(e.clientY)}`);
      });
      k.addEventListener('keydown', (e) => {
        if (e.altKey || e.ctrlKey || e.metaKey) return;
        if (e.key === 'Escape' && this.gesture) {
          e.preventDefault();
          this.cancel();
          return;
        }
        if (/^[0-9]$/.test(e.key)) {
          e.preventDefault();
          this.openEntry(e.key);
          return;
        }
        const v = this.value;
        const to = {
          ArrowUp: v + 1,
          ArrowRight: v + 1,
          ArrowDown: v - 1,
          ArrowLeft: v - 1,
          PageUp: v + PAGE_STEP,
          PageDown: v - PAGE_STEP,
          Home: this.p.min,
          End: this.p.max,
        }[e.key];
        if (to === undefined) return;
        e.preventDefault();
        this.step(to);
      });
    }
  }

  // ---- the modulated cutoff display ---------------------------------------------
  // Every register value received is kept with its arrival time; each frame
  // draws, per device-pixel column of the last five seconds, the span of
  // values held in it, so an LFO faster than the frame rate still shows its
  // full swing. The numbers follow at a readable rate, ending on the last value.
  const hzText = document.getElementById('mod-hz');
  const regText = document.getElementById('mod-reg');
  const canvas = document.getElementById('trace');
  const ctx = canvas.getContext('2d', { alpha: true });
  const regMax = modParam.max;
  const formatHz = (reg) => data.cutoffHz[reg].toFixed(1);
  const times = new Float64Array(TRACE_KEEP);
  const regs = new Uint8Array(TRACE_KEEP);
  let count = 0; // values kept, the newest at (count - 1) % TRACE_KEEP
  let modReg = null;
  let shownAt = -Infinity;
  let readoutTimer = 0;
  let drawing = false;
  const colors = getComputedStyle(document.documentElement);
  const color = (name) => colors.getPropertyValue(name).trim();

  document.getElementById('axis-top').textContent = `${Math.round(data.cutoffHz[regMax])} Hz`;
  document.getElementById('axis-mid').textContent = `${Math.round(data.cutoffHz[Math.round(regMax / 2)])} Hz`;
  document.getElementById('axis-bottom').textContent = `${Math.round(data.cutoffHz[modParam.min])} Hz`;

  new ResizeObserver(([entry]) => {
    canvas.width = Math.round(entry.contentRect.width * devicePixelRatio);
    canvas.height = Math.round(entry.contentRect.height * devicePixelRatio);
    fill = null; // a new size starts the picture afresh
    draw(performance.now());
  }).observe(canvas);

  function showMod() {
    readoutTimer = 0;
    shownAt = performance.now();
    hzText.textContent = formatHz(modReg);
    regText.textContent = String(modReg);
  }

  function setMod(reg) {
    const i = count % TRACE_KEEP;
    times[i] = performance.now();
    regs[i] = reg;
    ++count;
    modReg = reg;
    if (!readoutTimer) {
      const wait = shownAt + READOUT_MS - performance.now();
      if (wait <= 0) showMod();
      else readoutTimer = setTimeout(showMod, wait);
    }
    if (!drawing) {
      drawing = true;
      requestAnimationFrame(frame);
    }
  }

  // A strip chart: each frame moves the picture left by the columns that time
  // has filled and draws only those, and the newest, still filling.
  let drawnEnd = 0; // when the newest column drawn ends
  let fill = null;
  function draw(now) {
    const w = canvas.width;
    const h = canvas.height;
    if (!w || !h) return;
    const dpr = devicePixelRatio || 1;
    const lw = Math.round(Math.max(1.5, Math.min(w, h) / dpr / 100) * dpr);
    // The line's centre stays half its width inside the box, even at the top
    // register; on whole pixels, so it is equally sharp at any height.
    const half = Math.floor(lw / 2);
    const y = (r) => half + Math.round(((regMax - r) / regMax) * (h - lw));
    const colMs = TRACE_MS / w;
    const end = (Math.floor(now / colMs) + 1) * colMs;
    const shift = fill ? Math.round((end - drawnEnd) / colMs) : w;
    const from = Math.max(0, w - 1 - shift);
    if (from > 0 && shift > 0) {
      ctx.globalCompositeOperation = 'copy'; // replace, not blend over the old picture
      ctx.drawImage(canvas, shift, 0, w - shift, h, 0, 0, w - shift, h);
      ctx.globalCompositeOperation = 'source-over';
    }
    drawnEnd = end;
    if (!fill) {
      fill = ctx.createLinearGradient(0, 0, 0, h);
      fill.addColorStop(0, color('--mod-dim'));
      fill.addColorStop(1, 'rgba(255, 182, 72, 0)');
    }
    ctx.clearRect(from, 0, w - from, h);
    ctx.fillStyle = color('--trace-grid');
    for (let q = 1; q < 4; ++q) ctx.fillRect(from, Math.round((h * q) / 4), w - from, Math.max(1, Math.round(dpr)));
    // The value held when the first column to draw begins, then each column's span.
    const start = end - (w - from) * colMs;
    const oldest = count - Math.min(count, TRACE_KEEP);
    let k = count;
    while (k > oldest && times[(k - 1) % TRACE_KEEP] >= start) --k;
    let held = k > oldest ? regs[(k - 1) % TRACE_KEEP] : -1;
    const mod = color('--mod');
    for (let x = from; x < w; ++x) {
      let lo = held;
      let hi = held;
      for (const until = end - (w - x - 1) * colMs; k < count && times[k % TRACE_KEEP] < until; ++k) {
        held = regs[k % TRACE_KEEP];
        lo = lo < 0 ? held : Math.min(lo, held);
        hi = Math.max(hi, held);
      }
      if (hi < 0) continue;
      ctx.fillStyle = fill;
      ctx.fillRect(x, y(hi), 1, h - y(hi));
      ctx.fillStyle = mod;
      ctx.fillRect(x, y(hi) - half, 1, y(lo) - y(hi) + lw);
    }
  }

  // Thirty frames a second are plenty for a five-second trace, and half the cost.
  let drawnAt = -Infinity;
  function frame(now) {
    if (now - drawnAt >= 30) {
      drawnAt = now;
      draw(now);
    }
    requestAnimationFrame(frame);
  }

  // ---- wiring -------------------------------------------------------------------
  const knobs = [];
  document.querySelectorAll('.knob-cell').forEach((cell) => {
    const p = data.params[Number(cell.dataset.index)];
    if (p && !p.output) knobs[p.index] = new Knob(cell, p);
  });
  // No gesture outlives the window's focus or its visibility.
  const finishAll = () => knobs.forEach((k) => k.finish());
  window.addEventListener('blur', finishAll);
  document.addEventListener('visibilitychange', () => document.hidden && finishAll());

  // "s <index> <bits>" in hexadecimal; anything else is not ours to act on.
  const VALUE_MESSAGE = /^s ([0-9a-fA-F]{1,8}) ([0-9a-fA-F]{1,8})$/;
  function onMessage(e) {
    const text = e ? e.data : undefined;
    if (typeof text !== 'string') return;
    const m = VALUE_MESSAGE.exec(text);
    if (!m) return;
    const index = parseInt(m[1], 16);
    const v = floatOf(parseInt(m[2], 16)) + 0; // -0 becomes 0
    const p = data.params[index];
    if (!p || !Number.isInteger(v) || v < p.min || v > p.max) return;
    if (p.output) setMod(v);
    else if (knobs[index]) knobs[index].setFromHost(v);
  }

  if (webview) {
    webview.addEventListener('message', onMessage);
    webview.postMessage('g');
  } else {
    document.getElementById('mode').hidden = false;
    setMod(modParam.def);
  }
})();
