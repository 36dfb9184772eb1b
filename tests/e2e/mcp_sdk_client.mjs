// `orrery-bin --mcp` through the official MCP client library, over standard input and output, the way an agent
// uses it. Usage: node mcp_sdk_client.mjs ORRERY_BIN
// Prints one line per check. Exit status: 0 every check passed, 1 some failed, 77 the client library is missing
// (scripts/setup_node.sh installs it into build/node, or wherever ORRERY_NODE_DIR says).
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import url from 'node:url';

const SKIP = 77;
const bin = process.argv[2];
if (!bin) {
  console.error('usage: node mcp_sdk_client.mjs ORRERY_BIN');
  process.exit(2);
}

const repo = path.resolve(path.dirname(url.fileURLToPath(import.meta.url)), '../..');
const nodeDir = process.env.ORRERY_NODE_DIR || path.join(repo, 'build', 'node');
let Client, StdioClientTransport;
try {
  const require = createRequire(path.join(nodeDir, 'package.json'));
  ({ Client } = require('@modelcontextprotocol/sdk/client/index.js'));
  ({ StdioClientTransport } = require('@modelcontextprotocol/sdk/client/stdio.js'));
} catch (e) {
  console.error(`skipped: the MCP client library is not installed in ${nodeDir} (run scripts/setup_node.sh): ${e.message}`);
  process.exit(SKIP);
}

// A small kelp project served by the in-process runtime: a source file that prints while it loads, and a test file
// with one passing and one failing test.
function makeProject() {
  const dir = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), 'orrery-mcp-e2e-')));
  const files = {
    'deps.edn': '{:paths ["src" "test"]}\n',
    '.orrery.edn': '{:runtime :in-process}\n',
    'src/demo.clj': [
      '(ns demo)',
      '(defn greet "Answers a greeting for n." [n] (str "hi " n))',
      '(println "demo loaded")',
      '(greet "run")',
      '',
    ].join('\n'),
    'test/demo_test.clj': [
      '(ns demo-test',
      '  (:require [clojure.test :refer [deftest is]]))',
      '(deftest adds (is (= 2 (+ 1 1))))',
      '(deftest breaks (is (= 3 (+ 1 1))))',
      '',
    ].join('\n'),
  };
  for (const [name, text] of Object.entries(files)) {
    fs.mkdirSync(path.dirname(path.join(dir, name)), { recursive: true });
    fs.writeFileSync(path.join(dir, name), text);
  }
  return dir;
}

// Starts a server on dir and connects. version, when given, replaces the protocol version the library asks for.
async function connect(dir, version) {
  const transport = new StdioClientTransport({ command: bin, args: ['--mcp', dir], stderr: 'pipe' });
  let stderr = '';
  transport.stderr.on('data', (d) => (stderr += d));
  if (version) {
    const send = transport.send.bind(transport);
    transport.send = (msg, opts) =>
      send(msg.method === 'initialize' ? { ...msg, params: { ...msg.params, protocolVersion: version } } : msg, opts);
  }
  let negotiated;
  const setVersion = transport.setProtocolVersion?.bind(transport);
  transport.setProtocolVersion = (v) => {
    negotiated = v;
    setVersion?.(v);
  };
  const client = new Client({ name: 'orrery-e2e', version: '1.0.0' });
  await client.connect(transport);
  // The library keeps the child to itself; its exit status is what closing standard input must give.
  const child = transport._process;
  assert.ok(child, 'the transport exposes no child process');
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
  return {
    client,
    negotiated: () => negotiated,
    stderr: () => stderr,
    // Ends standard input (the library's close), then answers how the server ended.
    async close() {
      await client.close();
      return exited;
    },
  };
}

let failures = 0;
async function check(name, body) {
  try {
    await body();
    console.log(`ok   ${name}`);
  } catch (e) {
    failures++;
    console.log(`FAIL ${name}\n     ${String(e.stack || e).split('\n').slice(0, 12).join('\n     ')}`);
  }
}

const text = (r) => r.content.map((c) => c.text).join('');

const dir = makeProject();
try {
  for (const [asked, answered] of [
    ['2024-11-05', '2024-11-05'],
    ['2025-03-26', '2025-03-26'],
    ['2025-06-18', '2025-06-18'],
    [null, '2025-06-18'], // the library's own newest version, which this server does not know
  ]) {
    await check(`initialize asking for ${asked ?? 'the library default'} answers ${answered}`, async () => {
      const s = await connect(dir, asked);
      assert.equal(s.negotiated(), answered);
      assert.equal(s.client.getServerVersion().name, 'orrery');
      assert.ok(s.client.getServerCapabilities().tools, 'tools capability');
      assert.deepEqual(await s.client.ping(), {});
      assert.deepEqual(await s.close(), { code: 0, signal: null });
    });
  }

  const s = await connect(dir, null);
  const call = (name, args = {}) => s.client.callTool({ name, arguments: args });

  await check('tools/list: the seven tools, each with an object schema', async () => {
    const { tools } = await s.client.listTools();
    assert.deepEqual(tools.map((t) => t.name).sort(), [
      'orrery_check_brackets', 'orrery_complete', 'orrery_doc', 'orrery_eval', 'orrery_project', 'orrery_run_file',
      'orrery_test',
    ]);
    for (const t of tools) {
      assert.equal(t.inputSchema.type, 'object', t.name);
      assert.equal(typeof t.inputSchema.properties, 'object', t.name);
      assert.ok(t.description.length > 0, t.name);
    }
    const evalTool = tools.find((t) => t.name === 'orrery_eval');
    assert.deepEqual(evalTool.inputSchema.required, ['code']);
    assert.equal(evalTool.inputSchema.properties.timeout_ms.type, 'integer');
  });

  await check('orrery_eval: (+ 1 2) answers 3', async () => {
    const r = await call('orrery_eval', { code: '(+ 1 2)' });
    assert.equal(r.isError, false);
    assert.equal(text(r), '=> 3');
    assert.equal(r.structuredContent.status, 'ok');
    assert.equal(r.structuredContent.value, '3');
  });

  await check('orrery_eval: println output is collected before the value', async () => {
    const r = await call('orrery_eval', { code: '(do (println "hello") (binding [*out* *err*] (println "to err")) (+ 20 22))' });
    assert.equal(r.isError, false);
    assert.equal(r.structuredContent.output, 'hello\nto err\n');
    assert.equal(r.structuredContent.err, 'to err\n');
    assert.equal(text(r), 'hello\nto err\n=> 42');
  });

  await check('orrery_eval: a thrown exception is an error result with the parsed error', async () => {
    const r = await call('orrery_eval', { code: '(/ 1 0)' });
    assert.equal(r.isError, true);
    assert.equal(r.structuredContent.status, 'error');
    assert.match(r.structuredContent.error.type, /ArithmeticException/);
    assert.match(r.structuredContent.error.message, /Divide by zero/);
    assert.match(text(r), /Divide by zero/);
    const info = await call('orrery_eval', { code: '(throw (ex-info "boom" {:k 1}))' });
    assert.equal(info.isError, true);
    assert.match(info.structuredContent.error.message, /boom/);
  });

  await check('orrery_eval: a missing code argument is an error result', async () => {
    const r = await call('orrery_eval', {});
    assert.equal(r.isError, true);
    assert.equal(text(r), 'Error: Missing required argument: code');
  });

  await check('orrery_run_file: runs the file in its project; its definitions stay', async () => {
    const r = await call('orrery_run_file', { path: 'src/demo.clj' });
    assert.equal(r.isError, false, text(r));
    assert.match(r.structuredContent.output, /demo loaded\n/);
    assert.equal(r.structuredContent.value, '"hi run"');
    const after = await call('orrery_eval', { code: '(demo/greet "agent")' });
    assert.equal(after.structuredContent.value, '"hi agent"', text(after));
  });

  await check('orrery_run_file: a directory and a missing file are error results', async () => {
    const folder = await call('orrery_run_file', { path: 'src' });
    assert.equal(folder.isError, true);
    assert.match(text(folder), new RegExp(`Not a file, a directory: .*src`));
    const missing = await call('orrery_run_file', { path: 'src/nope.clj' });
    assert.equal(missing.isError, true);
    assert.match(text(missing), /No such file: .*nope\.clj/);
  });

  await check('orrery_test: a passing and a failing deftest', async () => {
    const r = await call('orrery_test', { path: 'test/demo_test.clj' });
    const lines = text(r).split('\n');
    assert.equal(lines[0], '1 failure in demo-test: 2 tests, 2 assertions, 1 passed, 1 failed, 0 errors', text(r));
    assert.match(lines[1], /^FAIL breaks \(test\/demo_test\.clj:4\)/);
    assert.equal(lines[2], '  expected: (= 3 (+ 1 1))');
    assert.equal(lines[3], '  actual:   (not (= 3 2))');
    const one = await call('orrery_test', { ns: 'demo-test', test: 'adds' });
    assert.equal(text(one), 'All passed in demo-test: 1 test, 1 assertion');
    assert.equal(one.isError, false);
  });

  await check('orrery_check_brackets: balanced, unclosed, unmatched', async () => {
    for (const [input, answer] of [
      ['(defn f [x] (+ x 1))', 'ok'],
      ['(defn f [x]\n  (+ x 1)', 'The ( on line 1 is never closed.'],
      ['(ok)\n(a b))', 'The ) on line 2 has no matching opener.'],
      ['(]', 'The ( on line 1 is never closed.'],
      ['"(" ; )', 'ok'],
    ]) {
      const r = await call('orrery_check_brackets', { text: input });
      assert.equal(text(r), answer, input);
      assert.equal(r.isError, false, input);
    }
    const file = await call('orrery_check_brackets', { path: 'src/demo.clj' });
    assert.equal(text(file), 'ok');
  });

  await check('orrery_doc: a var the project defined, a runtime var, an unknown symbol', async () => {
    const mine = text(await call('orrery_doc', { symbol: 'demo/greet' }));
    assert.match(mine, /Answers a greeting for n\./);
    assert.match(mine, /\[n\]/);
    const core = text(await call('orrery_doc', { symbol: 'map' }));
    assert.match(core, /lazy seq/);
    assert.equal(text(await call('orrery_doc', { symbol: 'no-such-fn' })), 'no-such-fn\n\n(No documentation found)');
  });

  await check('orrery_complete: names the project defined and the runtime has', async () => {
    await call('orrery_eval', { code: '(defn greeting-for [n] n)' });
    assert.ok(text(await call('orrery_complete', { prefix: 'greeting' })).split('\n').includes('greeting-for'));
    assert.ok(text(await call('orrery_complete', { prefix: 'map-ind' })).split('\n').includes('map-indexed'));
    const many = text(await call('orrery_complete', { prefix: 'c' })).split('\n');
    assert.ok(many.length <= 50 && many.length > 1, `${many.length} candidates`);
    assert.equal(text(await call('orrery_complete', { prefix: 'zzqq' })), 'No completions for zzqq');
  });

  await check('orrery_project: the selection for the server directory', async () => {
    const lines = text(await call('orrery_project')).split('\n');
    assert.match(lines[0], /^Dialect: \S/);
    assert.match(lines[1], /^Runtime: \S/);
    assert.equal(lines[2], `Project directory: ${dir}`);
    assert.match(lines[3], /^Chosen by: \S/);
  });

  await check('closing standard input ends the server with status 0', async () => {
    assert.deepEqual(await s.close(), { code: 0, signal: null });
    assert.match(s.stderr(), new RegExp(`orrery: MCP server on stdio, default directory ${dir}`));
  });
} finally {
  fs.rmSync(dir, { recursive: true, force: true });
}
process.exit(failures === 0 ? 0 : 1);
