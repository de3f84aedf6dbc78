// What every browser test shares: the tools it needs (exit 77, skipped, when
// one is missing), a temporary folder, the processes it starts (an origin,
// cvie proxy), headless Chromium set to use the proxy, and the "ok - ..." /
// "not ok - ..." lines with the exit code that CTest reads.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const here = path.dirname(fileURLToPath(import.meta.url));

export function skip(why) {
  console.log(`SKIP: ${why}`);
  process.exit(77);
}

// The cvie program named on the command line, Chromium and playwright-core.
export async function needBrowser() {
  const cvie = process.argv[2];
  const chromiumPath = process.env.CVIE_CHROMIUM || '/usr/bin/chromium';
  if (!cvie || !fs.existsSync(cvie)) skip(`no cvie program at ${cvie}`);
  if (!fs.existsSync(chromiumPath)) skip('chromium is not installed (scripts/e2e-deps.sh)');
  let chromium;
  try {
    ({ chromium } = await import('playwright-core'));
  } catch {
    skip('playwright-core is not installed in tests/e2e (scripts/e2e-deps.sh)');
  }
  return { cvie, chromium, chromiumPath };
}

// The source of axe-core, to put into a page.
export function needAxe() {
  try {
    return fs.readFileSync(path.join(here, 'node_modules', 'axe-core', 'axe.min.js'), 'utf8');
  } catch {
    skip('axe-core is not installed in tests/e2e (scripts/e2e-deps.sh)');
  }
}

// Whether the element `selector` finds on `page` is on screen: present, not
// hidden by display or visibility, and with a width.
export function isShown(page, selector) {
  return page.evaluate((s) => {
    const el = document.querySelector(s);
    if (!el) return false;
    const st = getComputedStyle(el);
    return st.display !== 'none' && st.visibility !== 'hidden' && el.getBoundingClientRect().width > 0;
  }, selector);
}

export class E2eRun {
  // `prefix` names the temporary folder (removed by finish).
  constructor(prefix) {
    this.tmp = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
    this.children = [];
    this.passed = 0;
    this.failed = 0;
    this.context = null;
    this.check = this.check.bind(this);
  }

  check(name, ok, detail = '') {
    if (ok) {
      this.passed++;
      console.log(`ok - ${name}`);
    } else {
      this.failed++;
      console.log(`not ok - ${name} ${detail}`);
    }
  }

  // Starts `cmd` and resolves with { child, port } once its output matches
  // `pattern`, whose first group is the port it listens on.
  start(cmd, args, env, pattern) {
    return new Promise((resolve, reject) => {
      const child = spawn(cmd, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
      this.children.push(child);
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

  // A plain HTTP origin serving `folder` on a free loopback port.
  startOrigin(folder) {
    return this.start('python3', ['-u', '-m', 'http.server', '0', '--bind', '127.0.0.1', '--directory', folder], {},
      /port (\d+)/);
  }

  // cvie proxy on a free loopback port, with `env` (CVIE_ROOT and the rest).
  startProxy(cvie, env, extraArgs = []) {
    return this.start(cvie, ['proxy', '--listen', '127.0.0.1:0', '--no-update-check', ...extraArgs], env,
      /listening on http:\/\/127\.0\.0\.1:(\d+)\//);
  }

  // Headless Chromium with a profile of its own, sending every request (also
  // to loopback) through the proxy at `proxyPort`.
  async launch(chromium, chromiumPath, proxyPort, { extraArgs = [], ...options } = {}) {
    this.context = await chromium.launchPersistentContext(path.join(this.tmp, 'profile'), {
      executablePath: chromiumPath,
      headless: true,
      ...options,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        `--proxy-server=127.0.0.1:${proxyPort}`, '--proxy-bypass-list=<-loopback>', ...extraArgs],
    });
    return this.context;
  }

  // A step that threw.
  fail(error) {
    this.failed++;
    console.log(`not ok - ${error.stack || error}`);
  }

  // Closes the browser, stops the processes, removes the folder, prints the
  // tally and exits: 1 when anything failed.
  async finish() {
    if (this.context) await this.context.close().catch(() => {});
    for (const c of this.children) c.kill('SIGTERM');
    fs.rmSync(this.tmp, { recursive: true, force: true });
    console.log(`${this.passed} passed, ${this.failed} failed`);
    process.exit(this.failed ? 1 : 0);
  }
}
