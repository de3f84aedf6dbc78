// End to end: secure pages filtered by cvie proxy in headless Chromium. A
// loopback HTTPS origin with a certificate from a CA made here; the proxy
// verifies it against that CA (CVIE_UPSTREAM_CA_FILE); Chromium trusts the
// proxy's local CA through its SPKI hash. A host listed for passthrough
// reaches Chromium with the origin's own certificate, unfiltered. A subscribed
// list names an advertising host: the page's script element from it is cut,
// and a script the page adds at run time (which no page filter can see) is
// refused at CONNECT; the panel's blocked-pages record names the rule for both.
// The Secure sites page's self-test address reports the trusted local CA.
// Exits 77 (skipped) when Chromium, openssl or playwright-core is missing.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import https from 'node:https';
import path from 'node:path';
import { E2eRun, isShown, needBrowser, skip } from './harness.mjs';

const { cvie, chromium, chromiumPath } = await needBrowser();
try { execFileSync('openssl', ['version']); } catch { skip('openssl is not installed'); }
const e2e = new E2eRun('cvie-e2e-https-');
const { check } = e2e;
const tmp = e2e.tmp;
const root = path.join(tmp, 'root');
const file = (name) => path.join(tmp, name);
const openssl = (...args) => execFileSync('openssl', args, { stdio: ['ignore', 'pipe', 'pipe'] });

// The origin's CA and its leaf for localhost and 127.0.0.1.
openssl('req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
  '-keyout', file('origin-ca.key'), '-out', file('origin-ca.pem'), '-days', '2',
  '-subj', '/CN=E2E Origin CA', '-addext', 'basicConstraints=critical,CA:TRUE',
  '-addext', 'keyUsage=critical,keyCertSign');
openssl('req', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
  '-keyout', file('leaf.key'), '-out', file('leaf.csr'), '-subj', '/CN=localhost');
fs.writeFileSync(file('leaf.ext'), 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n');
openssl('x509', '-req', '-in', file('leaf.csr'), '-CA', file('origin-ca.pem'), '-CAkey', file('origin-ca.key'),
  '-CAcreateserial', '-out', file('leaf.pem'), '-days', '2', '-extfile', file('leaf.ext'));
// Base64 SHA-256 of a certificate's SubjectPublicKeyInfo, as Chromium takes it.
function spkiOf(pem) {
  const pub = execFileSync('openssl', ['x509', '-pubkey', '-noout'], { input: pem });
  const der = execFileSync('openssl', ['pkey', '-pubin', '-outform', 'DER'], { input: pub });
  return execFileSync('openssl', ['dgst', '-sha256', '-binary'], { input: der }).toString('base64');
}

const gif = Buffer.from('R0lGODlhAQABAIAAAP///wAAACH5BAEAAAAALAAAAAABAAEAAAICRAEAOw==', 'base64');
const pageHtml = `<!DOCTYPE html>
<html><head><title>Secure News</title></head><body>
<p id="story">The secure story of the day.</p>
<img id="ad" src="/ads/banner_468x60.gif" width="468" height="60">
<img id="photo" src="/photo.gif" width="100" height="80">
<script src="https://adhost.test/tracker.js"></script>
<script>
const added = document.createElement('script');
added.src = 'https://adhost' + '.test/added.js';
document.body.appendChild(added);
</script>
</body></html>
`;
let originRequests = 0;
const origin = https.createServer({ key: fs.readFileSync(file('leaf.key')), cert: fs.readFileSync(file('leaf.pem')) },
  (req, res) => {
    originRequests++;
    if (req.url.endsWith('.gif')) { res.writeHead(200, { 'Content-Type': 'image/gif' }); res.end(gif); return; }
    res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    res.end(pageHtml);
  });
await new Promise((resolve) => origin.listen(0, '127.0.0.1', resolve));
const originPort = origin.address().port;

const env = { ...process.env, CVIE_ROOT: root, CVIE_UPDATE_SERVER: 'http://127.0.0.1:9', CVIE_DEFAULT_LISTS: '' };
const run = (...args) => execFileSync(cvie, args, { env, stdio: ['ignore', 'pipe', 'pipe'] }).toString();

try {
  const created = run('ca', 'create');
  const spki = (created.match(/SPKI SHA-256: (\S+)/) || [])[1];
  check('cvie ca create prints the SPKI hash', !!spki, created);
  const switched = run('https', 'on');
  const passthrough = (switched.match(/listed in (\S+)/) || [])[1];
  check('cvie https on names the passthrough file', !!passthrough && fs.existsSync(passthrough), switched);

  // A subscribed list naming the script's host, as the list updater installs it.
  const lists = path.join(root, 'share', 'Corvane', 'lists');
  fs.mkdirSync(lists, { recursive: true });
  fs.writeFileSync(path.join(lists, '0123456789abcdef.txt'),
    '[Adblock Plus 2.0]\n! Title: E2E ads\n||adhost.test^\n');
  fs.writeFileSync(path.join(lists, 'generation'), '1\n');

  // Secure sites are reached on port 443 only unless widened: allow the origin's.
  const proxy = await e2e.startProxy(cvie, { ...env, CVIE_UPSTREAM_CA_FILE: file('origin-ca.pem') },
    ['--connect-ports', `443,${originPort}`]);

  const context = await e2e.launch(chromium, chromiumPath, proxy.port, {
    // The proxy's local CA, and for the passthrough case the origin's certificate.
    extraArgs: [`--ignore-certificate-errors-spki-list=${spki},${spkiOf(fs.readFileSync(file('leaf.pem')))}`],
  });
  const page = await context.newPage();
  const shown = (sel) => isShown(page, sel);

  let response = await page.goto(`https://localhost:${originPort}/index.html`);
  let security = await response.securityDetails();
  check('secure page renders its text', (await page.textContent('#story')).includes('secure story'));
  check('secure page is signed by the local CA', security && security.issuer === 'Corvane Filter Local CA',
    JSON.stringify(security));
  const protocol = await page.evaluate(() => performance.getEntriesByType('navigation')[0].nextHopProtocol);
  check('secure page spoke HTTP/1.1 to the proxy', protocol === 'http/1.1', protocol);
  check('ad image on the secure page is hidden or gone', !(await shown('img[src*="/ads/"]')));
  check('ordinary image on the secure page is shown', await shown('#photo'));
  // The run-time script's CONNECT may still be under way when the page is
  // shown: look at the record for a few seconds.
  let record = '';
  for (let i = 0; i < 20; i++) {
    record = await (await fetch(`http://127.0.0.1:${proxy.port}/blocked.json`)).text();
    if (record.includes('"kind":"secure-site"')) break;
    await new Promise((r) => setTimeout(r, 250));
  }
  check('the listed host\'s script element is cut from the secure page',
    record.includes('"kind":"script","text":"https://adhost.test/tracker.js"') &&
    record.includes('"rule":"E2E ads:3: ||adhost.test^"'), record.slice(0, 2000));
  check('the run-time script\'s host is refused at CONNECT with the list rule',
    /"kind":"secure-site","text":"adhost\.test"[^}]*"rule":"E2E ads:3: \|\|adhost\.test\^"/.test(record),
    record.slice(0, 2000));

  // The self-test address the Secure sites page links to: answered by the
  // proxy itself inside a connection the browser accepted with the local CA.
  const selfTest = await page.goto('https://cvie-selftest.invalid/');
  check('the self-test reports that the browser trusts the local CA',
    selfTest && selfTest.status() === 200 &&
    (await page.textContent('body')).includes('this browser trusts the local CA'),
    selfTest ? `${selfTest.status()} ${await page.textContent('body')}` : 'no answer');

  // 127.0.0.1 is listed: its secure connections pass through untouched.
  fs.appendFileSync(passthrough, '127.0.0.1\n');
  response = await page.goto(`https://127.0.0.1:${originPort}/index.html`);
  security = await response.securityDetails();
  check('passthrough host shows the origin certificate', security && security.issuer === 'E2E Origin CA',
    JSON.stringify(security));
  check('passthrough host keeps its ad', await shown('img[src*="/ads/"]'));
  check('the origin was reached', originRequests > 0);
} catch (e) {
  e2e.fail(e);
}
origin.close();
await e2e.finish();
