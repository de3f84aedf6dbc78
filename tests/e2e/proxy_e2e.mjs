// End to end: cvie proxy between headless Chromium and a local origin server.
// Exits 77 (skipped) when Chromium or playwright-core is missing.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const chromiumPath = process.env.CVIE_CHROMIUM || '/usr/bin/chromium';
const cvie = process.argv[2];
if (!cvie || !fs.existsSync(cvie)) { console.log(`SKIP: no cvie program at ${cvie}`); process.exit(77); }
if (!fs.existsSync(chromiumPath)) { console.log('SKIP: chromium is not installed (scripts/e2e-deps.sh)'); process.exit(77); }
let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  console.log('SKIP: playwright-core is not installed in tests/e2e (scripts/e2e-deps.sh)');
  process.exit(77);
}

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'cvie-e2e-'));
const www = path.join(tmp, 'www');
fs.mkdirSync(path.join(www, 'ads'), { recursive: true });
// A 1x1 GIF.
const gif = Buffer.from('R0lGODlhAQABAIAAAP///wAAACH5BAEAAAAALAAAAAABAAEAAAICRAEAOw==', 'base64');
fs.writeFileSync(path.join(www, 'ads', 'banner_468x60.gif'), gif);
fs.writeFileSync(path.join(www, 'photo.gif'), gif);
fs.writeFileSync(path.join(www, 'index.html'), `<!DOCTYPE html>
<html><head><title>Local News</title></head><body>
<h1 id="headline">Local News</h1>
<p id="story">The story of the day, told in full.</p>
<img id="ad" src="/ads/banner_468x60.gif" width="468" height="60">
<img id="photo" src="/photo.gif" width="100" height="80">
<p id="end">The end.</p>
</body></html>
`);

const children = [];
function start(cmd, args, env, pattern) {
  return new Promise((resolve, reject) => {
    const child = spawn(cmd, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
    children.push(child);
    let seen = '';
    const timer = setTimeout(() => reject(new Error(`${cmd} did not start: ${seen}`)), 30000);
    const look = (data) => {
      seen += data.toString();
      const m = seen.match(pattern);
      if (m) { clearTimeout(timer); resolve({ child, port: Number(m[1]) }); }
    };
    child.stdout.on('data', look);
    child.stderr.on('data', look);
    child.on('exit', (code) => reject(new Error(`${cmd} exited ${code}: ${seen}`)));
  });
}

let passed = 0, failed = 0;
function check(name, ok, detail = '') {
  if (ok) { passed++; console.log(`ok - ${name}`); } else { failed++; console.log(`not ok - ${name} ${detail}`); }
}

let context;
try {
  const origin = await start('python3', ['-u', '-m', 'http.server', '0', '--bind', '127.0.0.1', '--directory', www], {},
    /port (\d+)/);
  const proxy = await start(cvie, ['proxy', '--listen', '127.0.0.1:0', '--no-update-check'],
    { CVIE_ROOT: path.join(tmp, 'root'), CVIE_UPDATE_SERVER: 'http://127.0.0.1:9', CVIE_DEFAULT_LISTS: '' },
    /listening on http:\/\/127\.0\.0\.1:(\d+)\//);
  const site = `http://127.0.0.1:${origin.port}/index.html`;
  const panel = `http://127.0.0.1:${proxy.port}/`;

  context = await chromium.launchPersistentContext(path.join(tmp, 'profile'), {
    executablePath: chromiumPath,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--proxy-server=127.0.0.1:${proxy.port}`, '--proxy-bypass-list=<-loopback>'],
  });
  const page = await context.newPage();

  // An image is shown when it is in the page and not hidden.
  const shown = (sel) => page.evaluate((s) => {
    const el = document.querySelector(s);
    if (!el) return false;
    const st = getComputedStyle(el);
    return st.display !== 'none' && st.visibility !== 'hidden' && el.getBoundingClientRect().width > 0;
  }, sel);

  await page.goto(site);
  check('page renders its text', (await page.textContent('#story')).includes('story of the day'));
  check('ad image is hidden or gone', !(await shown('img[src*="/ads/"]')));
  check('ordinary image is shown', await shown('#photo'));

  const panelPage = await context.newPage();
  await panelPage.goto(panel);
  check('panel shows the menu', (await panelPage.textContent('#menu')).includes('Allow Ads On This Website'));
  fs.mkdirSync(path.join(here, 'artifacts'), { recursive: true });
  await panelPage.screenshot({ path: path.join(here, 'artifacts', 'panel.png'), fullPage: true });

  await panelPage.click('button.item:has-text("Allow Ads On This Website")');
  check('website item is checked after whitelisting',
    (await panelPage.getAttribute('button.item:has-text("Allow Ads On This Website")', 'class')).includes('checked'));
  await page.reload();
  check('whitelisted site shows its ad', await shown('img[src*="/ads/"]'));

  await panelPage.click('button.item:has-text("Allow Ads On This Website")');
  await page.reload();
  check('ad hidden again after leaving the whitelist', !(await shown('img[src*="/ads/"]')));

  await panelPage.click('button.item:has-text("Preferences")');
  const box = panelPage.locator('label:has-text("Filter Image") input');
  check('preferences show Filter Image checked', await box.isChecked());
  await Promise.all([panelPage.waitForNavigation(), box.click()]);
  check('Filter Image unchecked in the dialog', !(await panelPage.locator('label:has-text("Filter Image") input').isChecked()));
  await panelPage.screenshot({ path: path.join(here, 'artifacts', 'preferences.png'), fullPage: true });
  await Promise.all([panelPage.waitForNavigation(), panelPage.click('#ok')]);
  check('OK saves and says so', (await panelPage.textContent('#outcome')).includes('Saved'));
  await page.reload();
  check('with Filter Image off the ad image is shown', await shown('img[src*="/ads/"]'));
} catch (e) {
  failed++;
  console.log(`not ok - ${e.stack || e}`);
} finally {
  if (context) await context.close().catch(() => {});
  for (const c of children) c.kill('SIGTERM');
  fs.rmSync(tmp, { recursive: true, force: true });
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
