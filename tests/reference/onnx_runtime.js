// ONNX Runtime as the tests' reference: one request per line on standard
// input, one answer per line on standard output (JSON both ways).
//
//   {"model": "m.onnx", "inputs": {"x": "x.npy"}, "out": "dir"}
//     -> {"outputs": {"y": "dir/0.npy"}}
//   {"model": "m.onnx", "inputs": {...}, "repeat": 20}
//     -> {"ms": median milliseconds of one run}
//
// Sessions run on one thread with every graph optimisation, as a device
// runtime would. Arrays are NumPy .npy files of float32 (or int64) data.
'use strict';
const fs = require('fs');
const path = require('path');
const readline = require('readline');
const ort = require('onnxruntime-node');

const kTypes = {'<f4': 'float32', '<i8': 'int64', '<i4': 'int32'};
const kCodes = {float32: '<f4', int64: '<i8', int32: '<i4'};
const kArrays = {float32: Float32Array, int64: BigInt64Array, int32: Int32Array};

function readNpy(file) {
  const b = fs.readFileSync(file);
  if (b.toString('latin1', 1, 6) !== 'NUMPY') throw new Error(`${file}: not a .npy file`);
  const major = b[6];
  const headerLen = major === 1 ? b.readUInt16LE(8) : b.readUInt32LE(8);
  const start = major === 1 ? 10 : 12;
  const header = b.toString('latin1', start, start + headerLen);
  const descr = /'descr':\s*'([^']+)'/.exec(header)[1];
  if (/'fortran_order':\s*True/.test(header)) throw new Error(`${file}: Fortran order`);
  const dims = /'shape':\s*\(([^)]*)\)/.exec(header)[1]
                   .split(',').map((s) => s.trim()).filter((s) => s).map(Number);
  const type = kTypes[descr];
  if (!type) throw new Error(`${file}: element type ${descr}`);
  const data = b.subarray(start + headerLen);
  const copy = new Uint8Array(data.length);
  copy.set(data);
  return new ort.Tensor(type, new kArrays[type](copy.buffer), dims);
}

function writeNpy(file, tensor) {
  const code = kCodes[tensor.type];
  if (!code) throw new Error(`output of element type ${tensor.type}`);
  const dims = tensor.dims.length === 1 ? `${tensor.dims[0]},` : tensor.dims.join(', ');
  let header = `{'descr': '${code}', 'fortran_order': False, 'shape': (${dims}), }`;
  const total = 10 + header.length + 1;
  header += ' '.repeat((64 - (total % 64)) % 64) + '\n';
  const head = Buffer.alloc(10);
  head.write('\x93NUMPY', 0, 'latin1');
  head[6] = 1;
  head[7] = 0;
  head.writeUInt16LE(header.length, 8);
  const d = tensor.data;
  fs.writeFileSync(file, Buffer.concat([
    head, Buffer.from(header, 'latin1'),
    Buffer.from(d.buffer, d.byteOffset, d.byteLength)]));
}

const sessions = new Map();
async function session(model) {
  if (!sessions.has(model)) {
    sessions.set(model, await ort.InferenceSession.create(model, {
      intraOpNumThreads: 1, interOpNumThreads: 1, graphOptimizationLevel: 'all',
    }));
  }
  return sessions.get(model);
}

async function answer(request) {
  const s = await session(request.model);
  const feeds = {};
  for (const [name, file] of Object.entries(request.inputs)) feeds[name] = readNpy(file);
  if (request.repeat) {
    await s.run(feeds);
    const times = [];
    for (let i = 0; i < request.repeat; ++i) {
      const t = process.hrtime.bigint();
      await s.run(feeds);
      times.push(Number(process.hrtime.bigint() - t) / 1e6);
    }
    times.sort((a, b) => a - b);
    return {ms: times[Math.floor(times.length / 2)]};
  }
  const results = await s.run(feeds);
  const outputs = {};
  s.outputNames.forEach((name, i) => {
    const file = path.join(request.out, `${i}.npy`);
    writeNpy(file, results[name]);
    outputs[name] = file;
  });
  return {outputs};
}

const lines = readline.createInterface({input: process.stdin});
let queue = Promise.resolve();
lines.on('line', (line) => {
  queue = queue.then(async () => {
    let reply;
    try {
      reply = await answer(JSON.parse(line));
    } catch (e) {
      reply = {error: String(e && e.message ? e.message : e)};
    }
    process.stdout.write(JSON.stringify(reply) + '\n');
  });
});
