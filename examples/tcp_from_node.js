#!/usr/bin/env node
// SPDX-License-Identifier: MIT
// A Node.js parent: the connected TCP socket goes into the child's stdio
// array at index 3, so sockrelay finds it as descriptor 3. Runs sockrelay
// from PATH, or the program that the environment variable SOCKRELAY names.
'use strict';
const { spawn } = require('child_process');
const crypto = require('crypto');
const net = require('net');

const SOCKRELAY = process.env.SOCKRELAY || 'sockrelay';
const sample = crypto.randomBytes(3000000);

const chunks = [];
let status = null;
let received = null;
// Both the relay's end and the stream's end are needed for a verdict.
function done() {
  if (status === null || received === null) return;
  server.close();
  if (status !== 0) { // 0: the socket accepted every byte
    console.error(`node: sockrelay ended with ${status}`);
    process.exit(1);
  }
  if (!received.equals(sample)) {
    console.error('node: the stream differs');
    process.exit(1);
  }
  console.log(`node: ${received.length} bytes arrived intact`);
}

const server = net.createServer((conn) => {
  conn.on('data', (d) => chunks.push(d));
  conn.on('end', () => {
    received = Buffer.concat(chunks);
    done();
  });
});

server.listen(0, '127.0.0.1', () => {
  const client = net.connect(server.address().port, '127.0.0.1', () => {
    // The part to copy: hand `client` over as descriptor 3 and feed the
    // data. Node's sockets are non-blocking; sockrelay waits for room.
    const relay = spawn(SOCKRELAY, ['--sockfd', '3'],
      { stdio: ['pipe', 'inherit', 'inherit', client] });
    client.destroy(); // close our copy so the server sees end of stream
    relay.on('error', (err) => { // not found, or not executable
      console.error(`${SOCKRELAY}: cannot run it (${err.code}); put sockrelay on PATH or name it in SOCKRELAY`);
      process.exit(1);
    });
    relay.stdin.on('error', () => {}); // the exit status tells what happened
    relay.on('exit', (code, signal) => {
      status = code ?? signal;
      done();
    });
    relay.stdin.end(sample);
  });
});
