// How long the review page of a one-hour recording takes to open and draw
// in headless Chromium (the goal: under 3 s), and how long vxaudio takes to
// write it. The hour is the example speech repeated; sox makes it once.
//
// Usage: node bench/review-bench.mjs VXAUDIO WORKDIR SOURCEDIR
// Prints one JSON line. Exit 0 within the goal, 1 over it, 77 skipped.
import { execFileSync } from 'node:child_process';
import { existsSync, mkdirSync, statSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { launchBrowser } from '../tests/browser.mjs';

const [vxaudio, work, source] = process.argv.slice(2);
const GOAL_MS = 3000;
const browser = await launchBrowser();
mkdirSync(work, { recursive: true });
const hour = join(work, 'hour.flac');
const page = join(work, 'hour.html');
const times = [];
let silences = 0, writeMs = 0;
try {
  if (!existsSync(hour)) {
    // 12.29 s x 293 = 60.0 minutes.
    execFileSync('sox', [join(source, 'examples', 'speech.flac'), hour, 'repeat', '292']);
  }
  let started = Date.now();
  execFileSync(vxaudio, ['review', '-q', hour, '-o', page]);
  writeMs = Date.now() - started;
  for (let i = 0; i < 3; ++i) {
    const tab = await browser.newPage();
    await tab.setViewport({ width: 1200, height: 640 });
    started = Date.now();
    await tab.goto(pathToFileURL(page).href);
    await tab.waitForFunction('window.review && window.review.ready', { timeout: 30000 });
    times.push(Date.now() - started);
    silences = await tab.evaluate(() => window.review.segments().length);
    await tab.close();
  }
} finally {
  await browser.close();
}
const drawMs = Math.min(...times);
console.log(JSON.stringify({ bench: 'review-hour', silences, page_bytes: statSync(page).size,
  write_ms: writeMs, draw_ms: drawMs, draw_ms_runs: times, goal_ms: GOAL_MS }));
process.exit(drawMs <= GOAL_MS ? 0 : 1);
