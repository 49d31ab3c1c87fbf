// SPDX-License-Identifier: MIT
// Plays the modern page (--page modern) in one browser engine, opened from disk: it fits windows
// from a phone's to a 4K monitor's, deals no piece at home, shows the picked piece and the whole
// picture, swaps by click, tap and keyboard, keeps the game and the best over a reload, says it is
// solved exactly when it is, asks before solving, starts over without reloading, speaks German and
// Japanese, turns dark, carries its pieces inside with --single-file, and never shows the pieces
// of an older puzzle from the cache. A grid `n` is N or 'CxR'.
//
//   node modern.test.mjs --engine chromium|firefox|webkit|phone --tilemaven PATH --fixture PATH
//
// TILEMAVEN_KEEP=1 keeps the work folder for a look afterwards.

import assert from 'node:assert/strict';
import { cpSync, mkdirSync, readdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import { pathToFileURL } from 'node:url';

import { minimumWidth } from './engines.mjs';
import { headlessEnv, readOptions, run, setUp, until } from './harness.mjs';
import { decodePng, fittedError, shotDifference } from './pixels.mjs';

const options = readOptions('modern.test.mjs');

// Per piece, in levels of 0..255, as in the classic checks; the page's scaling adds a little.
const kPixelTolerance = 15;
// A picked piece must stand out: its tint and frame change it by far more than this on average.
const kHighlight = 25;
// WebKitGTK now and then paints a change a little late.
const kRepaintWait = 2000;
const kPhone = options.engine === 'phone';
// Both ways round on a phone, and the smallest screen there is; a desktop window small and
// large, and those of phones in each engine whose window can be that narrow.
const kWindows = (kPhone
  ? [[390, 844], [844, 390], [320, 480]]
  : [[1280, 800], [3840, 2160], [390, 844], [844, 390], [320, 480]])
  .filter(([width]) => width >= (minimumWidth[options.engine] ?? 0));
const kDesktop = kPhone ? [390, 844] : [1280, 800];

async function makePuzzle(picture, folder, n, ...extra) {
  return run(options.tilemaven, ['--grid', String(n), '--page', 'modern', ...extra, picture, folder],
    { env: headlessEnv() });
}

let work;
let engine;
let sizes; // grid size -> scramble order, from the program's own size table
let pictures; // name -> lossless pixels
let close;

before(async () => {
  ({ work, pictures, sizes, engine, close } = await setUp(options, 'modern', ['picture', 'other']));
});

after(async () => close?.());

// Everything the checks read from the page, in one trip. A cell's piece is told by its image's
// address among the page's own piece addresses. `settle`: measured in two animation frames, each
// after the page has had its resize events and observers, and null unless both frames agree.
function pageState(settle) {
  if (settle) {
    const frame = () => new Promise((resolve) => requestAnimationFrame(() => resolve()));
    return frame().then(() => {
      const first = JSON.stringify(pageState());
      return frame().then(() => (JSON.stringify(pageState()) === first ? pageState() : null));
    });
  }
  const addresses = JSON.parse(document.getElementById('data').textContent).pieces;
  const cells = Array.from(document.querySelectorAll('[role=grid] [role=row] > [role=gridcell]'));
  const place = (element) => {
    const box = element.getBoundingClientRect();
    return { x: box.x, y: box.y, width: box.width, height: box.height };
  };
  const shown = (element) => Boolean(element) && !element.hidden &&
    getComputedStyle(element).display !== 'none' && element.getBoundingClientRect().width > 0;
  const [done, best, shuffle, solve] = ['done', 'best', 'shuffle', 'solve'].map((id) => document.getElementById(id));
  const gap = (a, b) => Math.hypot(Math.max(0, b.x - a.right, a.x - b.right), Math.max(0, b.y - a.bottom, a.y - b.bottom));
  return {
    pieces: cells.map((cell) => addresses.indexOf(cell.querySelector('img').getAttribute('src'))),
    loaded: Array.from(document.images).every((img) => img.complete && img.naturalWidth > 0),
    picked: cells.flatMap((cell, k) => (cell.getAttribute('aria-selected') === 'true' ? [k] : [])),
    focused: cells.indexOf(document.activeElement),
    labels: cells.map((cell) => cell.getAttribute('aria-label')),
    moves: document.getElementById('moves').textContent,
    finished: shown(done) ? done.textContent : null,
    announced: document.querySelector('[aria-live]')?.textContent ?? '',
    board: place(document.querySelector('[role=grid]')),
    cells: cells.map(place),
    view: { width: window.innerWidth, height: window.innerHeight },
    scroll: { width: document.documentElement.scrollWidth, height: document.documentElement.scrollHeight },
    controls: Array.from(document.querySelectorAll('h1, button'), place),
    marker: window.tilemavenMarker ?? null,
    how: document.getElementById('how').textContent,
    best: shown(best) ? best.textContent : null,
    asking: [shown(document.getElementById('ask')), document.activeElement.id],
    apart: solve && gap(shuffle.getBoundingClientRect(), solve.getBoundingClientRect()),
    words: [document.documentElement.lang, shuffle.textContent, solve?.textContent, document.querySelector('[data-w="0"]').textContent],
    // The body's background and text, each as a lightness from 0 to 1.
    colours: ['backgroundColor', 'color'].map((what) =>
      getComputedStyle(document.body)[what].match(/\d+/g).slice(0, 3).reduce((sum, v) => sum + v / 765, 0)),
  };
}

const state = (page) => page.evaluate(pageState);

// A deal: every piece once, and none at home.
function assertDealt(pieces, when) {
  assert.deepEqual([...pieces].sort((a, b) => a - b), [...pieces.keys()], `${when} the cells show ${pieces}`);
  assert.equal(pieces.findIndex((p, k) => p === k), -1, `${when} the deal leaves piece ${pieces.findIndex((p, k) => p === k)} at home`);
}
const sidesOf = (n) => { const [c, r = c] = String(n).split('x').map(Number); return [c, r]; };

const solvedIn = (pieces) => pieces.every((p, k) => p === k);

// One open puzzle: its size, its picture and what it takes to check it.
function puzzle(page, n, picture) {
  const reference = pictures[picture];
  const [columns, rows] = sidesOf(n);
  const pw = Math.floor(reference.width / columns);
  const ph = Math.floor(reference.height / rows);

  const shot = async () => {
    const image = decodePng(await page.screenshot());
    return { image, scale: image.width / (await page.evaluate(() => window.innerWidth)) };
  };

  return {
    columns,
    count: columns * rows,
    // `fresh`: the page keeps its game as it goes, and is forgotten after that.
    async load(url, fresh) {
      await page.open(url);
      if (fresh) await page.evaluate(() => ['pagehide', 'visibilitychange'].forEach((name) => window.addEventListener(name, () => localStorage.clear())));
      if (fresh) await page.open(url);
      await page.evaluate(() => { window.tilemavenMarker = 'same page'; });
      await until('every piece has loaded', async () => (await state(page)).loaded);
      return state(page);
    },
    // Piece by piece, so that one piece out of place cannot hide in the average.
    // The cells measured anew each time, once two frames agree: the board may still be moving.
    async pixelsShow(pieces, what) {
      let worst;
      const deadline = Date.now() + kRepaintWait;
      do {
        const { cells } = await until('the board stands still', () => page.evaluate(pageState, true));
        const { image, scale } = await shot();
        worst = { error: -1 };
        pieces.forEach((p, k) => {
          const area = { x: (p % columns) * pw, y: Math.floor(p / columns) * ph, width: pw, height: ph };
          const error = fittedError(image, cells[k], scale, reference, area);
          if (error > worst.error) worst = { error, k, p };
        });
      } while (worst.error >= kPixelTolerance && Date.now() < deadline);
      assert.ok(worst.error < kPixelTolerance,
        `${what}: cell ${worst.k} shows something else than piece ${worst.p} ` +
        `(off by ${worst.error.toFixed(1)} per channel)`);
    },
    // How much each cell's pixels differ between now and `before` (a shot).
    async changes(before) {
      const { cells } = await state(page);
      const now = await shot();
      return cells.map((box) => shotDifference(before.image, now.image, box, now.scale));
    },
    shot,
  };
}

// The board fits the window, keeps the picture's proportions and leaves no gap between pieces;
// nothing scrolls, and the heading and the buttons are inside the window too.
async function checkFits(page, n, width, height) {
  await page.resize(width, height);
  // Settled: the window has its size, and two frames in a row agree on everything in it. On a
  // busy machine the size may show a frame or more before the board has followed it.
  const settled = async () => {
    const now = await page.evaluate(pageState, true);
    return now?.view.width === width && now.view.height === height && now;
  };
  const s = await until(`the page has followed the window to ${width}x${height}`, settled);
  const where = `in ${width}x${height}`;
  assert.ok(s.scroll.width <= width && s.scroll.height <= height,
    `${where} the page scrolls: it is ${s.scroll.width}x${s.scroll.height}`);
  for (const box of [s.board, ...s.controls])
    assert.ok(box.x >= 0 && box.y >= 0 && box.x + box.width <= width + 0.5 && box.y + box.height <= height + 0.5,
      `${where} something stands outside the window: ${JSON.stringify(box)}`);
  const [columns, rows] = sidesOf(n);
  const ratio = (columns * Math.floor(421 / columns)) / (rows * Math.floor(313 / rows));
  assert.ok(Math.abs(s.board.width / s.board.height / ratio - 1) < 0.02,
    `${where} the board is ${s.board.width}x${s.board.height}, not in the picture's proportions ${ratio.toFixed(3)}`);
  assert.ok(Math.max(s.board.width / width, s.board.height / height) > 0.75,
    `${where} the board takes only ${s.board.width}x${s.board.height}`);
  const cw = s.board.width / columns;
  const ch = s.board.height / rows;
  s.cells.forEach((box, k) => {
    const want = { x: s.board.x + (k % columns) * cw, y: s.board.y + Math.floor(k / columns) * ch };
    assert.ok(Math.abs(box.x - want.x) < 0.5 && Math.abs(box.y - want.y) < 0.5 &&
      Math.abs(box.width - cw) < 0.5 && Math.abs(box.height - ch) < 0.5,
      `${where} cell ${k} stands at ${JSON.stringify(box)}, not edge to edge with its neighbours`);
  });
}

async function checkWindows(page, folder, n) {
  await page.resize(...kDesktop);
  await puzzle(page, n, 'picture').load(pathToFileURL(join(folder, 'index.html')).href);
  for (const [width, height] of kWindows) await checkFits(page, n, width, height);
}

// Every check of one modern puzzle folder; throws on the first that fails.
async function checkPlay(page, folder, n, solveButton) {
  const p = puzzle(page, n, 'picture');
  const url = pathToFileURL(join(folder, 'index.html')).href;
  const noErrors = async (when) => assert.deepEqual(await page.errors(), [], `script errors while ${when}`);
  await page.resize(...kDesktop);
  let s = await p.load(url, true);
  await noErrors('loading');
  assert.equal(s.pieces.length, p.count, 'number of cells on the board');
  assertDealt(s.pieces, 'on load');
  assert.deepEqual([s.finished, s.best], [null, null], 'the finish message or a best shows before any move');
  assert.match(s.how, kPhone ? /^Tap two pieces/ : /^Click two pieces/, 'how to play, for this device');
  const at = (k) => `row ${Math.floor(k / p.columns) + 1}, column ${k % p.columns + 1}`;
  s.labels.forEach((label, k) => assert.equal(label, `Piece from ${at(s.pieces[k])}; now at ${at(k)}`, `cell ${k}'s name`));
  await p.pixelsShow(s.pieces, 'on load');

  // A tap or click picks a piece and shows it; the same again puts it down.
  const a = 0;
  const b = p.count - 1;
  const calm = await p.shot();
  await page.click(a);
  s = await state(page);
  assert.deepEqual(s.picked, [a], `a click on cell ${a} did not pick it`);
  let changes = [];
  await until('the picked piece shows', async () => (changes = await p.changes(calm))[a] > kHighlight, kRepaintWait).catch(() => {});
  assert.ok(changes[a] > kHighlight, `the picked cell ${a} looks the same as before (changed by ${changes[a]?.toFixed(1)})`);
  changes.forEach((change, k) => k === a || assert.ok(change < 3, `picking cell ${a} changed cell ${k} too`));
  await page.click(a);
  s = await state(page);
  assert.deepEqual(s.picked, [], `a second click on cell ${a} did not put it down`);
  await p.pixelsShow(s.pieces, 'after putting a piece down');

  // Another click swaps, counts a move and says so; a reload keeps the game.
  let pieces = s.pieces;
  await page.click(a);
  await page.click(b);
  s = await state(page);
  [pieces[a], pieces[b]] = [pieces[b], pieces[a]];
  assert.deepEqual(s.pieces, pieces, `clicks on cells ${a} and ${b} did not swap them`);
  assert.deepEqual(s.picked, [], 'a piece stays picked after a swap');
  assert.equal(s.moves, '1', 'the move counter after one swap');
  assert.match(s.announced, /swap/i, 'the swap is not announced');
  await p.pixelsShow(pieces, `after swapping cells ${a} and ${b}`);
  s = await p.load(url);
  assert.deepEqual([s.pieces, s.moves], [pieces, '1'], 'a reload lost the game');
  await page.clickOn('#show');
  await p.pixelsShow(pieces.map((_, k) => k), 'Show picture pressed');
  await page.clickOn('#show');
  await p.pixelsShow(pieces, 'Show picture pressed again');

  // Solved by clicks: the message comes with the last piece, and not a move before; the best stays
  // for later visits, which deal a new game.
  let moves = 1;
  for (let k = 0; k < p.count; ++k) {
    const from = pieces.indexOf(k);
    if (from === k) continue;
    assert.equal((await state(page)).finished, null, `the finish message shows with ${moves} moves, before the puzzle is solved`);
    await page.click(from);
    await page.click(k);
    [pieces[from], pieces[k]] = [pieces[k], pieces[from]];
    moves += 1;
    s = await state(page);
    assert.deepEqual(s.pieces, pieces, `clicks on cells ${from} and ${k} did not swap them`);
  }
  assert.ok(solvedIn(s.pieces));
  assert.ok(s.finished, 'the finish message does not show once every piece is in place');
  assert.match(s.finished, new RegExp(`^Solved! Moves: ${moves} · Time: \\d+:\\d\\d\\b`), 'the finish message');
  assert.match(s.announced, /solved/i, 'the finish is not announced');
  await p.pixelsShow(pieces, 'solved');
  s = await p.load(url);
  assert.match(s.best ?? '', new RegExp(`^Best time: \\d+:\\d\\d · Fewest moves: ${moves}$`), 'no best after a finish');
  assertDealt(s.pieces, 'after a finish');

  // Shuffle starts a new game on the same page: no move, no message, a deal, and now and then
  // another one.
  const offsets = new Set();
  for (let i = 0; i < 12 && offsets.size < 2; ++i) {
    await page.clickOn('#shuffle');
    s = await state(page);
    assert.equal(s.marker, 'same page', 'Shuffle reloaded the page');
    assertDealt(s.pieces, 'after Shuffle');
    assert.equal(s.finished, null, 'the finish message stays after Shuffle');
    assert.equal(s.moves, '0', 'the move counter after Shuffle');
    offsets.add(String(s.pieces));
  }
  assert.equal(offsets.size, 2, '12 shuffles all dealt the same game');
  await page.click(1);
  s = await state(page);
  assert.deepEqual(s.picked, [1], 'a new game after Shuffle does not play');

  // The solve button, apart from Shuffle, asks first; going on playing is the default.
  if (solveButton) {
    assert.ok(s.apart >= 40, `the solve button stands ${s.apart} px from Shuffle`);
    await page.clickOn('#solve');
    assert.deepEqual((await state(page)).asking, [true, 'keep'], 'the solve button does not ask first');
    await page.clickOn('#keep');
    assert.deepEqual((await state(page)).pieces, s.pieces, '"Keep playing" did not keep the game');
    await page.clickOn('#solve');
    await page.clickOn('#yes');
    s = await state(page);
    assert.ok(solvedIn(s.pieces), 'the solve button did not put every piece in place');
    assert.deepEqual(s.picked, [], 'a piece stays picked after the solve button');
    assert.equal(s.finished, null, 'the solve button counted as the visitor\'s finish');
    await p.pixelsShow(s.pieces, 'solved by the button');
  }
  await noErrors('playing');
}

// The keyboard alone: Tab into the board, arrows to move, Enter or Space to pick and swap, Escape
// to put down; the focused cell shows, and the message comes with the last piece.
async function checkKeyboard(page, folder, n) {
  const p = puzzle(page, n, 'picture');
  n = p.columns;
  await page.resize(...kDesktop);
  let s = await p.load(pathToFileURL(join(folder, 'index.html')).href, true);
  for (let tab = 0; tab < 12 && s.focused < 0; ++tab) {
    await page.key('Tab');
    s = await state(page);
  }
  assert.equal(s.focused, 0, 'Tab does not lead to the board\'s first cell');
  assert.match(s.how, /^Arrow keys move, Enter or Space picks and swaps/, 'how to play by keyboard');

  // The focus shows: the cell changes when it takes the focus, and back when it gives it up.
  const focusedShot = await p.shot();
  await page.key('ArrowRight');
  s = await state(page);
  assert.equal(s.focused, 1, 'ArrowRight does not move to the next cell');
  const moved = await p.changes(focusedShot);
  assert.ok(moved[0] > 1 && moved[1] > 1, `the focus does not show (cells changed by ${moved[0].toFixed(2)}, ${moved[1].toFixed(2)})`);
  await page.key('ArrowLeft');

  let at = 0;
  const goTo = async (k) => {
    const steps = [];
    for (let r = Math.floor(at / n); r < Math.floor(k / n); ++r) steps.push('ArrowDown');
    for (let r = Math.floor(at / n); r > Math.floor(k / n); --r) steps.push('ArrowUp');
    for (let c = at % n; c < k % n; ++c) steps.push('ArrowRight');
    for (let c = at % n; c > k % n; --c) steps.push('ArrowLeft');
    for (const step of steps) await page.key(step);
    at = k;
    assert.equal((await state(page)).focused, k, `the arrow keys did not lead to cell ${k}`);
  };

  // Escape puts a picked piece down, and nothing moves.
  let pieces = (await state(page)).pieces;
  await page.key('Enter');
  assert.deepEqual((await state(page)).picked, [0], 'Enter does not pick the focused piece');
  await page.key('Escape');
  s = await state(page);
  assert.deepEqual(s.picked, [], 'Escape does not put the piece down');
  assert.deepEqual(s.pieces, pieces, 'Escape moved pieces');

  let moves = 0;
  for (let k = 0; k < p.count; ++k) {
    const from = pieces.indexOf(k);
    if (from === k) continue;
    assert.equal((await state(page)).finished, null, `the finish message shows after ${moves} moves, before the puzzle is solved`);
    await goTo(from);
    await page.key(moves % 2 ? 'Space' : 'Enter');
    await goTo(k);
    await page.key(moves % 2 ? 'Enter' : 'Space');
    [pieces[from], pieces[k]] = [pieces[k], pieces[from]];
    moves += 1;
    s = await state(page);
    assert.deepEqual(s.pieces, pieces, `the keys did not swap cells ${from} and ${k}`);
    assert.equal(s.moves, String(moves), 'the move counter');
  }
  assert.ok(s.finished, 'the finish message does not show once the keyboard has put every piece in place');
  await p.pixelsShow(pieces, 'solved by keyboard');
  assert.deepEqual(await page.errors(), [], 'script errors while playing by keyboard');
}

function editPage(dir, from, to) {
  const page = join(dir, 'index.html');
  const html = readFileSync(page, 'utf8');
  const broken = html.replace(from, to);
  assert.notEqual(broken, html, `the page holds no ${JSON.stringify(from)} to break`);
  writeFileSync(page, broken);
}

async function inPage(check) {
  const page = await engine.newPage();
  try {
    await check(page);
  } finally {
    await page.close();
  }
}

describe(`the modern page in ${options.engine}`, () => {
  test('every size and 6x4 deal no piece at home and show their pieces; 40 loads, 40 deals', async () => {
    await inPage(async (page) => {
      await page.resize(...kDesktop);
      for (const n of [...sizes.keys(), '6x4']) {
        const folder = join(work, `sizes-${n}`);
        await makePuzzle(join(work, 'picture.jpg'), folder, n);
        const p = puzzle(page, n, 'picture');
        const s = await p.load(pathToFileURL(join(folder, 'index.html')).href, true);
        assert.equal(s.pieces.length, p.count, `${n}: number of cells`);
        assertDealt(s.pieces, `${n}:`);
        await p.pixelsShow(s.pieces, `${n} on load`);
      }
      const deals = new Set();
      for (let i = 0; i < 40; ++i)
        deals.add(String((await puzzle(page, 3, 'picture').load(pathToFileURL(join(work, 'sizes-3', 'index.html')).href, true)).pieces));
      console.log(`# 40 loads gave ${deals.size} different deals`);
      assert.ok(deals.size >= 36, `40 loads gave only ${deals.size} different deals`);
      assert.deepEqual(await page.errors(), [], 'script errors while loading');
    });
  });

  test(`the board fits ${kWindows.map((w) => w.join('x')).join(', ')}`, async () => {
    const folder = join(work, 'fits');
    await makePuzzle(join(work, 'picture.jpg'), folder, '6x4', '--solve-button');
    await inPage((page) => checkWindows(page, folder, '6x4'));
  });

  for (const [n, solveButton] of [[3, true], ['6x4', false]]) {
    test(`${n}${solveButton ? ' with the solve button' : ''} plays by ${kPhone ? 'tap' : 'click'}`, async () => {
      const folder = join(work, `play-${n}`);
      await makePuzzle(join(work, 'picture.jpg'), folder, n, ...(solveButton ? ['--solve-button'] : []));
      await inPage((page) => checkPlay(page, folder, n, solveButton));
    });
  }

  test('4x3 plays by keyboard alone', async () => {
    const folder = join(work, 'keys');
    await makePuzzle(join(work, 'picture.jpg'), folder, '4x3');
    await inPage((page) => checkKeyboard(page, folder, '4x3'));
  });

  // The languages the browser says the visitor reads, set before the page's own script runs.
  test('German and Japanese visitors get their words, a Swede English', async () => {
    for (const [languages, words, label] of [
      [['de-AT', 'en'], ['de', 'Mischen', 'Für mich lösen', 'Züge'], 'Teil aus Zeile R, Spalte C; jetzt in Zeile 1, Spalte 1'],
      [['ja-JP'], ['ja', 'シャッフル', '自動で解く', '手数'], '本来はR行C列のピース、今は1行1列'],
      [['sv-SE'], ['en', 'Shuffle', 'Solve It For Me', 'Moves'], 'Piece from row R, column C; now at row 1, column 1']]) {
      const folder = join(work, `words-${languages[0]}`);
      await makePuzzle(join(work, 'picture.jpg'), folder, 3, '--solve-button');
      editPage(folder, '<head>', `<head><script>Object.defineProperty(Navigator.prototype, 'languages', { get: () => ${JSON.stringify(languages)} });</script>`);
      await inPage(async (page) => {
        const s = await puzzle(page, 3, 'picture').load(pathToFileURL(join(folder, 'index.html')).href);
        assert.deepEqual([s.words, s.labels[0]], [words, label.replace('R', Math.floor(s.pieces[0] / 3) + 1).replace('C', s.pieces[0] % 3 + 1)]);
      });
    }
  });

  test('a dark colour scheme gives a dark page', async () => {
    const folder = join(work, 'dark');
    await makePuzzle(join(work, 'picture.jpg'), folder, 3);
    for (const dark of [false, true]) {
      const page = await engine.newPage({ dark });
      const [background, text] = (await puzzle(page, 3, 'picture').load(pathToFileURL(join(folder, 'index.html')).href).finally(page.close)).colours;
      assert.ok(dark ? background < 0.15 && text > 0.7 : background > 0.95 && text < 0.3, `dark ${dark}: ${background} under ${text}`);
    }
  });

  test('a single-file page needs no other file', async () => {
    const folder = join(work, 'single');
    await makePuzzle(join(work, 'picture.jpg'), folder, 3, '--single-file', '--title', '<b>One</b> file');
    assert.deepEqual(readdirSync(folder), ['index.html']);
    await inPage(async (page) => {
      await page.resize(...kDesktop);
      const p = puzzle(page, 3, 'picture');
      const s = await p.load(pathToFileURL(join(folder, 'index.html')).href, true);
      const fetched = await page.evaluate(() => [
        ...performance.getEntriesByType('resource').map((entry) => entry.name),
        ...Array.from(document.querySelectorAll('[src], link[href]'), (e) => e.getAttribute('src') ?? e.getAttribute('href')),
      ].filter((name) => !name.startsWith('data:')));
      assert.deepEqual(fetched, [], 'the page asks for other files');
      assert.deepEqual(await page.evaluate(() => [document.title, document.querySelector('h1').textContent]),
        ['<b>One</b> file', '<b>One</b> file'], 'the title is not shown as text');
      await p.pixelsShow(s.pieces, 'single file on load');
      await page.click(0);
      await page.click(4);
      assert.equal((await state(page)).moves, '1', 'a single-file page does not play');
    });
  });

  test('a folder reused for another picture shows the new pieces after a reload', async () => {
    const folder = join(work, 'reused');
    await makePuzzle(join(work, 'picture.jpg'), folder, 4);
    await inPage(async (page) => {
      await page.resize(...kDesktop);
      const url = pathToFileURL(join(folder, 'index.html')).href;
      let s = await puzzle(page, 4, 'picture').load(url);
      await puzzle(page, 4, 'picture').pixelsShow(s.pieces, 'the first picture');
      await makePuzzle(join(work, 'other.jpg'), folder, 4);
      s = await puzzle(page, 4, 'other').load(url);
      await puzzle(page, 4, 'other').pixelsShow(s.pieces, 'after the folder was reused');
    });
  });
});

// The checks above must be able to fail: broken copies of a good page are caught, each by the
// check meant for it.
describe(`a broken modern page is caught in ${options.engine}`, () => {
  let good;
  before(async () => {
    good = join(work, 'good');
    await makePuzzle(join(work, 'picture.jpg'), good, 3, '--solve-button');
  });

  const broken = [
    ['the highlight removed', /the picked cell \d+ looks the same/,
      (dir) => editPage(dir, '.cell[aria-selected=true]::after {', '.cell[aria-selected=none]::after {'), checkPlay],
    ['the finish message one move early', /the finish message shows with \d+ moves, before/,
      (dir) => editPage(dir, 'if (home(shows)) {',
        'if (shows.filter(function (p, k) { return p !== k; }).length <= 2) {'), checkPlay],
    ['the solve button counting as a finish', /counted as the visitor's finish/,
      (dir) => editPage(dir, 'say(w[20]);', 'done.hidden = false; say(w[20]);'), checkPlay],
    ['Shuffle keeping a piece at home', /the deal leaves piece 0 at home/,
      (dir) => editPage(dir, '    return p;\n', '    p[p.indexOf(0)] = p[0];\n    p[0] = 0;\n    return p;\n'), checkPlay],
    ['the game forgotten on reload', /a reload lost the game/, (dir) => editPage(dir, 'if (saved(kept.o))', 'if (false)'), checkPlay],
    ['Escape not putting down', /Escape does not put the piece down/,
      (dir) => editPage(dir, "case 'Escape':", "case 'Esc':"), checkKeyboard],
    ['the focus hidden', /the focus does not show/,
      (dir) => editPage(dir, '.cell:focus-visible::before, .keys .cell.at::before {', '.none::before {'), checkKeyboard],
    ['the board not following the window', /in \d+x\d+ (something stands outside the window|the page scrolls|the board takes only)/,
      (dir) => editPage(dir, 'function fit() {', 'function fit() {\n    if (board.style.width) return;'), checkWindows],
  ];
  for (const [name, caught, breakIt, check] of broken) {
    test(name, async () => {
      const folder = join(work, name.replaceAll(/\W+/g, '-'));
      mkdirSync(folder);
      cpSync(good, folder, { recursive: true });
      breakIt(folder);
      await inPage((page) => assert.rejects(check(page, folder, 3, true), caught));
    });
  }
});
