// The page as a person sees it: every size and pixel ratio the plug-in window
// may have, the accessibility audit, and the preview in an ordinary browser.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { launch, open, pageData, pageUrl, shot } from './harness.js';

const axeSource = createRequire(import.meta.url)('axe-core').source;

let browser;
let data;
before(async () => {
  browser = await launch();
  data = await pageData();
});
after(() => browser.close());

// What does not fit: overflow of the document, and any element of the face
// outside the viewport or with clipped text.
function measure() {
  const root = document.documentElement;
  const vw = root.clientWidth;
  const vh = root.clientHeight;
  const out = [];
  if (root.scrollWidth > vw || root.scrollHeight > vh) out.push(`document ${root.scrollWidth}x${root.scrollHeight}`);
  if (window.innerWidth !== vw || window.innerHeight !== vh) out.push('scroll bars take room');
  for (const el of document.querySelectorAll('.panel *')) {
    if (el.closest('[hidden]') || el.closest('svg') !== null && el.tagName !== 'svg') continue;
    const r = el.getBoundingClientRect();
    if (r.width === 0 && r.height === 0) continue;
    const name = el.id || el.className.baseVal || el.className;
    if (r.left < -0.5 || r.top < -0.5 || r.right > vw + 0.5 || r.bottom > vh + 0.5)
      out.push(`${name} outside: ${Math.round(r.left)},${Math.round(r.top)},${Math.round(r.right)},${Math.round(r.bottom)}`);
    if (!(el instanceof SVGElement) && el.children.length === 0 && el.scrollWidth > el.clientWidth + 1)
      out.push(`${name} text clipped`);
  }
  const knobs = [...document.querySelectorAll('.knob')].map((k) => {
    const r = k.getBoundingClientRect();
    const hit = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
    return { size: Math.min(r.width, r.height), onTop: k.contains(hit) };
  });
  const trace = document.getElementById('trace').getBoundingClientRect();
  return { out, knobs, trace: { w: trace.width, h: trace.height } };
}

describe('sizes and pixel ratios', () => {
  for (const dpr of [1, 1.5, 2]) {
    for (const [width, height] of [[300, 200], [330, 220], [400, 300], [800, 600], [1200, 900], [1600, 1200]]) {
      test(`${width} x ${height} at ${dpr}x: everything fits, nothing scrolls`, async () => {
        const s = await open(browser, { width, height, dpr });
        await s.deliver('s 00000003 43780000');
        await s.deliver('s 00000001 41000000');
        const m = await s.page.evaluate(measure);
        assert.deepEqual(m.out, []);
        const minKnob = Math.min(60, height / 6);
        for (const k of m.knobs) {
          assert.ok(k.size >= minKnob, `knob ${k.size}px`);
          assert.ok(k.onTop, 'knob not covered');
        }
        assert.ok(m.trace.w >= width / 2 && m.trace.h >= height / 10, `trace ${m.trace.w}x${m.trace.h}`);
        const png = await shot(s.page, `editor-${width}x${height}@${dpr}x.png`);
        // The device pixels are really rendered: the picture has the pixel ratio's size.
        assert.equal(png.readUInt32BE(16), Math.round(width * dpr));
        assert.equal(png.readUInt32BE(20), Math.round(height * dpr));
        const errors = s.errors.slice();
        await s.close();
        assert.deepEqual(errors, []);
      });
    }
  }
});

async function audit(page) {
  await page.evaluate(axeSource);
  return page.evaluate(async () => {
    const r = await window.axe.run(document, { resultTypes: ['violations'], preload: false });
    return r.violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
  });
}

describe('accessibility', () => {
  test('axe-core finds no violations, with values shown and a control focused', async () => {
    const s = await open(browser);
    await s.deliver('s 00000003 43780000');
    await s.knob(1).focus();
    await s.page.keyboard.press('ArrowUp');
    await s.page.keyboard.type('4'); // with the value entry open
    assert.deepEqual(await audit(s.page), []);
    const errors = s.errors.slice();
    await s.close();
    assert.deepEqual(errors, []);
  });

  test('each control is a slider with its name, range and value text', async () => {
    const s = await open(browser);
    const sliders = await s.page.$$eval('[role=slider]', (els) =>
      els.map((e) => ['aria-label', 'aria-valuemin', 'aria-valuemax', 'aria-valuenow', 'aria-valuetext'].map((a) =>
        e.getAttribute(a))));
    const inputs = data.params.filter((p) => !p.output);
    const texts = ['15, 2058 Hz', '0, ±0.0 steps', '7, 3.13 Hz'];
    assert.deepEqual(sliders, inputs.map((p, i) => [p.title, String(p.min), String(p.max), String(p.def), texts[i]]));
    await s.close();
  });

  test('the page loads nothing but its own files and forbids remote loads', async () => {
    const s = await open(browser);
    const csp = await s.page.getAttribute('meta[http-equiv=Content-Security-Policy]', 'content');
    assert.match(csp, /default-src 'self'/);
    const names = s.requests.map((u) => {
      assert.ok(u.startsWith(pageUrl.slice(0, pageUrl.lastIndexOf('/') + 1)), u);
      return u.slice(u.lastIndexOf('/') + 1);
    });
    assert.deepEqual(names.sort(), ['editor.css', 'editor.js', 'index.html', 'zfen-params.js']);
    const blocked = await s.page.evaluate(
      () =>
        new Promise((done) => {
          document.addEventListener('securitypolicyviolation', (e) => done(e.violatedDirective), { once: true });
          const img = new Image();
          img.src = 'https://example.invalid/x.png';
        })
    );
    assert.match(blocked, /^img-src/);
    await s.close();
  });
});

describe('preview in an ordinary browser', () => {
  test('without the webview the page works with local values', async () => {
    const s = await open(browser, { webview: false });
    assert.equal(await s.page.isVisible('#mode'), true);
    const mod = data.params.find((p) => p.output);
    assert.equal(await s.page.textContent('#mod-reg'), String(mod.def));
    assert.equal(await s.page.textContent('#mod-hz'), data.cutoffHz[mod.def].toFixed(1));
    await s.knob(2).focus();
    await s.page.keyboard.press('PageUp');
    assert.equal(await s.knob(2).getAttribute('aria-valuenow'), String(data.params[2].def + 5));
    await s.knob(2).click({ button: 'right' }); // no host to ask for a menu: nothing happens
    assert.deepEqual(await audit(s.page), []);
    await shot(s.page, 'preview-800x600.png');
    const errors = s.errors.slice();
    await s.close();
    // The expected CSP report of the probe above is not here: this page made no remote load.
    assert.deepEqual(errors, []);
  });
});
