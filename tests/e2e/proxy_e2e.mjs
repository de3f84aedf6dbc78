// End to end: cvie proxy between headless Chromium and a local origin server.
// Exits 77 (skipped) when Chromium or playwright-core is missing.
import fs from 'node:fs';
import path from 'node:path';
import { E2eRun, here, isShown, needBrowser } from './harness.mjs';

const { cvie, chromium, chromiumPath } = await needBrowser();
const run = new E2eRun('cvie-e2e-');
const { check } = run;
const tmp = run.tmp;
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

try {
  const origin = await run.startOrigin(www);
  const proxy = await run.startProxy(cvie,
    { CVIE_ROOT: path.join(tmp, 'root'), CVIE_UPDATE_SERVER: 'http://127.0.0.1:9', CVIE_DEFAULT_LISTS: '' });
  const site = `http://127.0.0.1:${origin.port}/index.html`;
  const panel = `http://127.0.0.1:${proxy.port}/`;

  const context = await run.launch(chromium, chromiumPath, proxy.port);
  const page = await context.newPage();

  // An image is shown when it is in the page and not hidden.
  const shown = (sel) => isShown(page, sel);

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
  run.fail(e);
}
await run.finish();
