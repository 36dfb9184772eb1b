// Start-up of the agent server as a client feels it: from spawning `orrery-bin --mcp` to the initialize answer, and
// from there to the answer of a first orrery_eval. Prints the median (and the range) of each over the runs.
// Usage: node scripts/bench_mcp.mjs ORRERY_BIN [RUNS]   (RUNS defaults to 20; build the release preset first)
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const [bin, runsArg] = process.argv.slice(2);
if (!bin) {
  console.error('usage: node scripts/bench_mcp.mjs ORRERY_BIN [RUNS]');
  process.exit(2);
}
const runs = Number(runsArg || 20);

function lineReader(stream) {
  let pending = '';
  const waiting = [];
  const lines = [];
  stream.setEncoding('utf8');
  stream.on('data', (chunk) => {
    pending += chunk;
    let nl;
    while ((nl = pending.indexOf('\n')) >= 0) {
      lines.push(pending.slice(0, nl));
      pending = pending.slice(nl + 1);
    }
    while (lines.length && waiting.length) waiting.shift()(lines.shift());
  });
  return () => new Promise((resolve) => (lines.length ? resolve(lines.shift()) : waiting.push(resolve)));
}

async function once(dir) {
  const start = process.hrtime.bigint();
  const child = spawn(bin, ['--mcp', dir], { stdio: ['pipe', 'pipe', 'ignore'] });
  const next = lineReader(child.stdout);
  const send = (msg) => child.stdin.write(JSON.stringify(msg) + '\n');
  send({ jsonrpc: '2.0', id: 1, method: 'initialize',
         params: { protocolVersion: '2025-06-18', capabilities: {}, clientInfo: { name: 'bench', version: '1' } } });
  await next();
  const initialized = process.hrtime.bigint();
  send({ jsonrpc: '2.0', method: 'notifications/initialized' });
  send({ jsonrpc: '2.0', id: 2, method: 'tools/call', params: { name: 'orrery_eval', arguments: { code: '(+ 1 2)' } } });
  const answer = JSON.parse(await next());
  const evaluated = process.hrtime.bigint();
  if (answer.result?.structuredContent?.value !== '3') throw new Error(`unexpected answer: ${JSON.stringify(answer)}`);
  const exited = new Promise((resolve) => child.once('exit', resolve));
  child.stdin.end();
  await exited;
  return [Number(initialized - start) / 1e6, Number(evaluated - initialized) / 1e6];
}

const summary = (xs) => {
  const s = [...xs].sort((a, b) => a - b);
  const median = s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
  return `median ${median.toFixed(1)} ms (min ${s[0].toFixed(1)}, max ${s[s.length - 1].toFixed(1)})`;
};

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orrery-bench-mcp-'));
try {
  const init = [], first = [];
  for (let i = 0; i < runs; i++) {
    const [a, b] = await once(dir);
    init.push(a);
    first.push(b);
  }
  console.log(`start to initialize answer (target < 30 ms): ${summary(init)}`);
  console.log(`initialize answer to first orrery_eval answer (target < 50 ms): ${summary(first)}`);
} finally {
  fs.rmSync(dir, { recursive: true, force: true });
}
