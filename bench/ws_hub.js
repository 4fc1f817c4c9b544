// The benchmark's WebSocket peer: a broadcast hub on node's `ws` that sends
// every message one client sends to every other open client, as text or
// binary as it came. One plain server for WS and one over TLS for WSS, both
// on free loopback ports, printed as "ws PORT" and "wss PORT".
//
//   node ws_hub.js CERT_AND_KEY.pem
'use strict';

// Debian's node-ws lives here; Debian's own node searches it already.
module.paths.push('/usr/share/nodejs');
const fs = require('fs');
const http = require('http');
const https = require('https');
const WebSocket = require('ws');

function broadcastHub(server) {
  const hub = new WebSocket.WebSocketServer({ server });
  hub.on('connection', (client) => {
    client.on('message', (data, isBinary) => {
      for (const other of hub.clients) {
        if (other !== client && other.readyState === WebSocket.OPEN) {
          other.send(data, { binary: isBinary });
        }
      }
    });
  });
}

function listen(server, name) {
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => {
      console.log(`${name} ${server.address().port}`);
      resolve();
    });
  });
}

async function main() {
  const pem = fs.readFileSync(process.argv[2]);
  const plain = http.createServer();
  const secure = https.createServer({ cert: pem, key: pem });
  broadcastHub(plain);
  broadcastHub(secure);
  await listen(plain, 'ws');
  await listen(secure, 'wss');
}

// Stopped by the benchmark with SIGTERM.
process.on('SIGTERM', () => process.exit(0));
main();
