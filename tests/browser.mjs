// Headless Chromium for the review page's test and benchmark, or exit 77
// (skipped) when puppeteer-core or Chromium is not installed.
// CHROMIUM names another Chromium than /usr/bin/chromium.
import { existsSync } from 'node:fs';

export async function launchBrowser() {
  const chromium = process.env.CHROMIUM || '/usr/bin/chromium';
  let puppeteer;
  try {
    ({ default: puppeteer } = await import('puppeteer-core'));
  } catch {
    console.log('skipped: puppeteer-core is not installed (run scripts/install-deps.sh test)');
    process.exit(77);
  }
  if (!existsSync(chromium)) {
    console.log(`skipped: no Chromium at ${chromium} (run scripts/install-deps.sh test)`);
    process.exit(77);
  }
  // No sandbox: the tests run as root; autoplay: a click plays without a
  // gesture the page cannot get from puppeteer's synthetic ones.
  return puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--no-sandbox', '--autoplay-policy=no-user-gesture-required'],
  });
}
