// Loads what `vxaudio graph` writes into waveform-data (the library web
// waveform players read their data with) and checks what a player would
// see: length, duration, channels and every min/max value.
//
// Usage: node tests/waveform-data-check.mjs VXAUDIO WORKDIR
// Exit 0 passed, 1 failed, 77 skipped (waveform-data is not installed).
import { execFileSync } from 'node:child_process';
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';

const [vxaudio, work] = process.argv.slice(2);
let WaveformData;
try {
  ({ default: WaveformData } = await import('waveform-data'));
} catch {
  console.log('skipped: waveform-data is not installed (run scripts/install-deps.sh test)');
  process.exit(77);
}
mkdirSync(work, { recursive: true });

// 1.5 s of 16-bit stereo at 44.1 kHz: a second with the channels at
// different levels (0.5 and 0.25 of full scale, in phase), then half a
// second with channel 0 silent and channel 1 at full scale.
const rate = 44100, frames = 66150;
const samples = [[], []];
for (let i = 0; i < frames; ++i) {
  const sign = i % 2 ? -1 : 1;
  const [a, b] = i < rate ? [16384, 8192] : [0, 32767];
  samples[0].push(sign * a);
  samples[1].push(sign < 0 && b === 32767 ? -32768 : sign * b);
}
const wav = Buffer.alloc(44 + frames * 4);
wav.write('RIFF', 0);
wav.writeUInt32LE(36 + frames * 4, 4);
wav.write('WAVEfmt ', 8);
wav.writeUInt32LE(16, 16);
wav.writeUInt16LE(1, 20);  // integer PCM
wav.writeUInt16LE(2, 22);
wav.writeUInt32LE(rate, 24);
wav.writeUInt32LE(rate * 4, 28);
wav.writeUInt16LE(4, 32);
wav.writeUInt16LE(16, 34);
wav.write('data', 36);
wav.writeUInt32LE(frames * 4, 40);
for (let i = 0; i < frames; ++i) {
  wav.writeInt16LE(samples[0][i], 44 + 4 * i);
  wav.writeInt16LE(samples[1][i], 46 + 4 * i);
}
const source = join(work, 'levels.wav');
writeFileSync(source, wav);

// What a pixel should hold: the peaks of its frames (the last pixel may
// have fewer), scaled to the bit depth with halves rounded up.
function expected(values, spp, bits) {
  const full = bits === 8 ? 127 : 32767;
  const scale = v => Math.floor(Math.fround(full * Math.fround(v / 32768)) + 0.5);
  const min = [], max = [];
  for (let at = 0; at < values.length; at += spp) {
    const part = values.slice(at, at + spp);
    min.push(scale(Math.min(...part)));
    max.push(scale(Math.max(...part)));
  }
  return { min, max };
}
const mixdown = samples[0].map((a, i) => Math.fround((a / 32768 + samples[1][i] / 32768) / 2) * 32768);

let failures = 0;
function check(what, got, want) {
  if (JSON.stringify(got) !== JSON.stringify(want)) {
    console.log(`FAIL ${what}: got ${JSON.stringify(got).slice(0, 200)}, want ${JSON.stringify(want).slice(0, 200)}`);
    ++failures;
  }
}

const cases = [
  // The defaults: 256 samples per pixel, 8 bits, as players load them.
  { out: 'split.json', args: ['--split-channels'], spp: 256, bits: 8, channels: samples },
  { out: 'split16.DAT', args: ['--split-channels', '-z', '300', '--bits', '16'], spp: 300, bits: 16,
    channels: samples },
  { out: 'mono.dat', args: ['--pixels-per-second', '100'], spp: 441, bits: 8, channels: [mixdown] },
];
for (const c of cases) {
  const path = join(work, c.out);
  execFileSync(vxaudio, ['graph', '-q', source, ...c.args, '-o', path], { stdio: 'inherit' });
  const bytes = readFileSync(path);
  const input = c.out.endsWith('.json') ? JSON.parse(bytes.toString())
    : bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length);
  const w = WaveformData.create(input);
  const pixels = Math.ceil(frames / c.spp);
  check(`${c.out} channels`, w.channels, c.channels.length);
  check(`${c.out} bits`, w.bits, c.bits);
  check(`${c.out} samples per pixel`, [w.sample_rate, w.scale], [rate, c.spp]);
  check(`${c.out} length`, w.length, pixels);
  check(`${c.out} duration`, Math.abs(w.duration - pixels * c.spp / rate) < 1e-9, true);
  c.channels.forEach((values, ch) => {
    const want = expected(values, c.spp, c.bits);
    check(`${c.out} channel ${ch} min`, w.channel(ch).min_array(), want.min);
    check(`${c.out} channel ${ch} max`, w.channel(ch).max_array(), want.max);
  });
}
console.log(failures ? `${failures} checks failed` : `${cases.length} files loaded and checked`);
process.exit(failures ? 1 : 0);
