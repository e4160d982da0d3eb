// Writes docs/editor.png: the page at 800 x 600 with a made-up sweep of the
// modulated cutoff, as the README shows it. Run: npm run screenshot
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { launch, open, repoRoot } from './harness.js';

const browser = await launch();
const s = await open(browser, { width: 800, height: 600, dpr: 1 });
const hex = (v) => new Uint32Array(new Float32Array([v]).buffer)[0].toString(16).padStart(8, '0');
for (const [i, v] of [[0, 8], [1, 15], [2, 9]]) await s.deliver(`s 0000000${i} ${hex(v)}`);
// About five seconds of a stepped sweep, so the trace is full.
for (let t = 0; t < 50; ++t) {
  const reg = Math.round(185 + 60 * Math.sin(t / 4.5));
  await s.deliver(`s 00000003 ${hex(reg - (reg % 6))}`);
  await s.page.waitForTimeout(100);
}
mkdirSync(join(repoRoot, 'docs'), { recursive: true });
await s.page.screenshot({ path: join(repoRoot, 'docs', 'editor.png') });
if (s.errors.length) console.error(s.errors.join('\n'));
await browser.close();
