// The page protocol seen from a real browser: what each gesture posts, and
// what incoming messages do.
import { after, afterEach, before, beforeEach, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { bits, gesture, launch, open, pageData } from './harness.js';

let browser;
let data;
let s;
let dpr = 1;
before(async () => {
  browser = await launch();
  data = await pageData();
});
after(() => browser.close());
beforeEach(async () => {
  s = await open(browser, { dpr });
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
// Presses on knob i, moves dy pixels in `moves` equal moves, releases; with
// `midway`, calls it before the release and moves 2 dy further.
async function drag(i, dy, moves, midway) {
  const [x, y] = await center(i);
  await s.page.mouse.move(x, y);
  await s.page.mouse.down();
  for (let k = 1; k <= moves; ++k) await s.page.mouse.move(x, y + (dy * k) / moves);
  if (midway) await midway().then(() => s.page.mouse.move(x, y + 3 * dy));
  await s.page.mouse.up();
}
const valueNow = (i) => s.knob(i).getAttribute('aria-valuenow');
// Settles focus on knob i without posting anything.
async function focusKnob(i) {
  await s.knob(i).focus();
  await s.clear();
}
// The modulated cutoff's readout, once it shows register `reg`.
async function modShows(reg) {
  await s.page.waitForFunction((r) => document.getElementById('mod-reg').textContent === r, String(reg));
  return s.page.textContent('#mod-hz');
}
// Each device-pixel column of the trace: the first and last row of its opaque orange line (or null), and the height.
const columns = () => s.page.evaluate(() => {
  const c = document.getElementById('trace');
  const g = Object.assign(document.createElement('canvas'), { width: c.width, height: c.height }).getContext('2d', { willReadFrequently: true });
  g.drawImage(c, 0, 0);
  const px = g.getImageData(0, 0, c.width, c.height).data;
  return Array.from({ length: c.width }, (_, x) => Array.from({ length: c.height }, (_, y) => y)
    .filter((y) => px[4 * (y * c.width + x)] > 200 && px[4 * (y * c.width + x) + 3] > 200)).map((r) => (r.length ? [r[0], r.at(-1), c.height] : null));
});

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
    assert.equal(await s.knob(CUTOFF).getAttribute('aria-valuetext'), '10, 913 Hz');
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
  test('notches further apart than a burst are gestures of their own', async () => {
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
    await s.knob(LFO_AMT).click();
    const ring = await s.page.evaluate(() => getComputedStyle(document.activeElement).outlineStyle);
    assert.equal(ring, 'none', 'no ring after a click');
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
    assert.equal(await s.knob(CUTOFF).getAttribute('aria-valuetext'), '8, 675 Hz');
    assert.equal(await valueNow(LFO_AMT), '15');
    assert.equal(await s.page.locator('.knob-cell').nth(LFO_AMT).locator('.step').textContent(), '15');
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
    assert.equal(await modShows(248), '2057.9');
    await s.deliver('s 00000003 0');
    assert.equal(await modShows(0), '398.7'); // 62 x 6.430967
    await s.deliver('s 00000003 437f0000'); // 255: 342 x 6.430967
    assert.equal(await modShows(255), '2199.4');
    for (const reg of [1, 64, 128, 200]) {
      await s.deliver(`s 00000003 ${bits(reg).padStart(8, '0')}`);
      assert.equal(await modShows(reg), data.cutoffHz[reg].toFixed(1));
    }
  });

  test('the trace follows the modulated cutoff', async () => {
    await s.deliver('s 00000003 42c80000'); // 100
    await s.page.waitForTimeout(300);
    await s.deliver('s 00000003 43480000'); // 200
    await s.page.waitForTimeout(100);
    const drawn = (await columns()).filter(Boolean);
    const [[old], [top, , h]] = [drawn.at(-40), drawn.at(-1)]; // about 200 ms back, and now
    assert.ok(Math.abs(old - (h * 155) / 255) < 3 && Math.abs(top - (h * 55) / 255) < 3, `${old} ${top}`);
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

for (const scale of [1, 2]) {
  describe(`a producer's input and display at ${scale}x`, () => {
    before(() => (dpr = scale));
    after(() => (dpr = 1));
    const cell = (i, sel) => s.page.locator('.knob-cell').nth(i).locator(sel);

    test('a drag always ends, at its last value; Escape ends it where it began', async () => {
      const knob = 'document.querySelector(".knob")';
      const ways = [['lost capture', `${knob}.releasePointerCapture(1)`], ['blur', 'dispatchEvent(new Event("blur"))'],
        ['hidden', 'Object.defineProperty(document, "hidden", { value: true, configurable: true }); ' +
          'document.dispatchEvent(new Event("visibilitychange")); delete document.hidden'],
        ['cancel', `${knob}.dispatchEvent(new PointerEvent("pointercancel", { pointerId: 1 }))`],
        ['no button', async () => (await s.context.newCDPSession(s.page)).send('Input.dispatchMouseEvent', { type: 'mouseMoved', x: 1, y: 1 })],
        ['Escape', () => s.page.keyboard.press('Escape')]];
      for (const [way, lose] of ways) {
        await s.clear();
        await drag(CUTOFF, 20, 1, () => (typeof lose === 'string' ? s.page.evaluate(lose) : lose())); // then hovers on
        assert.deepEqual(await s.posted(), gesture(CUTOFF, 15, way === 'Escape' ? [13, 15] : [13]), way);
        await s.deliver('s 0 41700000'); // the plug-in's values apply again
        assert.equal(await valueNow(CUTOFF), '15', way);
      }
    });

    test('wheel: small deltas add up, a burst is one gesture, right raises', async () => {
      for (const [i, deltas, expected] of [[CUTOFF, Array(3).fill([0, 100]), gesture(CUTOFF, 15, [14, 13, 12])],
        [CUTOFF, Array(40).fill([0, 3]), gesture(CUTOFF, 12, [11])], // a trackpad
        [LFO_SPEED, [[100, 0], [-100, 0], [-100, 0]], gesture(LFO_SPEED, 7, [8, 7, 6])]]) {
        await s.page.mouse.move(...(await center(i)));
        await s.clear();
        for (const [dx, dy] of deltas) await s.page.mouse.wheel(dx, dy);
        await s.page.waitForFunction(() => window.__posted.some((m) => m[0] === 'e'));
        assert.deepEqual(await s.posted(), expected);
      }
    });

    test('typed values: a step or a frequency, clamped and shown; Enter commits, Escape cancels', async () => {
      const now = [15, 0, 7];
      for (const [i, text, keys, to] of [[CUTOFF, '8', ['Enter'], 8], [CUTOFF, '1000', ['Enter'], 11], // 1074 Hz, not 913
        [CUTOFF, '1.5 kHz', ['Enter'], 13], [LFO_SPEED, '20hz', ['Enter'], 14], [LFO_AMT, '40', ['Enter'], 15],
        [LFO_AMT, '12', ['Escape'], 15], [LFO_AMT, '5x', ['Enter', 'Escape'], 15], [LFO_SPEED, 'click 3', ['Enter'], 3]]) {
        await (text.startsWith('click') ? cell(i, '.knob-value').click() : focusKnob(i));
        await s.clear();
        await s.page.keyboard.type(text.replace('click ', ''));
        for (const key of keys) await s.page.keyboard.press(key);
        assert.deepEqual(await s.posted(), to === now[i] ? [] : gesture(i, now[i], [to]), text);
        assert.equal(await cell(i, '.step').textContent(), String((now[i] = to)), text);
      }
    });

    test('each readout shows its step and what it means, from the engine', async () => {
      // 62 and 320 x 6.430967 Hz; 1/256 and 64/256 of a cycle each 10 ms; peaks of 8 and 127 registers, 16 a step
      for (const [i, v, means] of [[CUTOFF, 0, '399 Hz'], [CUTOFF, 15, '2058 Hz'], [LFO_SPEED, 0, '0.391 Hz'],
        [LFO_SPEED, 15, '25.0 Hz'], [LFO_AMT, 1, '±0.5 steps'], [LFO_AMT, 15, '±7.9 steps']]) {
        await s.deliver(`s ${i} ${bits(v)}`);
        assert.equal(await s.knob(i).getAttribute('aria-valuetext'), `${v}, ${means}`);
        assert.equal(await cell(i, '.means').textContent(), means);
      }
    });

    test("right-click asks for the host's menu at the pointer, not the browser's; Ctrl/Cmd-click resets", async () => {
      await s.page.evaluate(() => addEventListener('contextmenu', (e) => (window.__shown = !e.defaultPrevented)));
      for (const i of [CUTOFF, LFO_SPEED]) {
        const box = await s.knob(i).boundingBox();
        const [x, y] = [Math.round(box.x + box.width / 3), Math.round(box.y + box.height / 2)];
        await s.clear();
        await s.page.mouse.click(x, y, { button: 'right' });
        assert.deepEqual(await s.posted(), [`c ${i} ${x.toString(16)} ${y.toString(16)}`]);
        assert.equal(await s.page.evaluate(() => window.__shown), false);
      }
      for (const key of ['Control', 'Meta']) {
        await focusKnob(LFO_SPEED);
        await s.page.keyboard.press('End');
        await s.clear();
        await s.knob(LFO_SPEED).click({ modifiers: [key] });
        assert.deepEqual(await s.posted(), gesture(LFO_SPEED, 15, [7]), key);
      }
    });

    test('a 25 Hz LFO looks fast, the trace stays in its box, the numbers change ten times a second', async () => {
      const changes = await s.page.evaluate((values) => new Promise((done) => {
        let n = 0;
        new MutationObserver((r) => (n += r.length)).observe(document.getElementById('mod-reg'), { childList: true });
        const id = setInterval(() => {
          window.__deliver(`s 3 ${values.shift()}`);
          if (!values.length) clearInterval(id) || setTimeout(() => done(n), 150);
        }, 10);
      }), [...Array(15).fill([255, 248, 121, 248]).flat(), 200].map(bits));
      assert.ok(changes >= 4 && changes <= 8, `${changes} readouts in 0.6 s`);
      assert.equal(await modShows(200), data.cutoffHz[200].toFixed(1));
      const tops = (await columns()).map((c) => c && c[0] === 0);
      assert.ok(tops.filter((top, x) => top && !tops[x - 1]).length >= 12, 'at least 12 of 15 peaks drawn');
      const ends = [];
      for (const reg of [255, 0]) {
        await s.deliver(`s 3 ${bits(reg)}`);
        await s.page.waitForTimeout(100);
        ends.push((await columns()).at(-1));
      }
      const [[t0, t1], [b0, b1, h]] = ends; // the line whole at the top and at the bottom
      assert.ok(t0 === 0 && b1 === h - 1 && t1 - t0 === b1 - b0, `${ends}`);
    });
  });
}
