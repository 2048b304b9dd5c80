// Node's serialport making the exchange: write the 12 bytes, collect 12 from 'data' events.
//
//   NODE_PATH=build/peers-node/node_modules node node_client.js PATH BAUD COUNT|- WARMUP
//
// Runs and reports like the C++ clients (peer_common.h): one line of JSON ({"count", "cpu_s",
// "errors", "samples_us", ...}) for COUNT exchanges, or with COUNT "-" one for each block that a
// line of standard input asks for. A wrong reply is counted, left out of the samples and followed
// by a pause; too many of them in one block, a reply that stalls, or anything else going wrong,
// end the client with one line on stderr and exit status 1.
'use strict';

const REQUEST = Buffer.from([0x81, 0x1f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x06]);
const REPLY = Buffer.from([0x9f, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x36]);
// Longer where a counting run slows the client down (peers.py sets it under valgrind).
const STALL_MS = Number(process.env.PEER_STALL_MS) || 2000;

function fail(message) {
  process.stderr.write(`node_client: ${message}\n`);
  process.exit(1);
}

async function main() {
  const [path, baudText, countText, warmupText] = process.argv.slice(2);
  if (warmupText === undefined) fail('usage: node_client.js PATH BAUD COUNT|- WARMUP');
  const baudRate = Number(baudText);
  const count = countText === '-' ? 0 : Number(countText);
  const warmup = Number(warmupText);
  if (!(baudRate > 0 && count >= 0 && warmup >= 0) || (count === 0 && countText !== '-')) {
    fail('bad arguments');
  }

  let SerialPort;
  try {
    ({SerialPort} = require('serialport'));
  } catch (e) {
    fail(`cannot load serialport (${e.message.split('\n')[0]}); run.sh installs it under build/peers-node`);
  }

  const port = new SerialPort({path, baudRate, autoOpen: false});
  await new Promise((resolve, reject) => port.open((err) => (err ? reject(err) : resolve())))
      .catch((err) => fail(`cannot open ${path}: ${err.message}`));
  port.on('error', (err) => fail(`port error: ${err.message}`));

  // The exchange in progress: the bytes so far and whom to tell when there are 12. While the line
  // settles after a wrong reply, whatever comes is dropped.
  let pending = null;
  let settling = false;
  port.on('data', (chunk) => {
    const now = process.hrtime.bigint();
    if (settling) return;
    if (pending === null) fail(`${chunk.length} bytes arrived between exchanges`);
    pending.chunks.push(chunk);
    pending.got += chunk.length;
    if (pending.got >= REPLY.length) {
      const done = pending;
      pending = null;
      done.resolve({at: now, reply: Buffer.concat(done.chunks)});
    }
  });

  // Nothing on the hot path times an exchange out: a watchdog notices one that stalls.
  const watchdog = setInterval(() => {
    if (pending !== null && Date.now() - pending.since > STALL_MS) {
      fail(`exchange ${finished}: no complete reply within ${STALL_MS} ms`);
    }
  }, STALL_MS / 4);
  let finished = 0;

  const exchange = () => new Promise((resolve) => {
    pending = {chunks: [], got: 0, resolve, since: Date.now()};
    port.write(REQUEST);
  });

  const errors = {measured: 0, warmup: 0, first: '', limit: Math.max(10, Math.floor(warmup / 50))};
  const note = async (measured, i, reply) => {
    errors[measured ? 'measured' : 'warmup'] += 1;
    if (!errors.first) {
      const where = measured ? 'exchange' : 'warm-up exchange';
      errors.first = `${where} ${i}: got ${reply.toString('hex')}`;
    }
    if (errors.measured + errors.warmup > errors.limit) {
      fail(`${errors.measured + errors.warmup} failed exchanges; the first, ${errors.first}`);
    }
    // Let whatever is still on its way arrive, then drop it.
    settling = true;
    await new Promise((resolve) => setTimeout(resolve, 50));
    await new Promise((resolve) => port.flush(() => resolve()));
    settling = false;
  };

  for (let i = 0; i < warmup; ++i) {
    const {reply} = await exchange();
    finished += 1;
    if (!reply.equals(REPLY)) await note(false, i, reply);
  }

  let blocks = 0;
  const block = async (n) => {
    if (blocks++ > 0) {
      errors.warmup = 0;
      errors.first = '';
    }
    errors.measured = 0;
    errors.limit = Math.max(10, Math.floor(n / 50)) + errors.warmup;
    const samples = [];
    const cpuBefore = process.cpuUsage();
    for (let i = 0; i < n; ++i) {
      const start = process.hrtime.bigint();
      const {at, reply} = await exchange();
      finished += 1;
      if (reply.equals(REPLY)) {
        samples.push(Number(at - start) / 1000);
      } else {
        await note(true, i, reply);
      }
    }
    const cpu = process.cpuUsage(cpuBefore);
    process.stdout.write(JSON.stringify({
      count: n,
      cpu_s: (cpu.user + cpu.system) / 1e6,
      errors: errors.measured,
      warmup_errors: errors.warmup,
      first_error: errors.first,
      samples_us: samples.map((s) => Math.round(s * 1000) / 1000),
    }) + '\n');
  };

  if (count > 0) {
    await block(count);
  } else {
    const lines = require('readline').createInterface({input: process.stdin});
    for await (const line of lines) {
      const n = Number(line);
      if (!(n > 0)) break;
      await block(n);
    }
    lines.close();
  }
  clearInterval(watchdog);
  await new Promise((resolve) => port.close(() => resolve()));
}

main().catch((err) => fail(err.stack || String(err)));
