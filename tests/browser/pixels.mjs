// SPDX-License-Identifier: MIT
// Just enough image decoding to compare a screenshot with the source picture, with nothing but
// node's own zlib: 8-bit PNG (RGB or RGBA, not interlaced) and binary PPM. Pixels come out as
// { width, height, rgb } with three bytes per pixel, row by row.

import { inflateSync } from 'node:zlib';

const kPngSignature = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);

function paeth(a, b, c) {
  const p = a + b - c;
  const pa = Math.abs(p - a);
  const pb = Math.abs(p - b);
  const pc = Math.abs(p - c);
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

export function decodePng(bytes) {
  if (!bytes.subarray(0, 8).equals(kPngSignature)) throw new Error('not a PNG');
  let header;
  const data = [];
  for (let at = 8; at < bytes.length; ) {
    const length = bytes.readUInt32BE(at);
    const type = bytes.toString('latin1', at + 4, at + 8);
    const body = bytes.subarray(at + 8, at + 8 + length);
    if (type === 'IHDR') {
      header = {
        width: body.readUInt32BE(0),
        height: body.readUInt32BE(4),
        depth: body[8],
        colour: body[9],
        interlace: body[12],
      };
    } else if (type === 'IDAT') {
      data.push(body);
    } else if (type === 'IEND') {
      break;
    }
    at += 12 + length;
  }
  if (!header) throw new Error('PNG without a header');
  const channels = { 2: 3, 6: 4 }[header.colour];
  if (header.depth !== 8 || !channels || header.interlace !== 0)
    throw new Error(`unsupported PNG: depth ${header.depth}, colour type ${header.colour}, interlace ${header.interlace}`);

  const { width, height } = header;
  const stride = width * channels;
  const raw = inflateSync(Buffer.concat(data));
  if (raw.length !== height * (stride + 1)) throw new Error('PNG data of the wrong length');
  const pixels = Buffer.alloc(height * stride);
  for (let y = 0; y < height; ++y) {
    const filter = raw[y * (stride + 1)];
    const line = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    const row = y * stride;
    for (let i = 0; i < stride; ++i) {
      const left = i >= channels ? pixels[row + i - channels] : 0;
      const up = y > 0 ? pixels[row - stride + i] : 0;
      const upLeft = y > 0 && i >= channels ? pixels[row - stride + i - channels] : 0;
      let predictor;
      switch (filter) {
        case 0: predictor = 0; break;
        case 1: predictor = left; break;
        case 2: predictor = up; break;
        case 3: predictor = (left + up) >> 1; break;
        case 4: predictor = paeth(left, up, upLeft); break;
        default: throw new Error(`PNG filter ${filter}`);
      }
      pixels[row + i] = (line[i] + predictor) & 0xff;
    }
  }
  const rgb = Buffer.alloc(width * height * 3);
  for (let p = 0; p < width * height; ++p)
    for (let c = 0; c < 3; ++c) rgb[p * 3 + c] = pixels[p * channels + c];
  return { width, height, rgb };
}

export function decodePpm(bytes) {
  const match = /^P6\s+(\d+)\s+(\d+)\s+255\s/.exec(bytes.toString('latin1', 0, 64));
  if (!match) throw new Error('not a binary PPM with 8-bit samples');
  const width = Number(match[1]);
  const height = Number(match[2]);
  const rgb = bytes.subarray(match[0].length, match[0].length + width * height * 3);
  if (rgb.length !== width * height * 3) throw new Error('PPM data too short');
  return { width, height, rgb };
}

// Mean absolute difference per channel between the part of a screenshot that shows `area` of
// `reference`, placed at `at` (in page pixels) on a screen of `scale` device pixels per page
// pixel, and that area itself. Each page pixel is read at its centre, so that any device scale
// (a phone's 3, a zoomed-out page's 1.19) compares alike. `margin` page pixels along the edges
// are left out: a fractional position or scale blends them with the neighbouring cell.
export function placedError(shot, at, scale, reference, area, margin = 1) {
  let sum = 0;
  let count = 0;
  for (let y = margin; y < area.height - margin; ++y) {
    const sy = Math.floor((at.y + y + 0.5) * scale);
    for (let x = margin; x < area.width - margin; ++x) {
      const sx = Math.floor((at.x + x + 0.5) * scale);
      if (sx < 0 || sy < 0 || sx >= shot.width || sy >= shot.height)
        throw new Error(`page pixel ${at.x + x},${at.y + y} lies outside the ${shot.width}x${shot.height} screenshot`);
      const s = (sy * shot.width + sx) * 3;
      const r = ((area.y + y) * reference.width + area.x + x) * 3;
      for (let c = 0; c < 3; ++c) sum += Math.abs(shot.rgb[s + c] - reference.rgb[r + c]);
      ++count;
    }
  }
  return sum / (count * 3);
}

// The same for a piece shown at any size: `area` of `reference` stretched over `box` (page
// pixels). Each reference pixel is compared with the screen pixel under its centre; `margin`
// reference pixels along the edges are left out, where the scaling blends neighbouring pieces.
export function fittedError(shot, box, scale, reference, area, margin = 2) {
  const sx = box.width / area.width;
  const sy = box.height / area.height;
  let sum = 0;
  let count = 0;
  for (let y = margin; y < area.height - margin; ++y) {
    const py = Math.floor((box.y + (y + 0.5) * sy) * scale);
    for (let x = margin; x < area.width - margin; ++x) {
      const px = Math.floor((box.x + (x + 0.5) * sx) * scale);
      if (px < 0 || py < 0 || px >= shot.width || py >= shot.height)
        throw new Error(`page point ${px / scale},${py / scale} lies outside the ${shot.width}x${shot.height} screenshot`);
      const s = (py * shot.width + px) * 3;
      const r = ((area.y + y) * reference.width + area.x + x) * 3;
      for (let c = 0; c < 3; ++c) sum += Math.abs(shot.rgb[s + c] - reference.rgb[r + c]);
      ++count;
    }
  }
  return sum / (count * 3);
}

// Mean absolute difference per channel between two screenshots within `box` (page pixels).
export function shotDifference(a, b, box, scale) {
  let sum = 0;
  let count = 0;
  for (let y = Math.ceil(box.y * scale); y < Math.floor((box.y + box.height) * scale); ++y)
    for (let x = Math.ceil(box.x * scale); x < Math.floor((box.x + box.width) * scale); ++x) {
      const i = (y * a.width + x) * 3;
      for (let c = 0; c < 3; ++c) sum += Math.abs(a.rgb[i + c] - b.rgb[i + c]);
      ++count;
    }
  return count ? sum / (count * 3) : 0;
}
