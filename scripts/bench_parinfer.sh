#!/usr/bin/env bash
# Indent mode over the first 3,000 lines of Clojure's core.clj (cut before a top-level form): our parinfer_json
# against the published JavaScript implementation (npm parinfer 3.13.1, installed into build/bench-node), both as
# whole processes running the file ROUNDS times in the same run, and the ratio of their wall times.
# Usage: scripts/bench_parinfer.sh [path/to/parinfer_json] [rounds]
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
driver="${1:-}"
rounds="${2:-50}"
if [ -z "$driver" ]; then
  for d in "$repo/build/release/parinfer_json" "$repo/build/dev/parinfer_json" "$repo"/build/*/parinfer_json; do
    if [ -x "$d" ]; then driver="$d"; break; fi
  done
fi
[ -n "$driver" ] && [ -x "$driver" ] || { echo "No parinfer_json binary found; build the parinfer_json target or pass its path." >&2; exit 2; }
command -v node >/dev/null || { echo "node is not installed (scripts/setup_node.sh)." >&2; exit 2; }
node_dir="$repo/build/bench-node"
if [ ! -f "$node_dir/node_modules/parinfer/package.json" ]; then
  (cd "$node_dir" && npm install --no-audit --no-fund parinfer@3.13.1 >/dev/null)
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
unzip -p /usr/share/java/clojure.jar clojure/core.clj |
  awk 'NR <= 3000 { lines[NR] = $0; if ($0 ~ /^\(/) cut = NR } END { for (i = 1; i < cut; i++) print lines[i] }' \
  > "$work/core3000.clj"
echo "file: $(wc -l < "$work/core3000.clj") lines, $(wc -c < "$work/core3000.clj") bytes; $rounds rounds each"

# The same requests for both: the file's text in Indent mode, once per round.
NODE_PATH="$node_dir/node_modules" node -e '
  const fs = require("fs");
  const text = fs.readFileSync(process.argv[1], "utf8");
  const line = JSON.stringify({mode: "indent", text, options: {}}) + "\n";
  fs.writeFileSync(process.argv[2], line.repeat(Number(process.argv[3])));
' "$work/core3000.clj" "$work/requests.jsonl" "$rounds"

now() { date +%s%N; }
t0=$(now)
"$driver" < "$work/requests.jsonl" > "$work/ours.jsonl"
t1=$(now)
NODE_PATH="$node_dir/node_modules" node -e '
  const fs = require("fs");
  const parinfer = require("parinfer");
  const out = [];
  for (const line of fs.readFileSync(process.argv[1], "utf8").split("\n")) {
    if (!line) continue;
    const req = JSON.parse(line);
    out.push(JSON.stringify(parinfer.indentMode(req.text, req.options)));
  }
  fs.writeFileSync(process.argv[2], out.join("\n") + "\n");
' "$work/requests.jsonl" "$work/theirs.jsonl"
t2=$(now)

# Both must have produced the same text.
NODE_PATH="$node_dir/node_modules" node -e '
  const fs = require("fs");
  const a = JSON.parse(fs.readFileSync(process.argv[1], "utf8").split("\n")[0]);
  const b = JSON.parse(fs.readFileSync(process.argv[2], "utf8").split("\n")[0]);
  if (a.text !== b.text || a.success !== b.success) { console.error("the two results differ"); process.exit(1); }
' "$work/ours.jsonl" "$work/theirs.jsonl"

ours_ms=$(( (t1 - t0) / 1000000 ))
theirs_ms=$(( (t2 - t1) / 1000000 ))
echo "parinfer_json: ${ours_ms} ms"
echo "npm parinfer 3.13.1 (node): ${theirs_ms} ms"
awk -v a="$ours_ms" -v b="$theirs_ms" 'BEGIN { if (a > 0) printf "ratio (node / ours): %.1fx\n", b / a }'

# The engines alone, each timing its own calls in the same run: Indent mode over the file, median of a call.
ours_call=$("$driver" --time-indent "$work/core3000.clj" "$rounds")
theirs_call=$(NODE_PATH="$node_dir/node_modules" node -e '
  const fs = require("fs");
  const parinfer = require("parinfer");
  const text = fs.readFileSync(process.argv[1], "utf8");
  const ms = [];
  for (let i = 0; i < Number(process.argv[2]); i++) {
    const t0 = process.hrtime.bigint();
    parinfer.indentMode(text, {});
    ms.push(Number(process.hrtime.bigint() - t0) / 1e6);
  }
  ms.sort((a, b) => a - b);
  console.log(ms[Math.floor(ms.length / 2)]);
' "$work/core3000.clj" "$rounds")
echo "one Indent mode call, median: ours ${ours_call} ms, npm parinfer ${theirs_call} ms"
awk -v a="$ours_call" -v b="$theirs_call" 'BEGIN { if (a > 0) printf "ratio of one call (node / ours): %.1fx\n", b / a }'
