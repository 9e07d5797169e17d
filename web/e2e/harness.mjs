// End-to-end harness: serves the built page over HTTP and stands in for the
// web view. The page gets the real bootstrap script (taken from the native
// source) plus a small shim that plays window.webkit.messageHandlers.corvane:
// posted messages go to `corvane-cli --stdio`, and the reply and event scripts
// it prints come back to the page over a server-sent event stream.
//
// Several page loads (reloads) may share one native process; their call ids
// all start at 1, so each message gets a process-wide id on the way in and its
// own id back on the way out, and a reply only reaches the page that asked.
import { spawn, execFile } from 'node:child_process';
import { createServer } from 'node:http';
import { readFile, mkdtemp, rm } from 'node:fs/promises';
import { createInterface } from 'node:readline';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const repo = path.resolve(here, '..', '..');

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
  '.json': 'application/json',
  '.woff2': 'font/woff2',
};

export async function bootstrapScript() {
  const cpp = await readFile(path.join(repo, 'src/bridge/bootstrap_script.cpp'), 'utf8');
  const m = /R"JS\(([\s\S]*?)\)JS"/.exec(cpp);
  if (!m) throw new Error('bootstrap script not found in bootstrap_script.cpp');
  return m[1];
}

const SHIM = `(function () {
  var session = Math.random().toString(36).slice(2) + Date.now().toString(36);
  var events = new EventSource('/__harness/events?s=' + session);
  // A message can arrive while a reload is still setting up the bootstrap
  // script's functions: hold it until they exist, as the shell's page has them
  // from document start.
  function deliver(m) {
    var f = m.type === 'resolve' ? window.__cvResolve : window.__cvEmit;
    if (typeof f !== 'function') return setTimeout(function () { deliver(m); }, 10);
    if (m.type === 'resolve') f(m.id, m.ok, JSON.parse(m.payload));
    else if (m.type === 'emit') f(m.name, JSON.parse(m.payload));
  }
  events.onmessage = function (e) { deliver(JSON.parse(e.data)); };
  window.webkit = { messageHandlers: { corvane: { postMessage: function (body) {
    var text = JSON.stringify(body);
    fetch('/__harness/post?s=' + session, { method: 'POST', body: text });
  } } } };
})();
`;

// The two script shapes the native side writes, one per line.
const RESOLVE = /^window\.__cvResolve\((-?\d+), (true|false), ([\s\S]*)\);$/;
const EMIT = /^window\.__cvEmit\(("(?:[^"\\]|\\.)*"), ([\s\S]*)\);$/;

export async function startHarness({ cli, dist, home, env = {}, log = () => {} }) {
  const ownHome = !home;
  home = home ?? (await mkdtemp(path.join(tmpdir(), 'corvane-e2e-')));
  const bootstrap = await bootstrapScript();
  const child = spawn(cli, ['--stdio'], {
    // The config folder follows the home too: defaults and the autostart entry
    // must never land in the real user's ~/.config.
    env: { ...process.env, HOME: home, XDG_DATA_HOME: path.join(home, '.local/share'), XDG_CONFIG_HOME: path.join(home, '.config'), ...env },
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  const stderr = [];
  child.stderr.on('data', (d) => stderr.push(String(d)));
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));

  let nextGlobal = 1;
  const calls = new Map(); // global id → { session, id, cmd }
  const streams = new Map(); // session → { res, backlog }
  const requests = [];
  const commands = [];
  const answered = [];

  function stream(session) {
    let s = streams.get(session);
    if (!s) streams.set(session, (s = { res: null, backlog: [] }));
    return s;
  }
  function send(session, message) {
    const s = stream(session);
    const line = `data: ${JSON.stringify(message)}\n\n`;
    if (s.res) s.res.write(line);
    else s.backlog.push(line);
  }

  createInterface({ input: child.stdout }).on('line', (line) => {
    let m = RESOLVE.exec(line);
    if (m) {
      const call = calls.get(Number(m[1]));
      if (!call) return;
      calls.delete(Number(m[1]));
      answered.push(call.cmd);
      log(`← ${call.cmd} ${m[2]}`);
      send(call.session, { type: 'resolve', id: call.id, ok: m[2] === 'true', payload: m[3] });
      return;
    }
    m = EMIT.exec(line);
    if (m) {
      const name = JSON.parse(m[1]);
      log(`⇠ ${name}`);
      for (const session of streams.keys()) send(session, { type: 'emit', name, payload: m[2] });
      return;
    }
    log(`? ${line.slice(0, 200)}`);
  });

  async function media(kind, token, res) {
    const out = path.join(home, `.fetch-${Date.now()}-${Math.random().toString(36).slice(2)}`);
    execFile(cli, ['fetch', `app://local/${kind}/${token}`, '--out', out], { env: { ...process.env, HOME: home } }, async (err, stdout) => {
      if (err) {
        res.writeHead(404).end();
        return;
      }
      const type = /Content-Type:\s*([^\r\n]+)/i.exec(stdout)?.[1] ?? 'application/octet-stream';
      const body = await readFile(out).catch(() => null);
      await rm(out, { force: true });
      if (!body) return void res.writeHead(404).end();
      res.writeHead(200, { 'Content-Type': type }).end(body);
    });
  }

  const server = createServer(async (req, res) => {
    const url = new URL(req.url ?? '/', 'http://harness');
    requests.push(url.pathname);
    const session = url.searchParams.get('s') ?? '';
    if (url.pathname === '/__harness/events') {
      res.writeHead(200, { 'Content-Type': 'text/event-stream', 'Cache-Control': 'no-cache', Connection: 'keep-alive' });
      res.write(':\n\n');
      const s = stream(session);
      s.res = res;
      for (const line of s.backlog.splice(0)) res.write(line);
      req.on('close', () => streams.delete(session));
      return;
    }
    if (url.pathname === '/__harness/post' && req.method === 'POST') {
      let body = '';
      for await (const chunk of req) body += chunk;
      res.writeHead(204).end();
      let msg;
      try {
        msg = JSON.parse(body);
      } catch {
        return;
      }
      const global = nextGlobal++;
      calls.set(global, { session, id: msg.callId, cmd: msg.cmd });
      commands.push({ cmd: msg.cmd, args: msg.args });
      log(`→ ${msg.cmd}`);
      stream(session);
      child.stdin.write(JSON.stringify({ callId: global, cmd: msg.cmd, args: msg.args }) + '\n');
      return;
    }
    if (url.pathname === '/__harness/shim.js') return void res.writeHead(200, { 'Content-Type': TYPES['.js'] }).end(SHIM);
    if (url.pathname === '/__harness/bootstrap.js') return void res.writeHead(200, { 'Content-Type': TYPES['.js'] }).end(bootstrap);
    const mediaMatch = /^\/(__media|__thumb)\/([A-Za-z0-9._-]{1,255})$/.exec(url.pathname);
    if (mediaMatch) return void media(mediaMatch[1], mediaMatch[2], res);
    const rel = url.pathname === '/' ? 'index.html' : decodeURIComponent(url.pathname.slice(1));
    const file = path.resolve(dist, rel);
    if (!file.startsWith(path.resolve(dist) + path.sep)) return void res.writeHead(403).end();
    let data;
    try {
      data = await readFile(file);
    } catch {
      return void res.writeHead(404).end();
    }
    const type = TYPES[path.extname(file)] ?? 'application/octet-stream';
    if (rel === 'index.html') {
      // Document-start injection, as the web view's user script does it.
      const html = String(data).replace('<head>', '<head>\n<script src="/__harness/shim.js"></script>\n<script src="/__harness/bootstrap.js"></script>');
      return void res.writeHead(200, { 'Content-Type': type, 'Cache-Control': 'no-cache' }).end(html);
    }
    res.writeHead(200, { 'Content-Type': type }).end(data);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();

  return {
    url: `http://127.0.0.1:${port}/`,
    home,
    requests,
    commands,
    answered,
    stderr,
    async close() {
      for (const s of streams.values()) s.res?.end();
      server.closeAllConnections?.();
      await new Promise((resolve) => server.close(resolve));
      child.stdin.end();
      const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
      const result = await exited;
      clearTimeout(timer);
      if (ownHome) await rm(home, { recursive: true, force: true });
      return result;
    },
  };
}

// `node e2e/harness.mjs CLI [DIST]` serves the page for a manual look.
if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const cli = process.argv[2] ?? path.join(repo, 'build/dev/bin/corvane-cli');
  const dist = process.argv[3] ?? path.join(repo, 'build/dev/share/corvane/web');
  const h = await startHarness({ cli, dist, log: (l) => console.log(l) });
  console.log(`serving ${dist} at ${h.url} (HOME=${h.home}); Ctrl+C stops`);
  process.on('SIGINT', () => void h.close().then(() => process.exit(0)));
}
