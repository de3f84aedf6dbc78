// End to end: the control panel in headless Chromium. Two tabs load two pages
// through the proxy; the recent-page choice allows ads on the page picked, not
// on the one loaded last; the whitelist page adds and refuses entries; every
// panel page passes axe-core without serious or critical violations and fits
// a 375 px wide screen. Exits 77 (skipped) when Chromium, playwright-core or
// axe-core is missing.
import fs from 'node:fs';
import path from 'node:path';
import { E2eRun, here, isShown, needAxe, needBrowser } from './harness.mjs';

const { cvie, chromium, chromiumPath } = await needBrowser();
const axeSource = needAxe();
const run = new E2eRun('cvie-e2e-panel-');
const { check } = run;
const tmp = run.tmp;
const www = path.join(tmp, 'www');
fs.mkdirSync(path.join(www, 'ads'), { recursive: true });
const gif = Buffer.from('R0lGODlhAQABAIAAAP///wAAACH5BAEAAAAALAAAAAABAAEAAAICRAEAOw==', 'base64');
fs.writeFileSync(path.join(www, 'ads', 'banner_468x60.gif'), gif);
for (const name of ['one', 'two']) {
  fs.writeFileSync(path.join(www, `${name}.html`), `<!DOCTYPE html>
<html><head><title>Page ${name}</title></head><body>
<p id="story">Story ${name}.</p>
<img id="ad" src="/ads/banner_468x60.gif" width="468" height="60">
</body></html>
`);
}

try {
  const origin = await run.startOrigin(www);
  const proxy = await run.startProxy(cvie,
    { CVIE_ROOT: path.join(tmp, 'root'), CVIE_UPDATE_SERVER: 'http://127.0.0.1:9', CVIE_DEFAULT_LISTS: '' });
  const site = `http://127.0.0.1:${origin.port}`;
  const panel = `http://127.0.0.1:${proxy.port}`;

  // axe-core is put into the panel's pages, whose policy allows no such script.
  const context = await run.launch(chromium, chromiumPath, proxy.port, { bypassCSP: true });
  const shown = (page) => isShown(page, 'img[src*="/ads/"]');

  // Two tabs: "one" first, then "two" (the last loaded).
  const tabOne = await context.newPage();
  await tabOne.goto(`${site}/one.html`);
  const tabTwo = await context.newPage();
  await tabTwo.goto(`${site}/two.html`);
  check('ads hidden in both tabs', !(await shown(tabOne)) && !(await shown(tabTwo)));

  const p = await context.newPage();
  await p.goto(`${panel}/allow`);
  check('the most recent page is preselected',
    await p.locator(`input[type=radio][value="${site}/two.html"]`).isChecked());
  await p.locator('label', { hasText: `${site}/one.html` }).click();
  await Promise.all([p.waitForNavigation(), p.click('#allow-page')]);
  check('the page picked is marked as allowed',
    (await p.textContent('main')).includes('(ads allowed on this page)'));
  await tabOne.reload();
  await tabTwo.reload();
  check('ads shown on the page picked', await shown(tabOne));
  check('ads still hidden on the page loaded last', !(await shown(tabTwo)));

  await p.goto(`${panel}/whitelist`);
  await Promise.all([p.waitForNavigation(), p.click('#whitelist-add-button')]);
  check('an empty entry is refused with a message',
    (await p.textContent('#outcome')).includes('Type a site or a page address first'));
  await p.fill('#whitelist-entry', '  news.example ');
  await Promise.all([p.waitForNavigation(), p.click('#whitelist-add-button')]);
  check('a trimmed entry is added', (await p.textContent('#whitelist-table')).includes('news.example'));
  await p.fill('#whitelist-entry', 'news.example');
  await Promise.all([p.waitForNavigation(), p.click('#whitelist-add-button')]);
  check('an entry already present is refused',
    (await p.textContent('#outcome')).includes('is on the whitelist already'));
  await Promise.all([p.waitForNavigation(), p.click('button[aria-label="Remove news.example"]')]);
  check('an entry is removed', (await p.textContent('#outcome')).includes('Removed news.example'));

  // Preferences as a page of its own: two tabs, two dialogs; Escape cancels.
  const prefsA = await context.newPage();
  await prefsA.goto(`${panel}/preferences`);
  const prefsB = await context.newPage();
  await prefsB.goto(`${panel}/preferences`);
  const imageBox = (pg) => pg.locator('label:has-text("Filter Image") input');
  await Promise.all([prefsA.waitForNavigation(), imageBox(prefsA).click()]);
  check('a change in one tab stays in its dialog', !(await imageBox(prefsA).isChecked()));
  await prefsB.reload();
  check('the other tab does not see it', await imageBox(prefsB).isChecked());
  await Promise.all([prefsB.waitForNavigation(), prefsB.keyboard.press('Escape')]);
  check('Escape cancels the dialog', new URL(prefsB.url()).pathname === '/');
  await Promise.all([prefsA.waitForNavigation(), prefsA.click('#ok')]);
  check('OK saves and says so', (await prefsA.textContent('#outcome')).includes('Saved'));
  check('the saved state is shown', !(await imageBox(prefsA).isChecked()));
  await tabTwo.reload();
  check('with Filter Image off the ad image is shown', await shown(tabTwo));

  // Every panel page: no serious or critical accessibility violation, and
  // nothing wider than a small phone's screen.
  fs.mkdirSync(path.join(here, 'artifacts'), { recursive: true });
  await p.bringToFront();
  await p.setViewportSize({ width: 375, height: 700 });
  const pages = ['/', '/update', '/allow', '/whitelist', '/help', '/report', '/blocked',
    '/log/view', '/lists', '/secure-sites', '/preferences', '/about'];
  for (const address of pages) {
    await p.goto(panel + address);
    await p.addScriptTag({ content: axeSource });
    const result = await p.evaluate(() => window.axe.run(document, { resultTypes: ['violations'] }));
    const bad = result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical');
    check(`${address}: axe-core ran its rules`, result.passes.length > 0);
    check(`${address}: no serious accessibility violation`, bad.length === 0,
      bad.map((v) => `${v.id} (${v.impact}): ${v.nodes.slice(0, 2).map((n) => n.target.join(' ')).join(', ')}`).join('; '));
    const width = await p.evaluate(() => document.documentElement.scrollWidth);
    const wide = await p.evaluate(() => [...document.querySelectorAll('body *')]
      .filter((e) => e.getBoundingClientRect().right > 375)
      .map((e) => `${e.tagName.toLowerCase()}${e.id ? '#' + e.id : ''}`).slice(0, 5).join(' '));
    check(`${address}: fits 375 px`, width <= 375, `scroll width ${width}: ${wide}`);
    const name = address === '/' ? 'home' : address.slice(1).replace(/\//g, '-');
    await p.screenshot({ path: path.join(here, 'artifacts', `panel-${name}.png`), fullPage: true });
  }
} catch (e) {
  run.fail(e);
}
await run.finish();
