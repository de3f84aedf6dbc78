// End to end: a filter list subscribed with `cvie lists add` from a loopback
// server decides a page through cvie proxy in headless Chromium: a script the
// list blocks does not run, one its exception allows does, an element a hiding
// rule names is not visible and one a hiding exception keeps is. The panel's
// blocked-pages record names the list's rules.
// Exits 77 (skipped) when Chromium or playwright-core is missing.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { E2eRun, isShown, needBrowser } from './harness.mjs';

const { cvie, chromium, chromiumPath } = await needBrowser();
const run = new E2eRun('cvie-e2e-lists-');
const { check } = run;
const tmp = run.tmp;
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
try {
  const origin = await run.startOrigin(www);
  const added = execFileSync(cvie, ['lists', 'add', `http://127.0.0.1:${origin.port}/list.txt`],
    { env, stdio: ['ignore', 'pipe', 'pipe'] }).toString();
  check('cvie lists add subscribes to the list', /E2E list/.test(execFileSync(cvie, ['lists'], { env }).toString()),
    added);
  const proxy = await run.startProxy(cvie, env);

  const context = await run.launch(chromium, chromiumPath, proxy.port);
  const page = await context.newPage();
  const shown = (sel) => isShown(page, sel);

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
  run.fail(e);
}
await run.finish();
