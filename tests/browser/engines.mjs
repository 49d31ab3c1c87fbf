// SPDX-License-Identifier: MIT
// One thin driver per browser engine, all with the same small surface, so that the checks in
// puzzles.test.mjs are written once. Every engine comes from Debian's packages; the npm packages
// only speak to it. A driver:
//
//   const engine = await engines[name](workDir);   engine.version, engine.touch, engine.close()
//   const page = await engine.newPage();             newPage({ dark: true }) prefers dark colours
//   page.open(url)               navigates and returns once the page has loaded
//   page.evaluate(fn, ...args)   runs fn in the page, returns its JSON-able result
//   page.click(k)                a real click (or tap) on the k-th image
//   page.doubleTap(k)            two quick taps on the k-th image (touch engines only)
//   page.clickButton()           a real click (or tap) on the solve button
//   page.clickOn(selector)       a real click (or tap) on the first element that matches
//   page.key(name)               a key press to whatever has the focus: Tab, Enter, Space, Escape,
//                                ArrowUp, ArrowDown, ArrowLeft, ArrowRight
//   page.resize(width, height)   makes the viewport that many CSS pixels
//   page.screenshot()            PNG bytes of what the viewport shows, at any device scale
//   page.errors()                script errors since the last call
//   page.close()

import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, unlinkSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:net';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const kKeys = ['Tab', 'Enter', 'Space', 'Escape', 'ArrowUp', 'ArrowDown', 'ArrowLeft', 'ArrowRight'];
function checkKey(name) {
  if (!kKeys.includes(name)) throw new Error(`no key ${name} here`);
  return name;
}

const kViewport = { width: 1000, height: 800 };
const kTimeout = 5000;

// An engine that is not installed is a failure with a way out, never a skip.
function requireProgram(path, debianPackage) {
  if (!existsSync(path))
    throw new Error(`${path} is missing: run make test-deps, which installs Debian's ${debianPackage}`);
}

async function importOrExplain(name) {
  try {
    return await import(name);
  } catch (error) {
    throw new Error(`${name} is not installed here (${error.code}): run make test-deps, ` +
      'which runs npm ci in tests/browser');
  }
}

// Options that keep Chromium from reaching out to the network or asking anything on first run.
const kChromiumArgs = [
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

// Both Playwright-driven engines (desktop and phone) differ only in how a cell is pressed.
async function playwrightPage(page, touch, dark) {
  if (dark) await page.emulateMedia({ colorScheme: 'dark' });
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  const press = (locator) => (touch ? locator.tap() : locator.click());
  return {
    open: (url) => page.goto(url, { waitUntil: 'load' }),
    // Playwright passes a page function one argument; spread ours on the other side.
    evaluate: (fn, ...args) => page.evaluate(`(${fn})(...${JSON.stringify(args)})`),
    click: (k) => press(page.locator('img').nth(k)),
    async doubleTap(k) {
      if (!touch) throw new Error('no touch screen here');
      const box = await page.locator('img').nth(k).boundingBox();
      const x = box.x + box.width / 2;
      const y = box.y + box.height / 2;
      await page.touchscreen.tap(x, y);
      await page.touchscreen.tap(x, y);
    },
    clickButton: () => press(page.locator('input[type=button]')),
    clickOn: (selector) => press(page.locator(selector).first()),
    key: (name) => page.keyboard.press(checkKey(name)),
    resize: (width, height) => page.setViewportSize({ width, height }),
    screenshot: () => page.screenshot(),
    errors: () => errors.splice(0),
    close: () => page.close(),
  };
}

async function chromiumEngine(work, device) {
  requireProgram('/usr/bin/chromium', 'chromium');
  const { chromium } = await importOrExplain('playwright-core');
  const context = await chromium.launchPersistentContext(mkdtempSync(join(work, 'chromium-')), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: kChromiumArgs,
    ...device,
  });
  const touch = Boolean(device.hasTouch);
  return {
    version: `Chromium ${await versionOf(context)}`,
    touch,
    newPage: async (options = {}) => playwrightPage(await context.newPage(), touch, options.dark),
    close: () => context.close(),
  };
}

// A persistent context has no browser object to ask, and the user agent string hides the build
// number; the DevTools protocol tells.
async function versionOf(context) {
  const page = await context.newPage();
  try {
    const session = await context.newCDPSession(page);
    const { product } = await session.send('Browser.getVersion');
    return product.replace(/^\D*\//, '');
  } finally {
    await page.close();
  }
}

// Neither WebDriver BiDi nor WebKitGTK's driver can change the colour scheme of a running browser:
// a dark page is the page of a second browser, started dark.
async function darkPage(start) {
  const own = await start();
  const page = await own.newPage();
  return { ...page, close: () => page.close().finally(own.close) };
}

async function firefoxEngine(prefs = {}) {
  requireProgram('/usr/bin/firefox-esr', 'firefox-esr');
  const { default: puppeteer } = await importOrExplain('puppeteer-core');
  // WebDriver BiDi, which ESR speaks natively; Playwright's own Firefox protocol needs its build.
  const browser = await puppeteer.launch({
    browser: 'firefox',
    executablePath: '/usr/bin/firefox-esr',
    headless: true,
    protocolTimeout: 60000,
    extraPrefsFirefox: prefs,
  });
  return {
    version: `Firefox ${(await browser.version()).replace(/^firefox\//, '')}`,
    newPage: async (options = {}) => {
      if (options.dark) return darkPage(() => firefoxEngine({ 'layout.css.prefers-color-scheme.content-override': 0 }));
      const page = await browser.newPage();
      await page.setViewport(kViewport);
      const errors = [];
      page.on('pageerror', (error) => errors.push(error.message));
      return {
        open: (url) => page.goto(url, { waitUntil: 'load', timeout: kTimeout * 2 }),
        evaluate: (fn, ...args) => page.evaluate(fn, ...args),
        click: async (k) => (await page.$$('img'))[k].click(),
        doubleTap: () => Promise.reject(new Error('no touch screen here')),
        clickButton: async () => (await page.$('input[type=button]')).click(),
        clickOn: async (selector) => (await page.$(selector)).click(),
        key: (name) => page.keyboard.press(checkKey(name) === 'Space' ? ' ' : name),
        resize: (width, height) => page.setViewport({ width, height }),
        screenshot: async () => Buffer.from(await page.screenshot()),
        errors: () => errors.splice(0),
        close: () => page.close(),
      };
    },
    close: () => browser.close(),
  };
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// A child that must not outlive the test, however the test ends.
function spawnOwned(command, args, options) {
  const child = spawn(command, args, options);
  const stop = () => child.exitCode === null && child.kill();
  process.on('exit', stop);
  return { child, stop };
}

// MiniBrowser has no headless mode: it gets an X server of its own on the first free display.
async function startXvfb() {
  requireProgram('/usr/bin/Xvfb', 'xvfb');
  // Room for a window whose viewport is 3840x2160.
  const xvfb = spawnOwned('Xvfb', ['-displayfd', '1', '-screen', '0', '4000x2400x24', '-nolisten', 'tcp'], {
    stdio: ['ignore', 'pipe', 'ignore'],
  });
  const display = await new Promise((resolve, reject) => {
    xvfb.child.once('error', reject);
    xvfb.child.once('exit', (code) => reject(new Error(`Xvfb ended (${code}) before it named a display`)));
    xvfb.child.stdout.once('data', (data) => resolve(`:${String(data).trim()}`));
  });
  return { display, stop: xvfb.stop };
}

async function waitForServer(url, child) {
  const deadline = Date.now() + 10000;
  for (;;) {
    if (child.exitCode !== null) throw new Error(`WebKitWebDriver ended with ${child.exitCode}`);
    try {
      if ((await fetch(`${url}/status`)).ok) return;
    } catch {
      // Not listening yet.
    }
    if (Date.now() > deadline) throw new Error(`WebKitWebDriver did not answer at ${url}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

// WebKitGTK's driver has neither WebDriver BiDi nor a console log, and classic WebDriver cannot run
// a script before the page's own. Errors while playing are trapped in the page after it loads;
// errors while loading come from a second load of the same text into a frame whose window is
// watched before the text runs. The probe file sits next to index.html so that its pieces resolve.
const kLoadProbe = `<!-- error probe of the browser test --><body><script>
async function probe(html) {
  const frame = document.createElement('iframe');
  document.body.append(frame);
  const child = frame.contentWindow;
  child.document.open();
  const errors = [];
  child.addEventListener('error', (event) => errors.push(event.message));
  // A task later, so that the page's own load handler, registered after ours, has run too.
  const loaded = new Promise((resolve) => child.addEventListener('load', () => setTimeout(resolve)));
  child.document.write(html);
  child.document.close();
  await loaded;
  frame.remove();
  return errors;
}
</script></body>`;

function trapErrors() {
  window.tilemavenErrors = [];
  window.addEventListener('error', (event) => window.tilemavenErrors.push(event.message));
}

async function webkitEngine(work, args = []) {
  requireProgram('/usr/bin/WebKitWebDriver', 'webkit2gtk-driver');
  const miniBrowser = '/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser';
  requireProgram(miniBrowser, 'webkit2gtk-driver');
  const { Builder, By, Key } = await importOrExplain('selenium-webdriver');
  const keys = {
    Tab: Key.TAB, Enter: Key.ENTER, Space: Key.SPACE, Escape: Key.ESCAPE,
    ArrowUp: Key.ARROW_UP, ArrowDown: Key.ARROW_DOWN, ArrowLeft: Key.ARROW_LEFT, ArrowRight: Key.ARROW_RIGHT,
  };

  const xvfb = await startXvfb();
  const port = await freePort();
  const server = spawnOwned('WebKitWebDriver', [`--port=${port}`], {
    stdio: 'ignore',
    env: { ...process.env, DISPLAY: xvfb.display },
  });
  let driver;
  try {
    await waitForServer(`http://127.0.0.1:${port}`, server.child);
    driver = await new Builder()
      .usingServer(`http://127.0.0.1:${port}`)
      .withCapabilities({
        browserName: 'MiniBrowser',
        'webkitgtk:browserOptions': { binary: miniBrowser, args: ['--automation', ...args] },
      })
      .build();
    await driver.manage().window().setRect(kViewport);
    await driver.manage().setTimeouts({ script: kTimeout * 2, pageLoad: kTimeout * 2 });
  } catch (error) {
    server.stop();
    xvfb.stop();
    throw error;
  }
  const capabilities = await driver.getCapabilities();
  const run = (fn, args) => driver.executeScript(`return (${fn})(...arguments)`, ...args);
  let open = false;

  return {
    version: `WebKitGTK ${capabilities.get('browserVersion')}`,
    newPage: async (options = {}) => {
      if (options.dark) return darkPage(() => webkitEngine(work, ['--dark-mode']));
      if (open) throw new Error('MiniBrowser plays one page at a time here');
      open = true;
      const errors = [];
      // Before every navigation too, since the trap goes with the page.
      const collect = async () => {
        errors.push(...(await run(() => (window.tilemavenErrors ?? []).splice(0), [])));
      };
      return {
        async open(url) {
          await collect();
          const folder = dirname(fileURLToPath(url));
          const probe = join(folder, 'tilemaven-error-probe.html');
          writeFileSync(probe, kLoadProbe);
          try {
            await driver.get(new URL('tilemaven-error-probe.html', url).href);
            const html = readFileSync(fileURLToPath(url), 'latin1');
            errors.push(...(await driver.executeAsyncScript(
              'const done = arguments[arguments.length - 1]; probe(arguments[0]).then(done, (e) => done([String(e)]));',
              html)));
          } finally {
            unlinkSync(probe);
          }
          await driver.get(url);
          await run(trapErrors, []);
        },
        evaluate: (fn, ...args) => run(fn, args),
        click: async (k) => (await driver.findElements(By.css('img')))[k].click(),
        doubleTap: () => Promise.reject(new Error('no touch screen here')),
        clickButton: async () => (await driver.findElement(By.css('input[type=button]'))).click(),
        clickOn: async (selector) => (await driver.findElement(By.css(selector))).click(),
        key: (name) => driver.actions().sendKeys(keys[checkKey(name)]).perform(),
        // The window's size includes its frame: measured once the window has taken its new size,
        // then taken into account. MiniBrowser's toolbar keeps its window wider than a phone.
        async resize(width, height) {
          const want = `${width}x${height}`;
          // Read two animation frames apart, after the page has had the frame's resize events.
          const viewport = () => run(() => new Promise((resolve) => requestAnimationFrame(() =>
            requestAnimationFrame(() => resolve(`${window.innerWidth}x${window.innerHeight}`)))), []);
          // Taken: two readings agree, and the size is no longer the one before the change (a
          // window that has not begun to resize reads the same twice), unless that is the one
          // asked for.
          const settle = async (before) => {
            let last = '';
            for (let tries = 0; tries < 100; ++tries) {
              const now = await viewport();
              if (now === last && (now !== before || now === want)) break;
              last = now;
            }
            return last.split('x').map(Number);
          };
          const before = await viewport();
          await driver.manage().window().setRect({ width, height });
          const [w, h] = await settle(before);
          if (w !== width || h !== height) {
            await driver.manage().window().setRect({ width: 2 * width - w, height: 2 * height - h });
            const [w2, h2] = await settle(`${w}x${h}`);
            if (w2 !== width || h2 !== height)
              throw new Error(`the viewport is ${w2}x${h2}, not ${want}`);
          }
        },
        screenshot: async () => Buffer.from(await driver.takeScreenshot(), 'base64'),
        async errors() {
          await collect();
          return errors.splice(0);
        },
        async close() {
          open = false;
          await driver.get('about:blank');
        },
      };
    },
    async close() {
      try {
        await driver.quit();
      } finally {
        server.stop();
        xvfb.stop();
      }
    },
  };
}

// The smallest viewport width each engine's window can take, where it has one.
export const minimumWidth = { webkit: 460 };

export const engines = {
  chromium: (work) => chromiumEngine(work, { viewport: kViewport, deviceScaleFactor: 1 }),
  firefox: firefoxEngine,
  webkit: webkitEngine,
  // A phone-sized touch screen: what a visitor on a phone gets from the same pages.
  phone: (work) =>
    chromiumEngine(work, {
      viewport: { width: 390, height: 844 },
      deviceScaleFactor: 3,
      isMobile: true,
      hasTouch: true,
    }),
};
