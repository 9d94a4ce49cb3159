// What every dashboard page test shares: a temporary home with its own configuration, tmpfs
// drives mounted in the test's private mount namespace, the real `brimvale run`, Debian's
// headless Chromium signed in through the one-time page, and the clean-up afterwards.
//
// Environment: BRIMVALE (the built program), SCREENSHOTS (a folder), SLOW_RSYNC (a copy tool held
// to about 2 MB/s). Drives need a private mount namespace (scripts/in-private-mounts); without one
// a test sees `haveDrive` false, unless BRIMVALE_REQUIRE_MOUNTS=1 makes that a failure.
import { spawn, execFileSync } from "node:child_process";
import {
  mkdtempSync, mkdirSync, writeFileSync, readFileSync, existsSync, rmSync, realpathSync,
} from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import assert from "node:assert/strict";
import { chromium } from "playwright-core";

export const brimvale = process.env.BRIMVALE;
export const screenshots = process.env.SCREENSHOTS;
export const drive = "/Volumes/NVMe";

// A tmpfs at `at`; false when this process may not mount (outside a private namespace).
export function mountTmpfs(at, options) {
  if (process.env.BRIMVALE_IN_NAMESPACE !== "1") return false;
  try {
    mkdirSync(at, { recursive: true });
    execFileSync("mount", ["-t", "tmpfs", "-o", options, "tmpfs", at]);
    return true;
  } catch {
    return false;
  }
}

// Files of the given sizes under `folder`, each byte the length of its name.
export function writeFiles(folder, files) {
  for (const [name, size] of Object.entries(files)) {
    mkdirSync(path.dirname(path.join(folder, name)), { recursive: true });
    writeFileSync(path.join(folder, name), Buffer.alloc(size, name.length));
  }
}

export async function waitFor(what, check, seconds = 60) {
  const until = Date.now() + seconds * 1000;
  while (Date.now() < until) {
    const value = check();
    if (value) return value;
    await new Promise((r) => setTimeout(r, 200));
  }
  throw new Error(`timed out waiting for ${what}`);
}

// Every file of `files` whole in `folder`: at home (no link) or, with `onDrive`, on the drive.
export function assertWhole(folder, files, onDrive) {
  for (const [name, size] of Object.entries(files)) {
    const file = path.join(folder, name);
    const real = realpathSync(file);
    assert.ok(onDrive ? real.startsWith(drive + "/") : real === file, `${name} is at ${real}`);
    assert.deepEqual(readFileSync(file), Buffer.alloc(size, name.length), name);
  }
}

// Runs `body` against a signed-in dashboard and exits the process with its verdict.
//   name:      the test's name, for screenshots and messages
//   drives:    { "/Volumes/NVMe": "size=64m", ... } tmpfs drives to mount (mode 0700 added)
//   systemApps: hide the machine's /Applications behind an empty tmpfs
//   config:    extra lines for brim-vale.conf
//   prepare:   (ctx) => void, called before `brimvale run` starts, to lay out the home
//   body:      async (ctx) => void, the test itself
// ctx: { home, state, env, origin, browser, context, page, mounted, run(args), signInPage(),
//        signedInWith (the one-time page used), shows(selector, text, timeout) }
export async function dashboardTest({ name, drives = { [drive]: "size=64m" }, systemApps = false,
  config = "", prepare = () => {}, body }) {
  assert.ok(brimvale && screenshots, "BRIMVALE and SCREENSHOTS must be set");
  assert.ok(process.env.SLOW_RSYNC, "SLOW_RSYNC must be set");
  mkdirSync(screenshots, { recursive: true });
  const home = mkdtempSync(path.join(tmpdir(), `brimvale-web-${name}-`));
  const state = path.join(home, ".brimvale", "state");
  const env = { ...process.env, HOME: home, RSYNC: process.env.SLOW_RSYNC };
  const mounted = {};
  for (const [at, options] of Object.entries(drives)) {
    mounted[at] = mountTmpfs(at, `${options},mode=0700`);
  }
  let hidApps = "";
  if (systemApps) {
    hidApps = !existsSync("/Applications") ? "absent"
      : mountTmpfs("/Applications", "size=1m,mode=0755") ? "mounted" : "";
  }
  const needed = Object.keys(drives).length > 0 || systemApps;
  const haveAll = Object.values(mounted).every(Boolean) && (!systemApps || hidApps);
  if (needed && !haveAll) {
    for (const [at, done] of Object.entries(mounted)) if (done) execFileSync("umount", [at]);
    if (hidApps === "mounted") execFileSync("umount", ["/Applications"]);
    rmSync(home, { recursive: true, force: true });
    if (process.env.BRIMVALE_REQUIRE_MOUNTS === "1") {
      console.error(`${name}: cannot mount its tmpfs drives; run it through scripts/in-private-mounts`);
      process.exit(1);
    }
    console.log(`${name}: no private mount namespace, skipped`);
    process.exit(0);
  }

  mkdirSync(state, { recursive: true, mode: 0o700 });
  writeFileSync(path.join(home, ".brimvale", "brim-vale.conf"),
    `NVMe="${drive}"\nLOW_SPACE_WARN_GB=40\nLOW_SPACE_CRITICAL_GB=15\nRULES=()\nAPP_CACHE_PATHS=()\n` + config);
  // The guard against moving folders in use is switched off, as a user would
  // for folders they know are idle: the tests write their folders just now.
  writeFileSync(path.join(state, "user-defaults.json"),
    JSON.stringify({ "brimvale.mover.recentWriteGuardEnabled": false }));
  const ctx = {
    home, state, env, mounted,
    // The program itself, as the user would run it beside the page.
    run: (args) => execFileSync(brimvale, args, { env, encoding: "utf8" }),
  };
  prepare(ctx);

  const app = spawn(brimvale, ["run"], { env, stdio: ["ignore", "pipe", "pipe"] });
  let appOutput = "";
  app.stdout.on("data", (d) => { appOutput += d; });
  app.stderr.on("data", (d) => { appOutput += d; });
  const appEnded = new Promise((resolve) => app.on("exit", (code, signal) => resolve({ code, signal })));
  const browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    headless: true,
    // CI runs as root, where Chromium's own sandbox cannot start.
    args: ["--no-sandbox"],
  });
  let failed = false;
  try {
    const urlFile = path.join(state, "dashboard.url");
    ctx.origin = (await waitFor("the dashboard's address", () =>
      existsSync(urlFile) && readFileSync(urlFile, "utf8").trim())).replace(/\/$/, "");
    ctx.browser = browser;
    ctx.signInPage = () => ctx.run(["open", "--no-browser"]).trim();
    ctx.context = await browser.newContext({ viewport: { width: 1100, height: 900 } });
    ctx.page = await ctx.context.newPage();
    ctx.shows = (selector, text, timeout) =>
      ctx.page.locator(selector).filter({ hasText: text }).waitFor({ timeout });
    ctx.signedInWith = ctx.signInPage();
    await ctx.page.goto("file://" + ctx.signedInWith);
    await ctx.page.waitForURL(ctx.origin + "/");
    await body(ctx);
    console.log(`${name} passed`);
  } catch (error) {
    failed = true;
    console.error(error);
    if (ctx.page) {
      await ctx.page.screenshot({ path: path.join(screenshots, `${name}-failure.png`), fullPage: true });
    }
    console.error("brimvale run said:\n" + appOutput);
  } finally {
    await browser.close();
    app.kill("SIGTERM");
    await Promise.race([appEnded, new Promise((r) => setTimeout(r, 20000))]);
    if (!failed && existsSync(path.join(state, "dashboard.url"))) {
      console.error("dashboard.url was left behind after quitting");
      failed = true;
    }
    try {
      execFileSync(brimvale, ["stop"], { env, stdio: "ignore" });
    } catch {
      // Nothing left running.
    }
    rmSync(home, { recursive: true, force: true });
    for (const [at, done] of Object.entries(mounted).reverse()) if (done) execFileSync("umount", [at]);
    if (hidApps === "mounted") execFileSync("umount", ["/Applications"]);
  }
  process.exit(failed ? 1 : 0);
}
