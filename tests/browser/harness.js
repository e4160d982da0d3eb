// Opens the staged editor page in Debian's Chromium with a stand-in for
// window.chrome.webview that records what the page posts and delivers
// messages to it, and collects every console error and uncaught exception.
import { chromium } from 'playwright-core';
import { existsSync, mkdirSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
export const repoRoot = resolve(here, '..', '..');
export const shotDir = join(repoRoot, 'build', 'browser');

// The editor folder of a build: ZFEN_EDITOR_DIR, or the ./dev Linux build's.
export const editorDir = resolve(process.env.ZFEN_EDITOR_DIR || join(repoRoot, 'dist', 'linux', 'editor'));
const pageFile = join(editorDir, 'index.html');
if (!existsSync(pageFile) || !existsSync(join(editorDir, 'zfen-params.js')))
  throw new Error(`no staged editor page in ${editorDir}: build first or set ZFEN_EDITOR_DIR`);
export const pageUrl = pathToFileURL(pageFile).href;

export async function launch() {
  return chromium.launch({
    executablePath: process.env.ZFEN_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
}

function installWebview() {
  const listeners = [];
  window.__posted = [];
  window.chrome = window.chrome || {};
  window.chrome.webview = {
    postMessage(text) {
      window.__posted.push(text);
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

// Opens the page; with webview false, as an ordinary browser sees it.
export async function open(browser, { width = 800, height = 600, dpr = 1, webview = true } = {}) {
  const context = await browser.newContext({ viewport: { width, height }, deviceScaleFactor: dpr });
  if (webview) await context.addInitScript(installWebview);
  const page = await context.newPage();
  const errors = [];
  const requests = [];
  page.on('request', (r) => requests.push(r.url()));
  page.on('console', (m) => {
    if (m.type() === 'error' || m.type() === 'warning') errors.push(`console ${m.type()}: ${m.text()}`);
  });
  page.on('pageerror', (e) => errors.push(`uncaught: ${e.message}`));
  page.on('requestfailed', (r) => errors.push(`request failed: ${r.url()}`));
  await page.goto(pageUrl);
  await page.waitForSelector('.knob[role=slider]');
  return {
    page,
    context,
    errors,
    requests,
    posted: () => page.evaluate(() => window.__posted.slice()),
    clear: () => page.evaluate(() => (window.__posted.length = 0)),
    deliver: (data) => page.evaluate((d) => window.__deliver(d), data),
    knob: (i) => page.locator('.knob').nth(i),
    close: () => context.close(),
  };
}

export function shot(page, name) {
  mkdirSync(shotDir, { recursive: true });
  return page.screenshot({ path: join(shotDir, name) });
}

// The generated data file as the page sees it.
export async function pageData() {
  const { readFile } = await import('node:fs/promises');
  const vm = await import('node:vm');
  const sandbox = { window: {} };
  vm.runInNewContext(await readFile(join(editorDir, 'zfen-params.js'), 'utf8'), sandbox);
  return JSON.parse(JSON.stringify(sandbox.window.ZFEN_DATA)); // plain objects of this realm
}

// The IEEE-754 single-precision bits of a value, as the page writes them.
export function bits(v) {
  const f = new Float32Array([v]);
  return new Uint32Array(f.buffer)[0].toString(16);
}

// The messages of one gesture on parameter `index` from `from` through `steps`.
export function gesture(index, from, steps) {
  const i = index.toString(16);
  return [`b ${i} ${bits(from)}`, ...steps.map((v) => `s ${i} ${bits(v)}`), `e ${i} ${bits(steps.at(-1))}`];
}
