// SPDX-License-Identifier: MIT
// What every browser check script shares: its arguments, running the command line without a
// display, and a work folder with the fixture's pictures and an engine, gone again at the end.

import { execFile } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { parseArgs, promisify } from 'node:util';

import { engines } from './engines.mjs';
import { decodePpm } from './pixels.mjs';

export const run = promisify(execFile);

// --engine, --tilemaven and --fixture, or the usage and exit status 2.
export function readOptions(script) {
  const { values } = parseArgs({
    options: {
      engine: { type: 'string' },
      tilemaven: { type: 'string' },
      fixture: { type: 'string' },
    },
  });
  if (!engines[values.engine] || !values.tilemaven || !values.fixture) {
    console.error(`usage: node ${script} --engine ${Object.keys(engines).join('|')} ` +
      '--tilemaven PATH --fixture PATH');
    process.exit(2);
  }
  return values;
}

// The command line must not need a display: it runs with neither of these set.
export function headlessEnv() {
  const env = { ...process.env };
  delete env.QT_QPA_PLATFORM;
  delete env.DISPLAY;
  delete env.WAYLAND_DISPLAY;
  return env;
}

// A work folder holding the fixture's `pictures` (decoded alongside), the program's size table
// (grid size -> scramble order) and the engine, opened; `close` takes all of it away again
// (TILEMAVEN_KEEP=1 keeps the folder for a look afterwards).
export async function setUp(options, label, pictures) {
  const work = mkdtempSync(join(tmpdir(), `tilemaven-${label}-${options.engine}-`));
  const decoded = {};
  for (const name of pictures) {
    await run(options.fixture, [name, work]);
    decoded[name] = decodePpm(readFileSync(join(work, `${name}.ppm`)));
  }
  const { stdout } = await run(options.fixture, ['table']);
  const sizes = new Map(JSON.parse(stdout).sizes.map((row) => [row.n, row.order]));
  const engine = await engines[options.engine](work);
  console.log(`# ${engine.version}`);
  const close = async () => {
    await engine?.close();
    if (!process.env.TILEMAVEN_KEEP) rmSync(work, { recursive: true, force: true });
    else console.log(`kept ${work}`);
  };
  return { work, pictures: decoded, sizes, engine, close };
}

// The first truthy value `probe` gives, asked every 20 ms; fails once `timeout` ms have passed.
export async function until(what, probe, timeout = 5000) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting until ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}
