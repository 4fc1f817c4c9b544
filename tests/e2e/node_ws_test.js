// Node's ws clients (Debian's node-ws) through the real relay over ws:// and
// wss://: messages of any size go whole, keep their type, and a fragmented
// message stays one message.
//
//   RELAYHUB_EXE=build/relayhub NODE_PATH=/usr/share/nodejs node tests/e2e/node_ws_test.js
"use strict";

const { test } = require("node:test");
const assert = require("node:assert");
const { spawn, execFileSync } = require("node:child_process");
const fs = require("node:fs");
const net = require("node:net");
const os = require("node:os");
const path = require("node:path");
const WebSocket = require("ws");

const EXE = path.resolve(process.env.RELAYHUB_EXE || "build/relayhub");
const SOURCE_DIR = process.env.RELAYHUB_SOURCE_DIR || path.resolve(__dirname, "..", "..");
const LISTENING_LINE = ":: waiting for client connection...";
const TIMEOUT_MS = 30000;

function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.on("error", reject);
    probe.listen(0, "127.0.0.1", () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

function withDeadline(promise, what) {
  let timer;
  const expired = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: no result within ${TIMEOUT_MS} ms`)), TIMEOUT_MS);
  });
  return Promise.race([promise, expired]).finally(() => clearTimeout(timer));
}

// The relay on a free port, in a directory with a certificate.
async function startRelay() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "relayhub-node-"));
  execFileSync("bash", [path.join(SOURCE_DIR, "scripts", "make-cert.sh"), path.join(dir, "relayhub.pem")], {
    stdio: "ignore",
  });
  const port = await freePort();
  const child = spawn(EXE, ["-p", String(port)], { cwd: dir, stdio: ["ignore", "pipe", "pipe"] });
  let output = "";
  const listening = new Promise((resolve, reject) => {
    child.stdout.on("data", (chunk) => {
      output += chunk;
      if (output.includes(LISTENING_LINE)) resolve();
    });
    child.on("exit", (code) => reject(new Error(`relay exited with ${code}: ${output}`)));
  });
  await withDeadline(listening, "relay start");
  const stop = () =>
    withDeadline(
      new Promise((resolve) => {
        child.removeAllListeners("exit");
        child.on("exit", (code) => resolve(code));
        child.kill("SIGTERM");
      }),
      "relay stop",
    ).finally(() => fs.rmSync(dir, { recursive: true, force: true }));
  return { port, stop };
}

// A client that queues what it receives: each message with its type.
async function join(scheme, port) {
  const client = new WebSocket(`${scheme}://127.0.0.1:${port}/`, { rejectUnauthorized: false, maxPayload: 0 });
  const queue = [];
  const waiters = [];
  client.on("message", (data, isBinary) => {
    const message = { data: Buffer.from(data), isBinary };
    if (waiters.length) waiters.shift()(message);
    else queue.push(message);
  });
  await withDeadline(new Promise((resolve, reject) => {
    client.once("open", resolve);
    client.once("error", reject);
  }), `${scheme} open`);
  client.next = () =>
    withDeadline(new Promise((resolve) => (queue.length ? resolve(queue.shift()) : waiters.push(resolve))),
      `${scheme} message`);
  return client;
}

function pattern(size) {
  const b = Buffer.alloc(size);
  for (let i = 0; i < size; ++i) b[i] = (i * 131 + 7) & 0xff;
  return b;
}

// Text of `size` bytes with characters of every UTF-8 length.
function text(size) {
  const unit = "a\u00e9\u20ac\u{1F600}";
  let s = unit.repeat(Math.ceil(size / Buffer.byteLength(unit)));
  while (Buffer.byteLength(s) > size) s = s.slice(0, -1);
  return s;
}

for (const scheme of ["ws", "wss"]) {
  test(`${scheme}: messages of any size arrive whole and typed, both ways`, async () => {
    const relay = await startRelay();
    const a = await join(scheme, relay.port);
    const b = await join(scheme, relay.port);
    try {
      const cases = [
        { data: "x", binary: false },
        { data: pattern(1), binary: true },
        { data: text(70000), binary: false },
        { data: pattern(1 << 20), binary: true },
        { data: pattern(16 << 20), binary: true },
      ];
      for (const [from, to] of [[a, b], [b, a]]) {
        for (const c of cases) {
          from.send(c.data, { binary: c.binary });
          const got = await to.next();
          assert.strictEqual(got.isBinary, c.binary);
          assert.ok(got.data.equals(Buffer.from(c.data)), `${got.data.length} bytes for ${c.data.length}`);
        }
      }
    } finally {
      a.terminate();
      b.terminate();
      assert.strictEqual(await relay.stop(), 0);
    }
  });

  test(`${scheme}: a fragmented message stays one message`, async () => {
    const relay = await startRelay();
    const a = await join(scheme, relay.port);
    const b = await join(scheme, relay.port);
    try {
      // The euro sign is cut between two fragments.
      const euro = Buffer.from("\u20ac");
      a.send(Buffer.concat([Buffer.from("one "), euro.subarray(0, 1)]), { binary: false, fin: false });
      a.send(Buffer.concat([euro.subarray(1), Buffer.from(" two")]), { fin: false });
      a.send(Buffer.from(" three"), { fin: true });
      a.send(pattern(3000), { binary: true });
      const first = await b.next();
      assert.strictEqual(first.isBinary, false);
      assert.strictEqual(first.data.toString(), "one \u20ac two three");
      const second = await b.next();
      assert.strictEqual(second.isBinary, true);
      assert.ok(second.data.equals(pattern(3000)));
    } finally {
      a.terminate();
      b.terminate();
      assert.strictEqual(await relay.stop(), 0);
    }
  });
}
