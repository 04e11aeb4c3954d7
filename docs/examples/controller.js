#!/usr/bin/env node
// A minimal trbrowser controller in Node.js (net module only).
//
//   node controller.js URL [BROWSER [BROWSER SWITCHES...]]
//
// Creates the socket, starts the browser connected to it, loads URL, waits until GETURL
// reports it, prints the GETURL reply and the final GEOMETRY report, and quits.
'use strict';
const net = require('net');
const fs = require('fs');
const os = require('os');
const path = require('path');
const crypto = require('crypto');
const { spawn } = require('child_process');

const TIMEOUT_MS = 30000;
const [url, browser = 'trbrowser', ...switches] = process.argv.slice(2);

// Bytes from the browser that are not yet taken as a reply, and whoever waits for more.
let pending = Buffer.alloc(0);
let closed = false;
let wake = () => {};

function send(conn, ...commands) {
  // Every command ends with ";": the browser separates commands by ";" only.
  conn.write(commands.map((c) => c + ';').join(''));
}

// Resolves with the bytes before `marker` once it has arrived; they are consumed.
async function readUntil(marker) {
  const deadline = Date.now() + TIMEOUT_MS;
  for (;;) {
    const at = pending.indexOf(marker);
    if (at >= 0) {
      const reply = pending.subarray(0, at);
      pending = pending.subarray(at + Buffer.byteLength(marker));
      return reply.toString();
    }
    if (closed) throw new Error('browser closed the connection');
    if (Date.now() > deadline) throw new Error('no reply');
    await new Promise((resolve) => { wake = resolve; setTimeout(resolve, 100); });
  }
}

async function getUrl(conn) {
  // Replies have no terminator. A piece the browser refuses, carrying a fresh random word,
  // is sent right after GETURL: its syntax-error reply marks where the URL ends.
  const fence = '#end-' + crypto.randomBytes(8).toString('hex');
  send(conn, 'GETURL', fence);
  const reply = await readUntil('ERROR Syntax Error: ' + fence);
  if (!reply.startsWith('GETURL ')) throw new Error('unexpected reply ' + reply);
  return reply.slice('GETURL '.length);
}

async function session(conn) {
  conn.on('data', (chunk) => { pending = Buffer.concat([pending, chunk]); wake(); });
  conn.on('end', () => { closed = true; wake(); });

  send(conn, 'LOAD ' + url);
  const deadline = Date.now() + TIMEOUT_MS;
  let current = await getUrl(conn);
  while (!current.startsWith(url)) { // GETURL reports the committed page
    if (Date.now() > deadline) throw new Error('page did not load; at ' + current);
    await new Promise((resolve) => setTimeout(resolve, 100));
    current = await getUrl(conn);
  }
  console.log('GETURL ' + current);

  // QUIT: the browser writes its final report and closes the connection.
  send(conn, 'QUIT');
  while (!closed) await new Promise((resolve) => { wake = resolve; });
  console.log(pending.toString());
}

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'trb-'));
const socketPath = path.join(dir, 'trbrowser.sock');
const server = net.createServer({ allowHalfOpen: false });
server.maxConnections = 1;
const oldMask = process.umask(0o177); // the socket is for this user only
server.listen(socketPath, () => {
  process.umask(oldMask);
  // The browser's own output goes to stderr, so stdout carries the replies only.
  const child = spawn(browser, ['--named-pipe=' + socketPath, ...switches],
                      { stdio: ['ignore', 2, 2] });
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  const timer = setTimeout(() => { console.error('browser did not connect'); process.exit(1); },
                           TIMEOUT_MS);
  server.once('connection', async (conn) => {
    clearTimeout(timer);
    server.close();
    fs.rmSync(dir, { recursive: true, force: true });
    try {
      await session(conn);
    } catch (err) {
      console.error(err.message);
      child.kill();
      process.exit(1);
    }
    process.exitCode = await exited;
  });
});
