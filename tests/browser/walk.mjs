// Walks Quillet in headless Chromium as a person would: create a page, link,
// edit, save, follow links, reopen the form and stop the server from a page.
// Exit codes: 0 passed, 1 failed, 77 skipped (no Chromium or no server binary).
import { spawn } from 'node:child_process';
import { createServer } from 'node:http';
import { existsSync, mkdtempSync, mkdirSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';

const kChromium = process.env.QUILLET_CHROMIUM || '/usr/bin/chromium';
const kServer = resolve(process.env.QUILLET_SERVER || process.argv[2] || '../../build/quillet');
const kScreenshots = resolve(process.env.QUILLET_SCREENSHOTS || join(tmpdir(), 'quillet-screenshots'));
const kBase = 'http://127.0.0.1:8088';
const kSkipped = 77;

function skip(reason) {
  if (process.env.CI === 'true') {
    console.error(`FAILED: the browser test cannot run in CI: ${reason}`);
    process.exit(1);
  }
  console.log(`SKIPPED: browser test: ${reason}`);
  process.exit(kSkipped);
}

let playwright;
try {
  playwright = await import('playwright-core');
} catch {
  skip('playwright-core is not installed (run npm ci in tests/browser)');
}
if (!existsSync(kChromium)) skip(`${kChromium} not found (apt-get install chromium)`);
if (!existsSync(kServer)) skip(`server binary ${kServer} not found`);

function portListens() {
  for (const table of ['/proc/net/tcp', '/proc/net/tcp6']) {
    if (!existsSync(table)) continue;
    const rows = readFileSync(table, 'utf8').split('\n').slice(1);
    if (rows.some((row) => {
      const fields = row.trim().split(/\s+/);
      return fields[1]?.endsWith(':1F98') && fields[3] === '0A';
    })) return true;
  }
  return false;
}

// The browser's default encoding for pages that declare none, for the
// characters typed here: Latin-1, but the euro sign is 0x80.
function windows1252(text) {
  return Buffer.from([...text].map((c) => (c === '€' ? 0x80 : c.charCodeAt(0))));
}

const checks = [];
function check(what, ok, detail = '') {
  checks.push({ what, ok });
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what}${ok || !detail ? '' : `: ${detail}`}`);
}

// Pages of another site that try to save over the wiki's pages and to stop it
// while the user merely visits them: an image, a navigation, an image whose
// URL is padded past the server's 640 KiB so that its headers are cut off,
// and an image that asks for the stop.
function attackPages() {
  const save = (text, pad = '') => `${kBase}/save/main?data=${text}&eof=1${pad}`;
  const padded = save('forged+by+padding', `&pad=${'p'.repeat(700000)}`);
  return {
    '/save': `<img src="${save('forged+by+image')}"><img src="${padded}">
      <script>setTimeout(() => { location = "${save('forged+by+navigation')}"; }, 1500);</script>`,
    '/stop': `<img src="${kBase}/byebye">`,
  };
}

function startAttackSite() {
  const pages = attackPages();
  const site = createServer((request, response) => {
    response.writeHead(pages[request.url] ? 200 : 404, { 'Content-Type': 'text/html' });
    response.end(pages[request.url] ?? '');
  });
  return new Promise((ready) => site.listen(0, '127.0.0.1', () => ready(site)));
}

async function imagesSettled(page) {
  await page.waitForFunction(() => [...document.images].every((image) => image.complete),
    null, { timeout: 10000 });
}

// localhost is another site than 127.0.0.1 (Sec-Fetch-Site: cross-site); the
// same address on another port is the same site but another origin.
async function tryForgedRequests(browser, directory) {
  const files = () => ['main.txt', 'main.txt.old', 'main.txt.new'].map((name) => {
    const path = join(directory, 'pages', name);
    return existsSync(path) ? readFileSync(path).toString('latin1') : null;
  });
  const before = files();
  const site = await startAttackSite();
  const port = site.address().port;
  try {
    for (const origin of [`http://localhost:${port}`, `http://127.0.0.1:${port}`]) {
      const attacker = await browser.newPage();
      await attacker.goto(`${origin}/save`);
      await imagesSettled(attacker);
      await attacker.waitForURL(`${kBase}/save/**`, { timeout: 10000 });
      check(`a save forged from ${origin} is refused with a page that says so`,
        (await attacker.textContent('body')).includes('came from another web site'));
      await attacker.goto(`${origin}/stop`);
      await imagesSettled(attacker);
      await attacker.close();
    }
  } finally {
    await new Promise((closed) => site.close(closed));
  }
  check('forged saves leave the page, its backup and the directory unchanged',
    JSON.stringify(files()) === JSON.stringify(before));
  check('a forged stop leaves the server running', server.exitCode === null);
}

const directory = mkdtempSync(join(tmpdir(), 'quillet-browser-'));
const server = spawn(kServer, [], { cwd: directory, stdio: 'ignore' });
const exited = new Promise((done) => server.on('exit', (code) => done(code)));
let browser;

// What a person types, line by line (Enter between lines).
const typedLines = [
  'My first page, see [Second] and [Third].',
  'Markup that must survive: </textarea> and a & b < c',
  '100% + more',
  'Accents: é ü ñ and the euro sign €',
];
const typed = typedLines.join('\n');

try {
  for (let waited = 0; !portListens(); waited += 50) {
    if (waited > 10000) throw new Error('the server did not start listening');
    await sleep(50);
  }
  browser = await playwright.chromium.launch({
    executablePath: kChromium,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = await browser.newPage({ viewport: { width: 900, height: 560 } });
  mkdirSync(kScreenshots, { recursive: true });

  await page.goto(`${kBase}/`);
  check('the main page is missing at first',
    (await page.textContent('body')).includes('Unknown page main.'));
  await page.click('text=Create it');
  check('"Create it" opens the edit form of main', page.url() === `${kBase}/edit/main`);

  await page.locator('textarea').pressSequentially(typed);
  await page.click('input[type=submit]');
  await page.waitForLoadState();
  const body = await page.textContent('body');
  check('the saved page says "Page saved!"', body.startsWith('Page saved! - '), body);
  check('the text shows as typed', body.includes('</textarea> and a & b < c') &&
    body.includes('100% + more') && body.includes('é ü ñ and the euro sign €'), body);
  const breaks = (await page.innerHTML('body')).match(/<br>/g)?.length;
  check('each line ends in a line break', breaks === 2 + typedLines.length - 1, String(breaks));
  await page.screenshot({ path: join(kScreenshots, 'view.png') });

  const stored = readFileSync(join(directory, 'pages', 'main.txt'));
  check('the page file holds the text with CRLF line ends, in windows-1252',
    stored.equals(windows1252(typed.replaceAll('\n', '\r\n'))), stored.toString('latin1'));

  await page.click('a:text-is("Second")');
  check('a link leads to its page', page.url() === `${kBase}/wiki/Second`);
  check('a new page offers to be created',
    (await page.textContent('body')) === 'Unknown page second. Create it.');
  await page.click('text=Create it');
  await page.locator('textarea').pressSequentially('Back to [main].');
  await page.click('input[type=submit]');
  await page.waitForLoadState();
  check('the second page is saved',
    (await page.textContent('body')).includes('Page saved!'));
  await page.click('a:text-is("main")');
  check('its link leads back', (await page.textContent('body')).includes('My first page'));

  await page.click('text=Edit this page');
  const inForm = await page.locator('textarea').inputValue();
  check('the edit form holds exactly what was typed', inForm === typed,
    JSON.stringify(inForm));
  await page.screenshot({ path: join(kScreenshots, 'edit.png') });
  await page.click('input[type=submit]');
  await page.waitForLoadState();
  const again = readFileSync(join(directory, 'pages', 'main.txt'));
  check('saving the form unchanged stores the same bytes', again.equals(stored));
  check('the previous text is kept as backup',
    readFileSync(join(directory, 'pages', 'main.txt.old')).equals(stored));

  await tryForgedRequests(browser, directory);
  await page.click('text=Edit this page');
  await page.locator('textarea').fill('Saved after the attack.');
  await page.click('input[type=submit]');
  await page.waitForLoadState();
  check('after the attack the wiki\'s own form still saves',
    readFileSync(join(directory, 'pages', 'main.txt'), 'latin1') === 'Saved after the attack.');

  await page.click('text=Kill the server');
  check('"Kill the server" asks for confirmation', page.url() === `${kBase}/bye`);
  await page.click('text=Click here to kill the server');
  const code = await Promise.race([exited, sleep(5000).then(() => 'still running')]);
  check('the confirmation link stops the server with exit code 0', code === 0, String(code));
} catch (error) {
  check('the walk completed', false, error.stack);
} finally {
  await browser?.close();
  if (server.exitCode === null) {
    server.kill('SIGTERM');
    await Promise.race([exited, sleep(3000)]);
    if (server.exitCode === null) server.kill('SIGKILL');
  }
  rmSync(directory, { recursive: true, force: true });
}

const failed = checks.filter((c) => !c.ok).length;
console.log(`${checks.length - failed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
