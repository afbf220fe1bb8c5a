// Drives the widgets example in headless Chromium: starts the program on a
// free loopback port in a folder of its own, runs the page's scenarios the
// way a user would, and stops the program with "quit" (its exit status must
// be 0, which under the sanitizer build also means no leak was found). A
// second run keeps one page only (maxpages="1"), so that pages expire: an
// expired page must say so and lead to a fresh one.
//   node test.mjs <path of the widgets program>
// Every wait is for a condition, with a generous limit: the sanitizer build
// is slow, and a hang fails the test instead of stalling it.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch (error) {
  console.error('playwright-core is not installed: run scripts/test.sh, or npm ci in ' +
    `${path.dirname(new URL(import.meta.url).pathname)} (${error.message})`);
  process.exit(1);
}

const WAIT = 20000;
if (!process.argv[2]) {
  console.error('usage: node test.mjs <path of the widgets program>');
  process.exit(2);
}
// The program runs in a folder of its own: a relative path must not depend on it.
const program = path.resolve(process.argv[2]);

const results = [];
let failures = 0;
async function step(name, body) {
  try {
    await body();
    results.push(`ok - ${name}`);
    console.log(`ok - ${name}`);
  } catch (error) {
    failures += 1;
    console.log(`not ok - ${name}\n  ${String(error && error.stack || error).replace(/\n/g, '\n  ')}`);
  }
}
function check(condition, message) {
  if (!condition) throw new Error(message);
}

// Waits until `condition()` holds; fails with `what` after WAIT.
async function waitFor(condition, what) {
  const deadline = Date.now() + WAIT;
  while (!condition()) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function connects(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

// The program, started in a folder of its own on a free port; `attributes`
// go into the quivooneserver element of its quivoone.xml.
async function startProgram(attributes = '') {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'quivo-widgets-'));
  const port = await freePort();
  fs.writeFileSync(path.join(folder, 'quivoone.xml'),
    `<quivoone><quivooneserver address="127.0.0.1" port="${port}"${attributes}/></quivoone>\n`);
  const child = spawn(program, [], { cwd: folder, stdio: ['pipe', 'pipe', 'pipe'] });
  const run = { folder, port, child, output: '', errors: '', running: true };
  child.stdout.on('data', (data) => { run.output += data; });
  child.stderr.on('data', (data) => { run.errors += data; });
  run.exited = new Promise((resolve) => {
    child.on('exit', (code, signal) => resolve({ code, signal }));
    child.on('error', (error) => {
      run.errors += `cannot start ${program}: ${error.message}\n`;
      resolve({ error });
    });
  });
  run.exited.then(() => { run.running = false; });
  // The listener opens on its own thread after start-up; nothing tells when.
  run.waitListening = async () => {
    const deadline = Date.now() + WAIT;
    while (Date.now() < deadline && run.running) {
      if (await connects(port)) return;
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    throw new Error(`the program did not listen on port ${port}`);
  };
  return run;
}

// Stops the program the way a user does, and waits for it to end.
async function stopProgram(run, name) {
  await step(name, async () => {
    check(run.running, 'the program ended on its own');
    run.child.stdin.end('quit\n');
    const ended = await Promise.race([run.exited, new Promise((r) => setTimeout(() => r(null), 60000))]);
    if (ended === null) {
      run.child.kill('SIGKILL');
      throw new Error('the program did not stop within 60 s of quit');
    }
    check(ended.code === 0, `exit ${JSON.stringify(ended)}`);
  });
  if (run.running) run.child.kill('SIGKILL');
}

function showProgram(run) {
  console.log(`--- program output ---\n${run.output}--- program errors ---\n${run.errors}---`);
}

const first = await startProgram();
const { port } = first;
// The handler's error is looked for in the first program's errors.
const programErrors = () => first.errors;
const base = `http://127.0.0.1:${port}`;
let browser;
try {
  await first.waitListening();
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox'],
    timeout: WAIT,
  });
  const page = await browser.newPage();
  page.setDefaultTimeout(WAIT);
  const pageErrors = [];
  page.on('pageerror', (error) => pageErrors.push(String(error)));
  // Update polls: posts to "/" (widget posts go to /quivowidget.handler).
  let polls = 0;
  const pollAnswers = [];  // the texts of their answers, in order
  const isPoll = (request) =>
    request.method() === 'POST' && new URL(request.url()).pathname === '/';
  page.on('request', (request) => {
    if (isPoll(request)) polls += 1;
  });
  page.on('response', (response) => {
    if (isPoll(response.request())) pollAnswers.push(response.text());
  });

  let quivoid = '';
  await step('opens the page with its template filled and its id in the address', async () => {
    await page.goto(`${base}/`);
    check(await page.title() === 'quivo widgets', `title: ${await page.title()}`);
    check(await page.textContent('h1') === 'quivo widgets', 'heading');
    check(!(await page.content()).includes('[['), 'a template was left unexpanded');
    quivoid = await page.evaluate(() => quivoid);
    check(quivoid.startsWith('page'), `quivoid: ${quivoid}`);
    check(new URL(page.url()).searchParams.get('quivoid') === quivoid, `address: ${page.url()}`);
    // The style sheet is an embedded resource served at its own path.
    const color = await page.$eval('#echoed', (e) => getComputedStyle(e).color);
    check(color === 'rgb(4, 92, 30)', `style sheet not applied: ${color}`);
  });

  await step('echoes the text field as text, quotes, tags and backslashes included', async () => {
    const text = 'a "q" \'x\' <b>t</b></script>\\ & end';
    await page.fill('#field', text);
    await page.click('#echo');
    await page.waitForFunction((t) => document.getElementById('echoed').textContent === t, text);
    check(await page.$$eval('#echoed *', (e) => e.length) === 0, 'markup was echoed as markup');
  });

  await step('runs the scenario: progress arrives by polling, and the polls stop', async () => {
    const answersBefore = pollAnswers.length;
    const finished = page.waitForResponse(async (response) =>
      response.request().method() === 'POST' && new URL(response.url()).pathname === '/' &&
      /twymtfim="?sim/.test(await response.text()));
    await page.click('#start');
    await page.waitForFunction(() =>
      document.getElementById('progress').textContent.trim() === 'step 3 of 3');
    await finished;
    const pollsAtEnd = polls;
    // However many polls the timing allowed, each one before the end asked
    // for another, and only the last one ended the polling.
    const answers = await Promise.all(pollAnswers.slice(answersBefore));
    const ending = answers.map((text) => /twymtfim="?sim/.test(text));
    check(answers.length >= 1 && ending.indexOf(true) === answers.length - 1,
      `polls that ended the polling, in order: ${ending}`);
    // The last answer set no new timer; a poll interval is 200 ms, so a
    // second without a poll shows that polling ended.
    await page.waitForTimeout(1000);
    check(polls === pollsAtEnd, `${polls - pollsAtEnd} polls after the end`);
  });

  await step('opens a modal dialog and closes it; it stays closed after a reload', async () => {
    await page.click('#openmodal');
    await page.waitForSelector('#dialog', { state: 'visible' });
    check(await page.$$eval('[id^=modallock]', (e) => e.length) === 1, 'no cover');
    await page.click('#closedialog');
    await page.waitForSelector('#dialog', { state: 'detached' });
    await page.waitForFunction(() => document.querySelectorAll('[id^=modal]').length === 0);
    await page.reload();
    check(await page.evaluate(() => quivoid) === quivoid, 'the reload made a new page context');
    check(await page.$$eval('#dialog, [id^=modal]', (e) => e.length) === 0,
      'the dialog is back after the reload');
    // The page's state survived the reload: the last echo and the scenario's end.
    check((await page.textContent('#progress')).trim() === 'step 3 of 3', 'progress lost');
    check((await page.textContent('#echoed')).includes('<b>t</b>'), 'echo lost');
  });

  await step('a handler that throws leaves the page working', async () => {
    await page.click('#fail');
    await page.click('#count');
    await page.waitForFunction(() => document.getElementById('counter').textContent === '1');
    await page.click('#count');
    await page.waitForFunction(() => document.getElementById('counter').textContent === '2');
    await waitFor(() => programErrors().includes("the fail button's handler always throws"),
      'the handler\'s error on standard error');
  });

  await step('submits the command form and comes back to the same page', async () => {
    await Promise.all([
      page.waitForURL((url) => url.pathname === '/' && url.searchParams.get('quivoid') === quivoid),
      page.click('button[name=command]'),
    ]);
    await page.waitForFunction(() =>
      document.getElementById('commands').textContent === 'commands received: 1');
  });

  await step('answers the second path for the page, and only for a page', async () => {
    const status = await page.request.get(`${base}/status?quivoid=${encodeURIComponent(quivoid)}`);
    check(status.status() === 200, `status ${status.status()}`);
    const text = await status.text();
    check(text === `page ${quivoid}: echoes 1, clicks 2, scenarios 1, commands 1\n`, text);
    const without = await page.request.get(`${base}/status`);
    check(without.status() === 404, `without a page id: ${without.status()}`);
  });

  await step('a second page gets a page context of its own', async () => {
    const other = await browser.newPage();
    other.setDefaultTimeout(WAIT);
    await other.goto(`${base}/`);
    const otherId = await other.evaluate(() => quivoid);
    check(otherId !== quivoid, 'both pages share one id');
    await other.click('#count');
    await other.waitForFunction(() => document.getElementById('counter').textContent === '1');
    const first = await page.request.get(`${base}/status?quivoid=${encodeURIComponent(quivoid)}`);
    check((await first.text()).includes('clicks 2,'), 'the first page counted the second\'s click');
    await other.close();
  });

  await step('no script error on the page', async () => {
    check(pageErrors.length === 0, pageErrors.join('\n'));
  });
} catch (error) {
  failures += 1;
  console.log(`not ok - ${String(error && error.stack || error)}`);
}
await stopProgram(first, 'the program stops on quit with status 0');

// A program that keeps one page: opening a second page expires the first.
const second = await startProgram(' maxpages="1"');
try {
  await second.waitListening();
  const at = `http://127.0.0.1:${second.port}`;
  if (!browser) throw new Error('no browser');
  const pageErrors = [];
  const open = async () => {
    const page = await browser.newPage();
    page.setDefaultTimeout(WAIT);
    page.on('pageerror', (error) => pageErrors.push(String(error)));
    await page.goto(`${at}/`);
    await page.click('#count');
    await page.waitForFunction(() => document.getElementById('counter').textContent === '1');
    return page;
  };
  const noticeShown = (page) => page.waitForSelector('#quivopagegone', { state: 'visible' });

  let old;
  let newer;
  await step('a click on a page whose context expired shows a notice instead of nothing', async () => {
    old = await open();
    const oldId = await old.evaluate(() => quivoid);
    newer = await open();
    check(await newer.evaluate(() => quivoid) !== oldId, 'both pages share one id');
    const gone = await old.request.get(`${at}/status?quivoid=${encodeURIComponent(oldId)}`);
    check(gone.status() === 404, `the first page is still there: ${gone.status()}`);
    const answered = old.waitForResponse((response) =>
      new URL(response.url()).pathname === '/quivowidget.handler');
    await old.click('#count');
    check((await answered).status() === 404, 'the click was not answered with 404');
    await noticeShown(old);
    const notice = await old.textContent('#quivopagegone');
    check(notice.includes('This page has expired'), `notice: ${notice}`);
    check(await old.textContent('#counter') === '1', 'the dead page counted');
    check(await old.isVisible('#quivopagegonereload'), 'no way to a fresh page');
  });

  await step('the notice loads a fresh page that works', async () => {
    const oldId = await old.evaluate(() => quivoid);
    await old.click('#quivopagegonereload');
    // The fresh page puts its own id into the address.
    await old.waitForFunction((id) => typeof quivoid === 'string' && quivoid !== id &&
      new URL(location.href).searchParams.get('quivoid') === quivoid, oldId);
    const freshId = await old.evaluate(() => quivoid);
    check(freshId !== oldId && freshId.startsWith('page'), `quivoid: ${freshId}`);
    check(await old.$$eval('#quivopagegone', (e) => e.length) === 0, 'the notice stayed');
    await old.click('#count');
    await old.waitForFunction(() => document.getElementById('counter').textContent === '1');
  });

  await step('an update poll of an expired page shows the notice too', async () => {
    // The fresh page above expired the second one; its next poll is answered 404.
    const answered = newer.waitForResponse((response) =>
      response.request().method() === 'POST' && new URL(response.url()).pathname === '/');
    await newer.evaluate(() => twymtupdate('poll-after-expiry'));
    check((await answered).status() === 404, 'the poll was not answered with 404');
    await noticeShown(newer);
  });

  await step('no script error on the pages that expired', async () => {
    check(pageErrors.length === 0, pageErrors.join('\n'));
  });
} catch (error) {
  failures += 1;
  console.log(`not ok - ${String(error && error.stack || error)}`);
} finally {
  if (browser) await browser.close().catch(() => {});
}
await stopProgram(second, 'the program that keeps one page stops on quit with status 0');

if (failures > 0) {
  showProgram(first);
  showProgram(second);
}
for (const run of [first, second]) fs.rmSync(run.folder, { recursive: true, force: true });
console.log(`${results.length} passed, ${failures} failed`);
process.exit(failures > 0 ? 1 : 0);
