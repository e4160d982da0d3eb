// The page protocol seen from a real browser: what each gesture posts, and
// what incoming messages do.
import { after, afterEach, before, beforeEach, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { bits, gesture, launch, open, pageData } from './harness.js';

let browser;
let data;
let s;
before(async () => {
  browser = await launch();
  data = await pageData();
});
after(() => browser.close());
beforeEach(async () => {
  s = await open(browser);
  // Wait for "g" before clearing, so each test sees only its own messages.
  await s.page.waitForFunction(() => window.__posted.includes('g'));
});
afterEach(async () => {
  const errors = s.errors.slice();
  await s.close();
  assert.deepEqual(errors, [], 'no console errors');
});

const CUTOFF = 0;
const LFO_AMT = 1;
const LFO_SPEED = 2;
const def = (i) => data.params[i].def;

async function center(i) {
  const box = await s.knob(i).boundingBox();
  return [box.x + box.width / 2, box.y + box.height / 2];
}
// Presses on knob i, moves dy pixels in `moves` equal moves, releases.
async function drag(i, dy, moves) {
  const [x, y] = await center(i);
  await s.page.mouse.move(x, y);
  await s.page.mouse.down();
  for (let k = 1; k <= moves; ++k) await s.page.mouse.move(x, y + (dy * k) / moves);
  await s.page.mouse.up();
}
const valueNow = (i) => s.knob(i).getAttribute('aria-valuenow');
// Settles focus on knob i without posting anything.
async function focusKnob(i) {
  await s.knob(i).focus();
  await s.clear();
}

describe('the wire format', () => {
  test('bit patterns are IEEE-754 single precision in lower-case hex', () => {
    assert.equal(bits(10), '41200000');
    assert.equal(bits(7), '40e00000');
    assert.equal(bits(0.5), '3f000000');
    assert.equal(bits(0), '0');
  });

  test('the page sends "g" once when its script runs, and nothing else', async () => {
    assert.deepEqual(await s.posted(), ['g']);
  });
});

describe('drag', () => {
  test('dragging down 50 px steps Cutoff from 15 to 10, one "s" per whole number', async () => {
    assert.equal(def(CUTOFF), 15);
    await s.clear();
    await drag(CUTOFF, 50, 10);
    assert.deepEqual(await s.posted(), [
      'b 0 41700000', 's 0 41600000', 's 0 41500000', 's 0 41400000', 's 0 41300000', 's 0 41200000',
      'e 0 41200000',
    ]);
    assert.equal(await valueNow(CUTOFF), '10');
    assert.equal(await s.knob(CUTOFF).getAttribute('aria-valuetext'), 'Cutoff 10');
  });

  test('one large move is one "s" for the whole jump', async () => {
    await s.clear();
    await drag(CUTOFF, 50, 1);
    assert.deepEqual(await s.posted(), gesture(CUTOFF, 15, [10]));
  });

  test('Shift makes the drag four times finer', async () => {
    await s.clear();
    await s.page.keyboard.down('Shift');
    await drag(CUTOFF, 80, 8);
    await s.page.keyboard.up('Shift');
    assert.deepEqual(await s.posted(), gesture(CUTOFF, 15, [14, 13]));
    assert.equal(await valueNow(CUTOFF), '13');
  });

  test('a drag clamps at the ends and turns back at once', async () => {
    await s.clear();
    const [x, y] = await center(LFO_AMT);
    await s.page.mouse.move(x, y);
    await s.page.mouse.down();
    for (let k = 1; k <= 30; ++k) await s.page.mouse.move(x, y - 10 * k); // far past the top
    await s.page.mouse.move(x, y - 290); // 10 px back down
    await s.page.mouse.up();
    const up = Array.from({ length: 15 }, (_, k) => k + 1);
    assert.deepEqual(await s.posted(), gesture(LFO_AMT, 0, [...up, 14]));
    assert.equal(await valueNow(LFO_AMT), '14');
  });

  test('a drag down to the bottom ends with the bits of 0', async () => {
    await s.clear();
    await drag(LFO_SPEED, 100, 2); // 7, 2, then past the bottom
    assert.deepEqual(await s.posted(), ['b 2 40e00000', 's 2 40000000', 's 2 0', 'e 2 0']);
  });

  test('a press, a click or a drag that changes nothing sends nothing', async () => {
    await s.clear();
    await drag(CUTOFF, -60, 6); // already at the top
    await s.knob(LFO_AMT).click();
    await drag(LFO_SPEED, 4, 2); // less than half a step
    assert.deepEqual(await s.posted(), []);
  });

  test('a drag that returns to its start is still one whole gesture', async () => {
    await s.clear();
    const [x, y] = await center(LFO_SPEED);
    await s.page.mouse.move(x, y);
    await s.page.mouse.down();
    await s.page.mouse.move(x, y - 20);
    await s.page.mouse.move(x, y);
    await s.page.mouse.up();
    assert.deepEqual(await s.posted(), gesture(LFO_SPEED, 7, [9, 7]));
  });
});

describe('wheel', () => {
  test('each wheel notch is a gesture of its own', async () => {
    const [x, y] = await center(LFO_SPEED);
    await s.page.mouse.move(x, y);
    await s.clear();
    await s.page.mouse.wheel(0, -100);
    await s.page.waitForFunction(() => window.__posted.length === 3);
    await s.page.mouse.wheel(0, 100);
    await s.page.waitForFunction(() => window.__posted.length === 6);
    await s.page.mouse.wheel(0, 100);
    await s.page.waitForFunction(() => window.__posted.length === 9);
    assert.deepEqual(await s.posted(), [
      ...gesture(LFO_SPEED, 7, [8]),
      ...gesture(LFO_SPEED, 8, [7]),
      ...gesture(LFO_SPEED, 7, [6]),
    ]);
  });

  test('a coalesced wheel event of three notches moves three steps in one gesture', async () => {
    const [x, y] = await center(LFO_SPEED);
    await s.page.mouse.move(x, y);
    await s.clear();
    await s.page.mouse.wheel(0, -300);
    await s.page.waitForFunction(() => window.__posted.length === 3);
    assert.deepEqual(await s.posted(), gesture(LFO_SPEED, 7, [10]));
  });

  test('the wheel at an end sends nothing, and the page does not scroll', async () => {
    const [x, y] = await center(CUTOFF);
    await s.page.mouse.move(x, y);
    await s.clear();
    await s.page.mouse.wheel(0, -100); // Cutoff is at its top
    await s.page.mouse.wheel(0, 100);
    await s.page.waitForFunction(() => window.__posted.length === 3);
    assert.deepEqual(await s.posted(), gesture(CUTOFF, 15, [14]));
    assert.equal(await s.page.evaluate(() => document.scrollingElement.scrollTop), 0);
  });
});

describe('keyboard', () => {
  test('arrows, Page Up/Down, Home and End: one gesture a key press', async () => {
    await focusKnob(LFO_SPEED);
    const keys = [
      ['ArrowUp', 7, 8],
      ['ArrowRight', 8, 9],
      ['ArrowDown', 9, 8],
      ['ArrowLeft', 8, 7],
      ['PageUp', 7, 12],
      ['PageDown', 12, 7],
      ['End', 7, 15],
      ['Home', 15, 0],
    ];
    for (const [key, from, to] of keys) {
      await s.clear();
      await s.page.keyboard.press(key);
      assert.deepEqual(await s.posted(), gesture(LFO_SPEED, from, [to]), key);
      assert.equal(await valueNow(LFO_SPEED), String(to), key);
    }
  });

  test('keys that would leave the range send nothing', async () => {
    await focusKnob(LFO_AMT); // at 0
    for (const key of ['Home', 'ArrowDown', 'ArrowLeft', 'PageDown']) await s.page.keyboard.press(key);
    await focusKnob(CUTOFF); // at 15
    for (const key of ['End', 'ArrowUp', 'ArrowRight', 'PageUp']) await s.page.keyboard.press(key);
    assert.deepEqual(await s.posted(), []);
  });

  test('Page Up near the top stops at the maximum', async () => {
    await focusKnob(LFO_SPEED);
    await s.page.keyboard.press('PageUp');
    await s.page.keyboard.press('PageUp');
    assert.deepEqual(await s.posted(), [...gesture(LFO_SPEED, 7, [12]), ...gesture(LFO_SPEED, 12, [15])]);
  });

  test('Tab reaches the three controls in order, with a visible focus ring', async () => {
    const titles = [];
    for (let k = 0; k < 3; ++k) {
      await s.page.keyboard.press('Tab');
      const focus = await s.page.evaluate(() => {
        const a = document.activeElement;
        const cs = getComputedStyle(a);
        return { label: a.getAttribute('aria-label'), style: cs.outlineStyle, width: parseFloat(cs.outlineWidth) };
      });
      titles.push(focus.label);
      assert.equal(focus.style, 'solid');
      assert.ok(focus.width >= 2, `outline ${focus.width}px`);
    }
    assert.deepEqual(titles, data.params.filter((p) => !p.output).map((p) => p.title));
  });
});

describe('double-click', () => {
  test('returns each control to its default in one gesture', async () => {
    for (const i of [CUTOFF, LFO_AMT, LFO_SPEED]) {
      await focusKnob(i);
      await s.page.keyboard.press(def(i) === 15 ? 'Home' : 'End');
      const away = Number(await valueNow(i));
      await s.clear();
      await s.knob(i).dblclick();
      assert.deepEqual(await s.posted(), gesture(i, away, [def(i)]), data.params[i].title);
      assert.equal(await valueNow(i), String(def(i)));
    }
  });

  test('at the default it sends nothing', async () => {
    await s.clear();
    await s.knob(LFO_SPEED).dblclick();
    assert.deepEqual(await s.posted(), []);
  });
});

describe('incoming values', () => {
  test('"s" moves the controls', async () => {
    await s.deliver('s 00000002 40e00000');
    await s.deliver('s 00000000 41000000');
    await s.deliver('s 00000001 41700000');
    assert.equal(await valueNow(LFO_SPEED), '7');
    assert.equal(await valueNow(CUTOFF), '8');
    assert.equal(await s.knob(CUTOFF).getAttribute('aria-valuetext'), 'Cutoff 8');
    assert.equal(await valueNow(LFO_AMT), '15');
    assert.equal(await s.page.locator('.knob-cell').nth(LFO_AMT).locator('.knob-value').textContent(), '15');
  });

  test('any hex scanf reads: short and upper-case digits', async () => {
    await s.deliver('s 1 40A00000');
    assert.equal(await valueNow(LFO_AMT), '5');
  });

  test('a later gesture starts from the value the plug-in sent', async () => {
    await s.deliver('s 00000000 40400000');
    await focusKnob(CUTOFF);
    await s.page.keyboard.press('ArrowUp');
    assert.deepEqual(await s.posted(), gesture(CUTOFF, 3, [4]));
  });

  test('the modulated cutoff shows its register and Hz from the engine table', async () => {
    assert.equal(await s.page.textContent('#mod-hz'), '–');
    await s.deliver('s 00000003 43780000'); // register 248: 320 x 6.430967
    assert.equal(await s.page.textContent('#mod-reg'), '248');
    assert.equal(await s.page.textContent('#mod-hz'), '2057.9');
    await s.deliver('s 00000003 0');
    assert.equal(await s.page.textContent('#mod-hz'), '398.7'); // 62 x 6.430967
    await s.deliver('s 00000003 437f0000'); // 255: 342 x 6.430967
    assert.equal(await s.page.textContent('#mod-reg'), '255');
    assert.equal(await s.page.textContent('#mod-hz'), '2199.4');
    for (const reg of [1, 64, 128, 200]) {
      await s.deliver(`s 00000003 ${bits(reg).padStart(8, '0')}`);
      assert.equal(await s.page.textContent('#mod-hz'), data.cutoffHz[reg].toFixed(1));
      assert.equal(await s.page.textContent('#mod-reg'), String(reg));
    }
  });

  test('the trace follows the modulated cutoff', async () => {
    const lastY = () =>
      s.page.evaluate(() => {
        const d = document.getElementById('trace-line').getAttribute('d');
        return d ? Number(d.split(' ').at(-1)) : null;
      });
    await s.deliver('s 00000003 42c80000'); // 100
    await s.page.waitForFunction(() => /\s155$/.test(document.getElementById('trace-line').getAttribute('d')));
    assert.equal(await lastY(), 255 - 100);
    await s.deliver('s 00000003 43480000'); // 200
    await s.page.waitForFunction(() => /\s55$/.test(document.getElementById('trace-line').getAttribute('d')));
    const d = await s.page.getAttribute('#trace-line', 'd');
    assert.match(d, /\s155L/, 'the earlier value is still on the trace');
    const pts = d.slice(1).split('L').map((p) => p.split(' ').map(Number));
    assert.ok(pts.every(([x, y]) => x >= 0 && x <= 149 && (y === 155 || y === 55)), d);
  });

  test('anything malformed or unknown is ignored without a console error', async () => {
    const bad = [
      'x 00000000 41000000', 'S 00000000 41000000', 'b 00000000 41000000', 'e 00000000 41000000', 'g', 'm hello',
      'm', '', 's', 's 00000000', 's 00000000 41000000 00000000', 's 00000004 00000000', 's 00000005 41000000',
      's ffffffff 41000000', 's 00000000 7fc00000', 's 00000000 ffc00000', 's 00000000 7f800000',
      's 00000000 41800000', 's 00000000 bf800000', 's 00000000 3f000000', 's 00000003 43800000',
      's 00000003 3f000000', 's 0000000g 41000000', 's 00000000 4100000z', 's zz 41000000', ' s 00000000 41000000',
      's  00000000 41000000', 's 00000000 41000000\n', 's 00000000 41000000 ', 's 0x0 41000000', 's -1 41000000',
      's 100000000 41000000', 's 00000000 141000000', 's\t00000000\t41000000', 's 00000000 4.1e1',
    ];
    for (const text of bad) await s.deliver(text);
    for (const value of [null, 42, {}, ['s 00000000 41000000'], true, { data: 's 00000000 41000000' }])
      await s.deliver(value);
    await s.page.evaluate(() => window.__deliver(undefined));
    const vals = await Promise.all([0, 1, 2].map(valueNow));
    assert.deepEqual(vals, [0, 1, 2].map((i) => String(def(i))));
    assert.equal(await s.page.textContent('#mod-hz'), '–');
    assert.equal(await s.page.textContent('#mod-reg'), '–');
    assert.deepEqual(await s.posted(), ['g']);
  });

  test('-0 is taken as 0', async () => {
    await s.deliver('s 00000002 80000000');
    await focusKnob(LFO_SPEED);
    await s.page.keyboard.press('ArrowUp');
    assert.deepEqual(await s.posted(), ['b 2 0', 's 2 3f800000', 'e 2 3f800000']);
  });

  test('a value from the plug-in does not break into a drag under way', async () => {
    await s.clear();
    const [x, y] = await center(CUTOFF);
    await s.page.mouse.move(x, y);
    await s.page.mouse.down();
    await s.page.mouse.move(x, y + 20);
    await s.deliver('s 00000000 0');
    await s.page.mouse.move(x, y + 30);
    await s.page.mouse.up();
    assert.deepEqual(await s.posted(), gesture(CUTOFF, 15, [13, 12]));
  });
});
