// End to end: the real page in Chromium and the real editor under Wine, in a
// host of our own (tests/e2e/e2e_host.exe), joined by the stand-in WebView2
// loader's bridge over loopback TCP. What the page posts reaches the editor's
// message handler; what the editor posts reaches the page's "message" event.
// Needs the Windows build: ZFEN_WINDOWS_BUILD and ZFEN_WINDOWS_DIST (./dev test
// sets both); skipped without them.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import net from 'node:net';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { bits, launch, pageData, repoRoot } from './harness.js';

const winBuild = process.env.ZFEN_WINDOWS_BUILD;
const winDist = process.env.ZFEN_WINDOWS_DIST;
const skip = !winBuild || !winDist ? 'ZFEN_WINDOWS_BUILD and ZFEN_WINDOWS_DIST name no Windows build' : false;

const pluginId = /^set\(ZFEN_PLUGIN_ID "([^"]+)"\)$/m.exec(
  readFileSync(join(repoRoot, 'cmake', 'product.cmake'), 'utf8'),
)[1];
const hostExe = winBuild && join(winBuild, 'tests', 'e2e', 'e2e_host.exe');
const wineRun = join(repoRoot, 'cmake', 'wine-run');
// The real page as each Windows bundle carries it.
const pages = winDist && {
  vst3: join(winDist, 'vst3', `${pluginId}.vst3`, 'Contents', 'Resources', 'index.html'),
  lv2: join(winDist, 'lv2', `${pluginId}.lv2`, 'index.html'),
};

const WAIT = 30_000; // the longest any one step may take
const SCENARIO = 60_000; // start-up, and each test after it
const CUTOFF = 0;
const LFO_AMT = 1;
const LFO_SPEED = 2;
const IDS = { cutoff: 1784049613, lfoAmt: 394330366, lfoSpeed: 793359101 };

// Polls until fn() is truthy; throws with `what` after ms.
async function until(fn, what, ms = WAIT) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) throw new Error(`gave up waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 25));
  }
}

// In the page, before its script: a window.chrome.webview whose postMessage
// goes to the bridge and whose "message" events carry what comes back.
function installBridge() {
  const listeners = [];
  window.chrome = window.chrome || {};
  window.chrome.webview = {
    postMessage(text) {
      window.__bridgePost(text);
    },
    addEventListener(type, fn) {
      if (type === 'message') listeners.push(fn);
    },
    removeEventListener(type, fn) {
      const i = listeners.indexOf(fn);
      if (i >= 0) listeners.splice(i, 1);
    },
  };
  window.__deliver = (data) => {
    for (const fn of listeners) fn({ data });
  };
}

// One host under Wine with its editor, bridged to one page in Chromium.
class Session {
  constructor(format) {
    this.format = format;
    this.events = []; // the host's JSON lines
    this.fromPlugin = []; // lines the editor posted
    this.toPlugin = []; // lines the page posted
    this.errors = []; // the page's console errors
    this.stderr = '';
    this.page = null;
    this.delivery = Promise.resolve();
  }

  async start(browser) {
    this.server = net.createServer();
    await new Promise((resolve, reject) => {
      this.server.once('error', reject);
      this.server.listen(0, '127.0.0.1', resolve);
    });
    const connected = new Promise((resolve) => this.server.once('connection', resolve));
    const port = this.server.address().port;
    // A process group of its own, so every process under it can be ended.
    this.host = spawn('xvfb-run', ['-a', wineRun, hostExe, this.format, String(port)], {
      stdio: ['pipe', 'pipe', 'pipe'],
      detached: true,
    });
    this.exited = new Promise((resolve) => this.host.once('exit', (code) => resolve(code)));
    let out = '';
    this.host.stdout.on('data', (chunk) => {
      out += chunk;
      for (let end; (end = out.indexOf('\n')) >= 0; ) {
        const line = out.slice(0, end).trim();
        out = out.slice(end + 1);
        if (line.startsWith('{')) this.events.push(JSON.parse(line));
      }
    });
    this.host.stderr.on('data', (chunk) => (this.stderr += chunk));

    const ready = await Promise.race([
      connected.then((socket) => ({ socket })),
      this.exited.then((code) => ({ code })),
      new Promise((r) => setTimeout(() => r({}), WAIT)),
    ]);
    if (!ready.socket)
      throw new Error(`the host did not connect (exit ${ready.code}): ${JSON.stringify(this.events)} ${this.stderr}`);
    this.socket = ready.socket;
    this.server.close(); // one peer only
    let pending = '';
    this.socket.setEncoding('utf8');
    this.socket.on('data', (chunk) => {
      pending += chunk;
      for (let end; (end = pending.indexOf('\n')) >= 0; ) {
        const line = pending.slice(0, end);
        pending = pending.slice(end + 1);
        this.fromPlugin.push(line);
        // A page not opened yet hears nothing, as a browser still loading.
        const page = this.page;
        if (page) this.delivery = this.delivery.then(() => page.evaluate((d) => window.__deliver(d), line).catch(() => {}));
      }
    });
    this.socket.on('error', () => {});
    await this.event((e) => e.event === 'ready', 'the host ready');

    this.context = await browser.newContext({ viewport: { width: 800, height: 600 } });
    await this.context.exposeBinding('__bridgePost', (_source, text) => {
      this.toPlugin.push(text);
      this.socket.write(`${text}\n`);
    });
    await this.context.addInitScript(installBridge);
  }

  // Opens the bundle's page; it posts "g" and the editor answers.
  async openPage() {
    const page = await this.context.newPage();
    page.on('console', (m) => {
      if (m.type() === 'error' || m.type() === 'warning') this.errors.push(`console ${m.type()}: ${m.text()}`);
    });
    page.on('pageerror', (e) => this.errors.push(`uncaught: ${e.message}`));
    this.page = page;
    await page.goto(pathToFileURL(pages[this.format]).href);
    await page.waitForSelector('.knob[role=slider]');
  }

  send(command) {
    this.host.stdin.write(`${command}\n`);
  }
  // The first event from index `from` on that matches.
  async event(match, what, from = 0) {
    return until(() => {
      const i = this.events.findIndex((e, k) => k >= from && match(e));
      if (i < 0 && this.events.some((e) => e.event === 'exit' || e.event === 'error'))
        throw new Error(`the host stopped while waiting for ${what}: ${JSON.stringify(this.events.slice(-5))}`);
      return i >= 0 && { ...this.events[i], at: i };
    }, what);
  }
  knob(i) {
    return this.page.locator('.knob').nth(i);
  }
  valueNow(i) {
    return this.knob(i).getAttribute('aria-valuenow');
  }
  text(id) {
    return this.page.locator(`#${id}`).textContent();
  }
  // Presses on knob i, moves dy pixels in `moves` equal moves, releases.
  async drag(i, dy, moves) {
    const box = await this.knob(i).boundingBox();
    const [x, y] = [box.x + box.width / 2, box.y + box.height / 2];
    await this.page.mouse.move(x, y);
    await this.page.mouse.down();
    for (let k = 1; k <= moves; ++k) await this.page.mouse.move(x, y + (dy * k) / moves);
    await this.page.mouse.up();
  }

  async quit() {
    this.send('quit');
    this.host.stdin.end();
    const code = await Promise.race([this.exited, new Promise((r) => setTimeout(() => r('timeout'), WAIT))]);
    return code;
  }

  async stop() {
    if (this.host && this.host.exitCode === null && this.host.signalCode === null) {
      try {
        process.kill(-this.host.pid, 'SIGKILL');
      } catch {}
    }
    this.socket?.destroy();
    this.server?.close();
    await this.context?.close().catch(() => {});
  }
}

let browser;
let data;
before(async () => {
  if (skip) return;
  for (const f of [hostExe, pages.vst3, pages.lv2]) if (!existsSync(f)) throw new Error(`missing ${f}: build for Windows`);
  browser = await launch();
  data = await pageData();
});
after(() => browser?.close());

// The register and frequency the display shows for register `reg`.
const regShown = (s) => s.text('mod-reg');
const hzOf = (reg) => data.cutoffHz[reg].toFixed(1);
const valueLine = (index, v) => `s ${index.toString(16).padStart(8, '0')} ${bits(v).padStart(8, '0')}`;

describe('end to end, VST 3: Chromium, the bridge and the editor in a host under Wine', { skip }, () => {
  let s;
  before(
    async () => {
      s = new Session('vst3');
      await s.start(browser);
      // The host's value from before the page opened: the page's "g" brings it.
      s.send(`set-param ${IDS.lfoSpeed} ${10 / 15}`);
      await s.event((e) => e.event === 'setParam' && e.id === IDS.lfoSpeed && e.result === 0, 'setParam LFO Speed');
      await s.openPage();
    },
    { timeout: SCENARIO },
  );
  after(async () => {
    await s?.stop();
  });

  test('the page asks with "g" and shows the values the controller holds', { timeout: SCENARIO }, async () => {
    await until(async () => (await s.valueNow(LFO_SPEED)) === '10', 'LFO Speed 10 in the page');
    assert.equal(s.toPlugin[0], 'g');
    assert.equal(await s.valueNow(CUTOFF), '15');
    assert.equal(await s.valueNow(LFO_AMT), '0');
    assert.equal(await regShown(s), '248');
    assert.equal(await s.text('mod-hz'), hzOf(248));
  });

  test('dragging Cutoff to 8 is beginEdit, performEdits ending with 8/15, endEdit', { timeout: SCENARIO }, async () => {
    const from = s.events.length;
    await s.drag(CUTOFF, 70, 7);
    assert.equal(await s.valueNow(CUTOFF), '8');
    const end = await s.event((e) => e.event === 'endEdit', 'endEdit', from);
    const edits = s.events.slice(from, end.at + 1).filter((e) => /Edit$/.test(e.event));
    const expected = [
      { event: 'beginEdit', id: IDS.cutoff },
      ...[15, 14, 13, 12, 11, 10, 9, 8, 8].map((v) => ({ event: 'performEdit', id: IDS.cutoff, value: v / 15 })),
      { event: 'endEdit', id: IDS.cutoff },
    ];
    assert.deepEqual(edits, expected);
  });

  test("the host's setParamNormalized(LFO Amount, 1.0) turns the page's knob to 15", { timeout: SCENARIO }, async () => {
    assert.equal(await s.valueNow(LFO_AMT), '0');
    s.send(`set-param ${IDS.lfoAmt} 1`);
    await s.event((e) => e.event === 'setParam' && e.id === IDS.lfoAmt && e.result === 0, 'setParam LFO Amount');
    await until(async () => (await s.valueNow(LFO_AMT)) === '15', 'LFO Amount 15 in the page');
    assert.equal(await s.knob(LFO_AMT).getAttribute('aria-valuetext'), '15, ±7.9 steps');
  });

  test('audio with the LFO on moves the Modulated Cutoff display to the last value passed', { timeout: SCENARIO }, async () => {
    const before = await regShown(s);
    const from = s.events.length;
    s.send('run-lfo 40');
    const ran = await s.event((e) => e.event === 'ran', 'the audio run', from);
    const regs = s.events
      .slice(from, ran.at)
      .filter((e) => e.event === 'modCutoff')
      .map((e) => Math.round(e.value * 255));
    assert.ok(new Set(regs).size >= 3, `the LFO moves the cutoff: ${regs}`);
    const last = regs.at(-1);
    assert.notEqual(String(last), before);
    await until(async () => (await regShown(s)) === String(last), `register ${last} in the page`);
    assert.equal(await s.text('mod-hz'), hzOf(last));
    assert.equal(s.fromPlugin.at(-1), valueLine(3, last));
  });

  test('the host quits cleanly: every stand-in object given back, no misuse, no page errors', { timeout: SCENARIO }, async () => {
    assert.equal(await s.quit(), 0);
    assert.deepEqual(s.events.filter((e) => e.event === 'misuse' || e.event === 'error'), []);
    assert.deepEqual(s.events.find((e) => e.event === 'closed'), { event: 'closed', live: 0 });
    assert.deepEqual(s.errors, []);
  });
});

describe('end to end, LV2: Chromium, the bridge and the UI in a host under Wine', { skip }, () => {
  let s;
  before(
    async () => {
      s = new Session('lv2');
      await s.start(browser);
      s.send('set-param 4 10');
      await s.event((e) => e.event === 'portEvent' && e.port === 4, 'port event LFO Speed');
      await s.openPage();
    },
    { timeout: SCENARIO },
  );
  after(async () => {
    await s?.stop();
  });

  test('the page asks with "g" and shows the port values the UI was given', { timeout: SCENARIO }, async () => {
    await until(async () => (await s.valueNow(LFO_SPEED)) === '10', 'LFO Speed 10 in the page');
    assert.equal(s.toPlugin[0], 'g');
    assert.equal(await s.valueNow(CUTOFF), '15');
    assert.equal(await s.valueNow(LFO_AMT), '0');
    assert.equal(await regShown(s), '248');
  });

  test('dragging Cutoff to 8 is touch(2, on), writes ending with 8, touch(2, off)', { timeout: SCENARIO }, async () => {
    const from = s.events.length;
    await s.drag(CUTOFF, 70, 7);
    assert.equal(await s.valueNow(CUTOFF), '8');
    const end = await s.event((e) => e.event === 'touch' && !e.grabbed, 'touch off', from);
    const calls = s.events.slice(from, end.at + 1);
    assert.deepEqual(calls, [
      { event: 'touch', port: 2, grabbed: true },
      ...[15, 14, 13, 12, 11, 10, 9, 8, 8].map((v) => ({ event: 'write', port: 2, value: v, size: 4, protocol: 0 })),
      { event: 'touch', port: 2, grabbed: false },
    ]);
  });

  test('a port event of 15 on LFO Amount turns the page\'s knob to 15', { timeout: SCENARIO }, async () => {
    assert.equal(await s.valueNow(LFO_AMT), '0');
    s.send('set-param 3 15');
    await until(async () => (await s.valueNow(LFO_AMT)) === '15', 'LFO Amount 15 in the page');
  });

  test('the output port through port_event moves the Modulated Cutoff display', { timeout: SCENARIO }, async () => {
    const before = await regShown(s);
    const from = s.events.length;
    s.send('run-lfo 40');
    const ran = await s.event((e) => e.event === 'ran', 'the audio run', from);
    const regs = s.events
      .slice(from, ran.at)
      .filter((e) => e.event === 'modCutoff')
      .map((e) => e.value);
    assert.ok(new Set(regs).size >= 3, `the LFO moves the cutoff: ${regs}`);
    const last = regs.at(-1);
    assert.ok(Number.isInteger(last) && last >= 0 && last <= 255, `a register: ${last}`);
    assert.notEqual(String(last), before);
    await until(async () => (await regShown(s)) === String(last), `register ${last} in the page`);
    assert.equal(await s.text('mod-hz'), hzOf(last));
    assert.equal(s.fromPlugin.at(-1), valueLine(3, last));
  });

  test('the host quits cleanly: every stand-in object given back, no misuse, no page errors', { timeout: SCENARIO }, async () => {
    assert.equal(await s.quit(), 0);
    assert.deepEqual(s.events.filter((e) => e.event === 'misuse' || e.event === 'error'), []);
    assert.deepEqual(s.events.find((e) => e.event === 'closed'), { event: 'closed', live: 0 });
    assert.deepEqual(s.errors, []);
  });
});
