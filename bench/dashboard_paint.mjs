// First contentful paint of the dashboard's Home and Storage pages (with a
// year of hourly history) in an already running headless Chromium, against
// the same pages saved as static files and served by `python3 -m
// http.server`; then the CPU `brimvale run` uses while nobody looks.
// Usage: node bench/dashboard_paint.mjs BRIMVALE [runs]
import { spawn, execFileSync } from "node:child_process";
import { createRequire } from "node:module";
import { mkdtempSync, mkdirSync, writeFileSync, readFileSync, existsSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";

const require = createRequire(new URL("../tests/web/package.json", import.meta.url));
const { chromium } = require("playwright-core");

const brimvale = process.argv[2];
const runs = Number(process.argv[3] || 15);
const home = mkdtempSync(path.join(tmpdir(), "brimvale-paint-"));
const state = path.join(home, ".brimvale", "state");
const env = { ...process.env, HOME: home };
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

mkdirSync(state, { recursive: true, mode: 0o700 });
writeFileSync(path.join(home, ".brimvale", "brim-vale.conf"),
  'NVMe="/Volumes/NVMe"\nRULES=()\nAPP_CACHE_PATHS=()\n');
const hour = Math.floor(Date.now() / 3600000) * 3600;
const rows = [];
for (let i = 365 * 24 - 1; i >= 0; --i) {
  const ts = new Date((hour - i * 3600) * 1000).toISOString().replace(/\.\d{3}Z$/, "Z");
  rows.push(JSON.stringify({ ts, internal_free_gb: 80 + 40 * Math.sin(i / 200), internal_total_gb: 500 }));
}
writeFileSync(path.join(state, "history.ndjson"), rows.join("\n") + "\n");

async function waitFor(check, seconds = 60) {
  for (const until = Date.now() + seconds * 1000; Date.now() < until; await sleep(100)) {
    const value = check();
    if (value) return value;
  }
  throw new Error("timed out");
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

async function paint(context, url) {
  const times = [];
  for (let i = 0; i < runs; ++i) {
    const page = await context.newPage();
    await page.goto(url, { waitUntil: "load" });
    const fcp = await page.evaluate(() => new Promise((resolve) => {
      const seen = performance.getEntriesByName("first-contentful-paint")[0];
      if (seen) return resolve(seen.startTime);
      new PerformanceObserver((list) => resolve(list.getEntries()[0].startTime))
        .observe({ type: "paint", buffered: true });
    }));
    times.push(fcp);
    await page.close();
  }
  return median(times);
}

function cpuTicks(pid) {
  const fields = readFileSync(`/proc/${pid}/stat`, "utf8").split(") ")[1].split(" ");
  return Number(fields[11]) + Number(fields[12]);  // utime + stime
}

const app = spawn(brimvale, ["run"], { env, stdio: "ignore" });
const browser = await chromium.launch({ executablePath: "/usr/bin/chromium", headless: true, args: ["--no-sandbox"] });
let server;
let saved;
try {
  const urlFile = path.join(state, "dashboard.url");
  const origin = (await waitFor(() => existsSync(urlFile) && readFileSync(urlFile, "utf8").trim())).replace(/\/$/, "");
  const live = await browser.newContext();
  const page = await live.newPage();
  const signIn = execFileSync(brimvale, ["open", "--no-browser"], { env, encoding: "utf8" }).trim();
  await page.goto("file://" + signIn);
  await page.waitForURL(origin + "/");

  // The same pages as static files, each request saved under its own path.
  saved = mkdtempSync(path.join(tmpdir(), "brimvale-static-"));
  mkdirSync(path.join(saved, "api"));
  for (const name of ["home.html", "storage.html", "style.css", "dashboard.js", "home.js",
    "storage.js", "api/home", "api/storage", "api/history.svg"]) {
    const response = await page.request.get(`${origin}/${name}`);
    writeFileSync(path.join(saved, name), await response.body());
  }
  writeFileSync(path.join(saved, "index.html"), readFileSync(path.join(saved, "home.html")));
  const port = 20000 + Math.floor(Math.random() * 20000);
  server = spawn("python3", ["-m", "http.server", "--bind", "127.0.0.1", String(port), "--directory", saved],
    { stdio: "ignore" });
  const staticOrigin = `http://127.0.0.1:${port}`;
  await waitFor(() => { try { execFileSync("python3", ["-c", `import urllib.request; urllib.request.urlopen("${staticOrigin}/")`], { stdio: "ignore" }); return true; } catch { return false; } });
  const plain = await browser.newContext();

  for (const [name, limit] of [["home.html", 200], ["storage.html", 300]]) {
    await paint(live, `${origin}/${name}`);  // warm-up
    await paint(plain, `${staticOrigin}/${name}`);
    const ours = await paint(live, `${origin}/${name}`);
    const theirs = await paint(plain, `${staticOrigin}/${name}`);
    console.log(`${name}: first contentful paint ${ours.toFixed(1)} ms (target < ${limit} ms), ` +
      `static files via python3 -m http.server ${theirs.toFixed(1)} ms, ratio ${(ours / theirs).toFixed(2)}x ` +
      `(target <= 1.2x), median of ${runs}`);
  }
  await browser.close();

  // Idle: no browser, no requests; the whole `brimvale run` process is counted.
  await sleep(2000);
  const seconds = 30;
  const before = cpuTicks(app.pid);
  await sleep(seconds * 1000);
  const used = (cpuTicks(app.pid) - before) / 100;  // clock ticks of 10 ms
  console.log(`brimvale run while idle (dashboard serving, no page open): ${(100 * used / seconds).toFixed(2)}% of a core ` +
    `over ${seconds} s (target < 0.5%)`);
} finally {
  if (server) server.kill();
  app.kill("SIGTERM");
  await sleep(3000);
  try { execFileSync(brimvale, ["stop"], { env, stdio: "ignore" }); } catch { /* already stopped */ }
  rmSync(home, { recursive: true, force: true });
  if (saved) rmSync(saved, { recursive: true, force: true });
}
