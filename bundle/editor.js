// The Z-FEN editor: three stepped knobs and the modulated cutoff display.
// It talks to the plug-in only through window.chrome.webview; without it the
// page is a preview with local values. Every value change is one gesture on
// the wire: "b" with the value at its start (sent with the first change, so a
// gesture that changes nothing sends nothing), one "s" per whole-number
// change, and "e" with the final value. A drag is one gesture; each key press,
// each wheel event and each double-click is a gesture of its own.
(function () {
  'use strict';

  const SVG_NS = 'http://www.w3.org/2000/svg';
  const DRAG_PX_PER_STEP = 10;
  const FINE_FACTOR = 4; // Shift: four times the travel for one step
  const WHEEL_PX_PER_STEP = 100; // one notch of an ordinary mouse wheel
  const PAGE_STEP = 5;
  const TRACE_RATE = 30; // samples per second
  const TRACE_LEN = 150; // five seconds
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
  class Knob {
    constructor(cell, param) {
      this.p = param;
      this.value = param.def;
      this.gesture = null; // {start, begun} while a gesture lasts
      this.drag = null; // {y, cont, id} while dragging

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
      knob.title = `${param.title}: drag, scroll or use the arrow keys; Shift for fine steps; double-click for ${param.def}`;
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

      const readout = document.createElement('div');
      readout.className = 'knob-value';
      readout.setAttribute('aria-hidden', 'true');

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
      this.readout.textContent = String(v);
      this.el.setAttribute('aria-valuenow', String(v));
      this.el.setAttribute('aria-valuetext', `${this.p.title} ${v}`);
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
    // A key press, wheel event or double-click: a gesture of its own, or part
    // of the drag that is under way.
    step(v) {
      if (this.gesture) {
        this.moveTo(v);
        if (this.drag) this.drag.cont = this.value;
        return;
      }
      this.beginGesture();
      this.moveTo(v);
      this.endGesture();
    }

    listen() {
      const k = this.el;
      k.addEventListener('pointerdown', (e) => {
        if (e.button !== 0 || this.drag) return;
        e.preventDefault();
        k.focus();
        k.setPointerCapture(e.pointerId);
        this.drag = { y: e.clientY, cont: this.value, id: e.pointerId };
        if (!this.gesture) this.beginGesture();
        k.classList.add('active');
      });
      k.addEventListener('pointermove', (e) => {
        const d = this.drag;
        if (!d || e.pointerId !== d.id) return;
        const px = e.shiftKey ? DRAG_PX_PER_STEP * FINE_FACTOR : DRAG_PX_PER_STEP;
        d.cont = this.clamp(d.cont - (e.clientY - d.y) / px);
        d.y = e.clientY;
        this.moveTo(Math.round(d.cont));
      });
      const stop = (e) => {
        if (!this.drag || e.pointerId !== this.drag.id) return;
        this.drag = null;
        k.classList.remove('active');
        this.endGesture();
      };
      k.addEventListener('pointerup', stop);
      k.addEventListener('pointercancel', stop);
      k.addEventListener('lostpointercapture', stop);
      k.addEventListener('dblclick', (e) => {
        e.preventDefault();
        this.step(this.p.def);
      });
      k.addEventListener(
        'wheel',
        (e) => {
          e.preventDefault();
          const unit = e.deltaMode === 1 ? 40 : e.deltaMode === 2 ? 400 : 1;
          const delta = (e.deltaY || e.deltaX) * unit;
          if (!delta) return;
          // However large the system's notch, one event moves at least one step.
          const n = Math.max(1, Math.round(Math.abs(delta) / WHEEL_PX_PER_STEP));
          this.step(this.value - Math.sign(delta) * n);
        },
        { passive: false }
      );
      k.addEventListener('keydown', (e) => {
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
        if (to === undefined || e.altKey || e.ctrlKey || e.metaKey) return;
        e.preventDefault();
        this.step(to);
      });
    }
  }

  // ---- the modulated cutoff display ---------------------------------------------
  const hzText = document.getElementById('mod-hz');
  const regText = document.getElementById('mod-reg');
  const traceSvg = document.getElementById('trace');
  const traceLine = document.getElementById('trace-line');
  const traceArea = document.getElementById('trace-area');
  const regMax = modParam.max;
  const formatHz = (reg) => data.cutoffHz[reg].toFixed(1);
  let modReg = null;
  const samples = [];

  traceSvg.setAttribute('viewBox', `0 0 ${TRACE_LEN - 1} ${regMax}`);
  const grid = document.getElementById('trace-grid');
  for (let i = 1; i < 4; ++i) {
    const y = (regMax * i) / 4;
    el('line', { x1: 0, x2: TRACE_LEN - 1, y1: y, y2: y }, grid);
  }
  document.getElementById('axis-top').textContent = `${Math.round(data.cutoffHz[regMax])} Hz`;
  document.getElementById('axis-mid').textContent = `${Math.round(data.cutoffHz[Math.round(regMax / 2)])} Hz`;
  document.getElementById('axis-bottom').textContent = `${Math.round(data.cutoffHz[modParam.min])} Hz`;

  function setMod(reg) {
    modReg = reg;
    hzText.textContent = formatHz(reg);
    regText.textContent = String(reg);
  }

  function drawTrace() {
    let first = samples.length;
    while (first > 0 && samples[first - 1] !== null) --first;
    const run = samples.slice(first);
    if (run.length === 0) {
      traceLine.setAttribute('d', '');
      traceArea.setAttribute('d', '');
      return;
    }
    const x0 = TRACE_LEN - run.length;
    const pts = run.map((r, i) => `${x0 + i} ${regMax - r}`);
    if (run.length === 1) pts.unshift(`${x0 - 1} ${regMax - run[0]}`);
    const line = 'M' + pts.join('L');
    traceLine.setAttribute('d', line);
    traceArea.setAttribute('d', `${line}L${TRACE_LEN - 1} ${regMax}L${pts[0].split(' ')[0]} ${regMax}Z`);
  }

  let lastSample = null;
  function tick(now) {
    if (lastSample === null) lastSample = now;
    const due = Math.floor(((now - lastSample) * TRACE_RATE) / 1000);
    if (due > 0) {
      lastSample += (due * 1000) / TRACE_RATE;
      for (let i = 0; i < Math.min(due, TRACE_LEN); ++i) samples.push(modReg);
      if (samples.length > TRACE_LEN) samples.splice(0, samples.length - TRACE_LEN);
      drawTrace();
    }
    requestAnimationFrame(tick);
  }
  requestAnimationFrame(tick);

  // ---- wiring -------------------------------------------------------------------
  const knobs = [];
  document.querySelectorAll('.knob-cell').forEach((cell) => {
    const p = data.params[Number(cell.dataset.index)];
    if (p && !p.output) knobs[p.index] = new Knob(cell, p);
  });

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
