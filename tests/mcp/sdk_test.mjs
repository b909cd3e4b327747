// The official MCP TypeScript SDK as a client of TindralXL, over both
// transports: Streamable HTTP straight to the add-in's /mcp, and stdio through
// tools/mcp/tindral_mcp.py. Lists the tools, calls each and checks the answers.
//
//   node sdk_test.mjs --url http://127.0.0.1:PORT/mcp --token TOKEN \
//        --python PY --script tools/mcp/tindral_mcp.py --session session.json
//   node sdk_test.mjs --python PY --script ... --session missing.json --no-addin
//
// Prints one line per check and exits 1 at the first failure.
import assert from "node:assert/strict";
import { parseArgs } from "node:util";

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";
import { McpError } from "@modelcontextprotocol/sdk/types.js";

const { values: opt } = parseArgs({
  options: {
    url: { type: "string" },
    token: { type: "string" },
    python: { type: "string", default: "python3" },
    script: { type: "string" },
    session: { type: "string" },
    module: { type: "string", default: "mcp_sdk_demo" },
    "no-addin": { type: "boolean", default: false },
  },
});

const TOOL_NAMES = [
  "python_exec", "python_eval", "list_functions", "reload_module", "load_module", "write_module", "cell_errors", "list_objects", "inspect_object", "read_log",
  "read_range", "write_range", "set_formula", "list_sheets", "calculate",
];

function ok(what) {
  console.log(`ok ${what}`);
}

function text(result) {
  return result.content.map((c) => c.text).join("\n");
}

async function expectProtocolError(promise, code, what) {
  await assert.rejects(promise, (err) => err instanceof McpError && err.code === code, what);
  ok(`${what} -> ${code}`);
}

async function connect(transport, name) {
  const client = new Client({ name: `tindral-sdk-test-${name}`, version: "1.0.0" });
  await client.connect(transport);
  const info = client.getServerVersion();
  assert.equal(info.name, "TindralXL");
  assert.match(info.version, /^\d+\.\d+\.\d+$/);
  assert.ok(client.getServerCapabilities().tools, "tools capability declared");
  ok(`${name}: initialize (${info.name} ${info.version})`);
  const { tools } = await client.listTools();
  assert.deepEqual(tools.map((t) => t.name), TOOL_NAMES);
  for (const t of tools) {
    assert.equal(t.inputSchema.type, "object");
    assert.ok(t.description.length > 40, `${t.name} has a description written for a model`);
  }
  ok(`${name}: tools/list (${tools.length} tools)`);
  await client.ping();
  ok(`${name}: ping`);
  return client;
}

// Every tool against a running add-in.
async function exerciseAllTools(client, name) {
  const mod = opt.module;
  const fn = mod.toUpperCase();

  let r = await client.callTool({
    name: "python_exec",
    arguments: { code: "import sys\nprint('hello from Excel')\nsdk_seen = 21\ntuple(sys.version_info[:2])", timeout: 30 },
  });
  assert.ok(!r.isError, text(r));
  assert.equal(r.structuredContent.stdout, "hello from Excel\n");
  assert.deepEqual(r.structuredContent.result, [3, 12]);
  ok(`${name}: python_exec runs in Python 3.12 and captures stdout`);

  r = await client.callTool({ name: "python_exec", arguments: { code: "print('partial')\n1/0" } });
  assert.equal(r.isError, true);
  assert.match(text(r), /ZeroDivisionError/);
  assert.match(text(r), /partial/);
  ok(`${name}: python_exec exception is an error result with traceback and output`);

  r = await client.callTool({ name: "python_eval", arguments: { expr: "sdk_seen * 2" } });
  assert.equal(r.structuredContent.result, 42);
  ok(`${name}: python_eval sees the persistent namespace`);

  const source = [
    "from tindral_xl import xl_function",
    "",
    `@xl_function(name="${fn}")`,
    "def twice(x):",
    '    """Twice x."""',
    "    return x * 2",
    "",
  ].join("\n");
  r = await client.callTool({ name: "write_module", arguments: { name: mod, source } });
  assert.ok(!r.isError, text(r));
  assert.deepEqual(r.structuredContent.functions, [fn]);
  assert.ok(r.structuredContent.path.endsWith(`${mod}.py`));
  ok(`${name}: write_module wrote and loaded ${mod}.py`);

  r = await client.callTool({ name: "list_functions", arguments: {} });
  const listed = r.structuredContent.functions.find((f) => f.name === fn);
  assert.ok(listed, text(r));
  assert.equal(listed.nargs, 1);
  assert.equal(listed.module, mod);
  assert.equal(listed.doc, "Twice x.");
  ok(`${name}: list_functions shows ${fn}`);

  r = await client.callTool({ name: "reload_module", arguments: { module: mod } });
  assert.deepEqual(r.structuredContent.functions, [fn]);
  r = await client.callTool({ name: "load_module", arguments: { file: `${mod}.py` } });
  assert.deepEqual(r.structuredContent.functions, [fn]);
  r = await client.callTool({ name: "reload_module", arguments: { module: "no_such_module_here" } });
  assert.equal(r.isError, true);
  ok(`${name}: reload_module and load_module answer what the module defines`);

  r = await client.callTool({ name: "read_log", arguments: { lines: 200 } });
  assert.ok(!r.isError, text(r));
  assert.match(text(r), /Importing module|http_server/);
  // This add-in's log, not some other one's: its last start names the port
  // this client reached (a stale log elsewhere in the temp folder would not).
  const port = new URL(opt.url).port;
  const starts = [...text(r).matchAll(/listening on http:\/\/localhost:(\d+)/g)];
  assert.ok(starts.length, text(r));
  assert.equal(starts[starts.length - 1][1], port, text(r));
  ok(`${name}: read_log returns the add-in's own log`);

  // The workbook, through the add-in's tick on Excel's main thread.
  r = await client.callTool({ name: "write_range", arguments: { ref: "Sheet1!A1", values: [[20, "x"], [null, true]] } });
  assert.ok(!r.isError, text(r));
  assert.equal(r.structuredContent.written, 4);
  r = await client.callTool({ name: "read_range", arguments: { ref: "Sheet1!A1:B2" } });
  assert.ok(!r.isError, text(r));
  assert.deepEqual(r.structuredContent.rows, [[20, "x"], [null, true]]);
  r = await client.callTool({ name: "list_sheets", arguments: {} });
  assert.ok(r.structuredContent.sheets.includes("Sheet1"), text(r));
  r = await client.callTool({ name: "read_range", arguments: { ref: "Nowhere!A1" } });
  assert.equal(r.isError, true);
  assert.match(text(r), /ValueError: .*Nowhere/);
  ok(`${name}: write_range, read_range and list_sheets reach the cells; a bad sheet is an error result`);

  r = await client.callTool({ name: "write_module", arguments: { name: "json", source: "x = 1\n" } });
  assert.equal(r.isError, true);
  ok(`${name}: write_module refuses a name that shadows the standard library`);

  await expectProtocolError(client.callTool({ name: "python_exec", arguments: { code: 5 } }), -32602,
    `${name}: bad argument type`);
  await expectProtocolError(client.callTool({ name: "write_module", arguments: { name: "../evil", source: "" } }),
    -32602, `${name}: module name with a path`);
  await expectProtocolError(client.callTool({ name: "no_such_tool", arguments: {} }), -32602,
    `${name}: unknown tool`);
  r = await client.callTool({ name: "python_eval", arguments: { expr: "'sdk_bad' in globals()" } });
  assert.equal(r.structuredContent.result, false);
}

async function main() {
  if (opt["no-addin"]) {
    const client = await connect(
      new StdioClientTransport({ command: opt.python, args: [opt.script, "--session", opt.session], stderr: "pipe" }),
      "stdio-no-addin");
    const r = await client.callTool({ name: "python_eval", arguments: { expr: "1" } });
    assert.equal(r.isError, true);
    assert.match(text(r), /Excel with the TindralXL add-in is not running/);
    ok("stdio-no-addin: tools/call says Excel is not running");
    await client.close();
    return;
  }

  const http = await connect(
    new StreamableHTTPClientTransport(new URL(opt.url), {
      requestInit: { headers: { Authorization: `Bearer ${opt.token}` } },
    }),
    "http");
  await exerciseAllTools(http, "http");
  await http.close();

  const stdio = await connect(
    new StdioClientTransport({ command: opt.python, args: [opt.script, "--session", opt.session], stderr: "pipe" }),
    "stdio");
  await exerciseAllTools(stdio, "stdio");
  await stdio.close();

  // Without the token the add-in refuses before anything reaches Python.
  const stranger = new Client({ name: "no-token", version: "1.0.0" });
  await assert.rejects(stranger.connect(new StreamableHTTPClientTransport(new URL(opt.url))),
    (err) => err.code === 403 && /invalid or missing bearer token/.test(err.message));
  ok("http: no token -> 403");
}

main().then(
  () => {
    console.log("sdk_test: all checks passed");
    process.exit(0);
  },
  (err) => {
    console.error(`sdk_test: FAILED: ${err && err.stack ? err.stack : err}`);
    process.exit(1);
  });
