// End to end: a filter list subscribed with `cvie lists add` from a loopback
// server decides a page through cvie proxy in headless Chromium: a script the
// list blocks does not run, one its exception allows does, an element a hiding
// rule names is not visible and one a hiding exception keeps is. The panel's
// blocked-pages record names the list's rules.
// Exits 77 (skipped) when Chromium or playwright-core is missing.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

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

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'cvie-e2e-lists-'));
const www = path.join(tmp, 'www');
fs.mkdirSync(path.join(www, 'widgets'), { recursive: true });
fs.mkdirSync(path.join(www, 'js'), { recursive: true });
fs.writeFileSync(path.join(www, 'list.txt'), `[Adblock Plus 2.0]
! Title: E2E list
! Expires: 4 days
/widgets/
@@/widgets/weather.js
##.sponsor-box
##.promo-strip
#@#.promo-strip
`);
fs.writeFileSync(path.join(www, 'widgets', 'tracker.js'), 'window.trackerRan = true;\n');
fs.writeFileSync(path.join(www, 'widgets', 'weather.js'), 'window.weatherRan = true;\n');
fs.writeFileSync(path.join(www, 'index.html'), `<!DOCTYPE html>
<html><head><title>Local News</title></head><body>
<p id="story">The story of the day, told in full.</p>
<div class="sponsor-box" id="sponsor">Sponsored by a stranger</div>
<div class="promo-strip" id="promo">Our own offers</div>
<script src="/widgets/tracker.js"></script>
<script src="/widgets/weather.js"></script>
</body></html>
`);

const env = { ...process.env, CVIE_ROOT: path.join(tmp, 'root'), CVIE_UPDATE_SERVER: 'http://127.0.0.1:9',
  CVIE_DEFAULT_LISTS: '' };
const children = [];
function start(cmd, args, pattern) {
  return new Promise((resolve, reject) => {
    const child = spawn(cmd, args, { env, stdio: ['ignore', 'pipe', 'pipe'] });
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
  const origin = await start('python3', ['-u', '-m', 'http.server', '0', '--bind', '127.0.0.1', '--directory', www],
    /port (\d+)/);
  const added = execFileSync(cvie, ['lists', 'add', `http://127.0.0.1:${origin.port}/list.txt`],
    { env, stdio: ['ignore', 'pipe', 'pipe'] }).toString();
  check('cvie lists add subscribes to the list', /E2E list/.test(execFileSync(cvie, ['lists'], { env }).toString()),
    added);
  const proxy = await start(cvie, ['proxy', '--listen', '127.0.0.1:0', '--no-update-check'],
    /listening on http:\/\/127\.0\.0\.1:(\d+)\//);

  context = await chromium.launchPersistentContext(path.join(tmp, 'profile'), {
    executablePath: chromiumPath,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--proxy-server=127.0.0.1:${proxy.port}`, '--proxy-bypass-list=<-loopback>'],
  });
  const page = await context.newPage();
  const shown = (sel) => page.evaluate((s) => {
    const el = document.querySelector(s);
    if (!el) return false;
    const st = getComputedStyle(el);
    return st.display !== 'none' && st.visibility !== 'hidden' && el.getBoundingClientRect().width > 0;
  }, sel);

  await page.goto(`http://127.0.0.1:${origin.port}/index.html`);
  check('page renders its text', (await page.textContent('#story')).includes('story of the day'));
  check('the script the list blocks did not run', !(await page.evaluate(() => window.trackerRan === true)));
  check('the script its exception allows ran', await page.evaluate(() => window.weatherRan === true));
  check('the element a hiding rule names is not visible', !(await shown('#sponsor')));
  check('the element a hiding exception keeps is visible', await shown('#promo'));

  const record = await (await fetch(`http://127.0.0.1:${proxy.port}/blocked.json`)).text();
  check('the blocked-pages record names the list rule',
    record.includes('"text":"/widgets/tracker.js"') && record.includes('E2E list:4: /widgets/'),
    record.slice(0, 2000));
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
