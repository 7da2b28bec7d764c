// Opens what `vxaudio review` writes in headless Chromium and uses it as a
// person would: the page must draw offline with no console error and no
// request beyond file: and data: URLs, show exactly the silences `vxaudio
// silence` finds, and follow the mouse and the keyboard.
//
// Usage: node tests/review-page.mjs VXAUDIO WORKDIR SOURCEDIR
// Exit 0 passed, 1 failed, 77 skipped (no Chromium or no puppeteer-core).
// VX_REVIEW_SCREENSHOT=path also saves the screenshot there (the README's).
import { execFileSync } from 'node:child_process';
import { copyFileSync, existsSync, mkdirSync, readFileSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { launchBrowser } from './browser.mjs';

const [vxaudio, work, source] = process.argv.slice(2);
rmSync(work, { recursive: true, force: true });
mkdirSync(work, { recursive: true });

let failures = 0;
function check(ok, what, detail = '') {
  if (!ok) {
    ++failures;
    console.log(`FAIL ${what}${detail ? ': ' + detail : ''}`);
  }
}
const run = (...args) => execFileSync(vxaudio, args, { cwd: work, encoding: 'utf8' });
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

const speech = join(work, 'speech.flac');
copyFileSync(join(source, 'examples', 'speech.flac'), speech);
const detected = JSON.parse(run('silence', 'speech.flac', '--format', 'json'));
const labelled = run('silence', 'speech.flac', '--format', 'labels');
const browser = await launchBrowser();

// A page with its offences (console errors, page errors, requests that
// are neither file: nor data:) collected.
async function open(file) {
  const page = await browser.newPage();
  await page.setViewport({ width: 1200, height: 640 });
  const offences = [];
  page.on('console', (m) => m.type() === 'error' && offences.push('console: ' + m.text()));
  page.on('pageerror', (e) => offences.push('page error: ' + e.message));
  await page.setRequestInterception(true);
  page.on('request', (r) => {
    if (/^(file|data):/.test(r.url())) return r.continue();
    offences.push('request: ' + r.url());
    return r.abort();
  });
  const started = Date.now();
  await page.goto(pathToFileURL(file).href);
  await page.waitForFunction('window.review && window.review.ready', { timeout: 20000 });
  return { page, offences, ms: Date.now() - started };
}

const audio = (page) => page.evaluate(() => {
  const a = document.getElementById('audio');
  return { paused: a.paused, time: a.currentTime, error: a.error && a.error.code,
    duration: a.duration, src: a.currentSrc.slice(0, 16) };
});

// Where time `t` is drawn in the zoomable view, in page pixels.
const at = (page, t) => page.evaluate((t) => {
  const v = window.review.peaks.views.getView('zoomview');
  const box = document.getElementById('zoomview').getBoundingClientRect();
  const perSecond = box.width / (v.getEndTime() - v.getStartTime());
  return { x: box.x + (t - v.getStartTime()) * perSecond, y: box.y + box.height / 2, perSecond };
}, t);

try {
  // ---- the page as written: the detection, unchanged ----
  run('review', 'speech.flac', '-o', 'speech.html');
  const { page, offences, ms } = await open(join(work, 'speech.html'));
  console.log(`speech.html drawn in ${ms} ms`);
  const segments = await page.evaluate(() => window.review.segments());
  check(JSON.stringify(segments.map((s) => [s.start, s.end])) ===
        JSON.stringify(detected.silences_s), 'segments() equal silence --format json',
  JSON.stringify(segments));
  check(await page.evaluate(() => window.review.labels()) === labelled,
    'labels() equal silence --format labels');
  check(await page.evaluate(() => window.review.loudness()) === null,
    'no loudness curve unless asked for');
  const shot = join(work, 'review.png');
  await page.screenshot({ path: shot });
  if (process.env.VX_REVIEW_SCREENSHOT) copyFileSync(shot, process.env.VX_REVIEW_SCREENSHOT);

  // ---- n moves the playhead to the next silence ----
  const [second, third] = detected.silences_s.slice(1, 3);
  await page.evaluate((t) => { document.getElementById('audio').currentTime = t; },
    second[0] + 0.01);
  await page.keyboard.press('n');
  check(Math.abs((await audio(page)).time - third[0]) < 1e-3, 'n jumps to the next start',
    JSON.stringify(await audio(page)));

  // ---- dragging an edge moves it, and labels() follows ----
  const end = await at(page, second[1]);
  await page.mouse.move(end.x, end.y);
  await page.mouse.down();
  await page.mouse.move(end.x + 10, end.y, { steps: 4 });
  await page.mouse.move(end.x + 20, end.y, { steps: 4 });
  await page.mouse.up();
  const moved = (await page.evaluate(() => window.review.segments()))[1];
  const wanted = second[1] + 20 / end.perSecond;
  check(moved.start === second[0] && Math.abs(moved.end - wanted) < 2 / end.perSecond,
    'the dragged end moved by the mouse', JSON.stringify({ moved, wanted }));
  const lines = (await page.evaluate(() => window.review.labels())).split('\n');
  check(lines[1] === `${second[0].toFixed(6)}\t${moved.end.toFixed(6)}\tsilence` &&
        lines[2] === labelled.split('\n')[2], 'labels() follow the drag', lines[1]);

  // ---- dragging across sound adds a silence there ----
  const from = await at(page, 3.5), to = await at(page, 4.0);
  await page.mouse.move(from.x, from.y);
  await page.mouse.down();
  await page.mouse.move(to.x, to.y, { steps: 8 });
  await page.mouse.up();
  const added = (await page.evaluate(() => window.review.segments()))
    .filter((s) => s.start > 3.3 && s.end < 4.2);
  check(added.length === 1 && Math.abs(added[0].start - 3.5) < 0.03 &&
        Math.abs(added[0].end - 4.0) < 0.03, 'a drag across sound adds a silence',
  JSON.stringify(added));

  // ---- clicking a silence plays it; Delete removes it ----
  const middle = await at(page, (third[0] + third[1]) / 2);
  await page.mouse.click(middle.x, middle.y);
  const t0 = (await audio(page)).time;
  await sleep(600);
  const playing = await audio(page);
  check(!playing.paused && playing.time > t0 && playing.time >= third[0] - 1.01,
    'a click plays the silence', JSON.stringify({ t0, playing }));
  await page.keyboard.press('Delete');
  const left = await page.evaluate(() => window.review.segments());
  check(left.length === detected.silences_s.length &&
        !left.some((s) => s.start === third[0]), 'Delete removes the clicked silence');
  check(offences.length === 0, 'no console errors or requests', offences.join('; '));
  await page.close();

  // ---- a format browsers do not play: a FLAC copy beside the page ----
  run('export', 'speech.flac', 'speech.aiff');
  run('review', 'speech.aiff', '-o', 'aiff.html');
  check(existsSync(join(work, 'aiff.review.flac')), 'a FLAC copy is written beside the page');
  const copy = await open(join(work, 'aiff.html'));
  const copied = await audio(copy.page);
  check(!copied.error && Math.abs(copied.duration - detected.frames / 44100) < 0.05,
    'the copy plays', JSON.stringify(copied));
  check(copy.offences.length === 0, 'no offences with the copy', copy.offences.join('; '));
  await copy.page.close();

  // ---- --embed-audio: the sound inside the page ----
  run('review', 'speech.flac', '-o', 'embedded.html', '--embed-audio');
  const html = readFileSync(join(work, 'embedded.html'), 'utf8');
  check(html.includes('src="data:audio/flac;base64,'), 'the sound is a data: URL');
  const embedded = await open(join(work, 'embedded.html'));
  const inline = await audio(embedded.page);
  check(!inline.error && inline.src.startsWith('data:'), 'the embedded sound loads',
    JSON.stringify(inline));
  check(embedded.offences.length === 0, 'no offences embedded', embedded.offences.join('; '));
  await embedded.page.close();

  // ---- --loudness: the curve `vxaudio loudness` prints, drawn ----
  run('review', 'speech.flac', '-o', 'loudness.html', '--loudness');
  const printed = run('loudness', 'speech.flac', '--format', 'csv').trim().split('\n').slice(1)
    .map((row) => Number(row.split(',')[1]));
  const curve = await open(join(work, 'loudness.html'));
  const { values, scale, drawn } = await curve.page.evaluate(() => {
    const canvas = document.getElementById('loudness-curve');
    const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    let n = 0;
    for (let i = 3; i < pixels.length; i += 4) n += pixels[i] > 0;
    const data = JSON.parse(document.getElementById('review-data').textContent);
    return { values: window.review.loudness(), scale: data.loudness, drawn: n };
  });
  check(values.length === printed.length, 'one value per frame',
    `${values.length} against ${printed.length}`);
  // Within half a step of the byte scale; anything at or below its bottom
  // (digital silence's noise) reads as the bottom.
  const halfStep = Math.log(scale.high / scale.low) / 510 + 1e-5;
  const off = printed.findIndex((v, k) => !(v > scale.low
    ? Math.abs(Math.log(values[k] / v)) <= halfStep
    : Math.abs(values[k] / scale.low - 1) < 1e-9));
  check(off < 0, 'the values are the printed ones', `frame ${off}: ${values[off]} against ${printed[off]}`);
  check(drawn > 1000, 'the curve is drawn', `${drawn} pixels`);
  check(curve.offences.length === 0, 'no offences with the curve', curve.offences.join('; '));
} catch (e) {
  check(false, 'the run', e.stack);
} finally {
  await browser.close();
}
console.log(failures ? `${failures} failed` : 'passed');
process.exit(failures ? 1 : 0);
