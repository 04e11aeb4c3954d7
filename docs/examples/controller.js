#!/usr/bin/env node
// A minimal trbrowser controller in Node.js (net module only).
//
//   node controller.js URL [BROWSER [BROWSER SWITCHES...]]
//
// Creates the command socket and the events socket, starts the browser connected to both,
// loads URL, waits for the browser's "load" event for it, prints the GETURL reply and the
// final GEOMETRY report, and quits.
'use strict';
const net = require('net');
const fs = require('fs');
const os = require('os');
const path = require('path');
const crypto = require('crypto');
const readline = require('readline');
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

// Resolves once the browser reports that a page starting with `prefix` has loaded. Events
// are JSON objects, one per line, pushed as they happen: no polling.
function loadEvent(events, prefix) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('page did not load')), TIMEOUT_MS);
    const onEvent = (line) => {
      const event = JSON.parse(line);
      if (event.event === 'load' && event.url.startsWith(prefix)) {
        clearTimeout(timer);
        events.off('line', onEvent);
        resolve();
      }
    };
    events.on('line', onEvent);
  });
}

async function session(conn, events) {
  conn.on('data', (chunk) => { pending = Buffer.concat([pending, chunk]); wake(); });
  conn.on('end', () => { closed = true; wake(); });

  const loaded = loadEvent(events, url);
  send(conn, 'LOAD ' + url);
  await loaded;
  console.log('GETURL ' + (await getUrl(conn))); // loaded means committed: GETURL shows it

  // QUIT: the browser writes its final report and closes the connection.
  send(conn, 'QUIT');
  while (!closed) await new Promise((resolve) => { wake = resolve; });
  console.log(pending.toString());
}

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'trb-'));
const socketPath = path.join(dir, 'trbrowser.sock');
const eventsPath = path.join(dir, 'events.sock');

// Listens at `where` for the browser's one connection to it; resolves, once listening, with
// { connection }, a promise of that connection.
function listenOnce(where) {
  const server = net.createServer({ allowHalfOpen: false });
  server.maxConnections = 1;
  const connection = new Promise((resolve) => server.once('connection', (c) => {
    server.close();
    resolve(c);
  }));
  return new Promise((resolve) => server.listen(where, () => resolve({ connection })));
}

(async () => {
  const oldMask = process.umask(0o177); // the sockets are for this user only
  const commands = await listenOnce(socketPath);
  const events = await listenOnce(eventsPath);
  process.umask(oldMask);
  // The browser's own output goes to stderr, so stdout carries the replies only.
  const child = spawn(browser, ['--named-pipe=' + socketPath, '--events-pipe=' + eventsPath,
                                ...switches], { stdio: ['ignore', 2, 2] });
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  const timer = setTimeout(() => { console.error('browser did not connect'); process.exit(1); },
                           TIMEOUT_MS);
  const [conn, eventsConn] = await Promise.all([commands.connection, events.connection]);
  clearTimeout(timer);
  fs.rmSync(dir, { recursive: true, force: true });
  try {
    await session(conn, readline.createInterface({ input: eventsConn }));
  } catch (err) {
    console.error(err.message);
    child.kill();
    process.exit(1);
  }
  process.exitCode = await exited;
})();
