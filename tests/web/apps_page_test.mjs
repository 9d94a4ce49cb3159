// The apps page in a real browser against the real `brimvale run`: the category filter, a
// blocked app offered no move, a risky app moved only after its own confirmation of the risk,
// offloading and restoring from the Offloaded tab, a reinstall's permission review answered from
// the page, and a move by the command line followed by the open page within 250 ms. Every
// action is checked on disk.
import { spawnSync } from "node:child_process";
import {
  mkdirSync, writeFileSync, readFileSync, readdirSync, lstatSync, existsSync, rmSync, realpathSync,
} from "node:fs";
import path from "node:path";
import assert from "node:assert/strict";
import { dashboardTest, waitFor, drive, brimvale, screenshots } from "./harness.mjs";

// A bundle under ~/Applications whose Info.plist carries `keys` (raw plist lines).
function writeApp(home, name, keys) {
  const contents = path.join(home, "Applications", `${name}.app`, "Contents");
  rmSync(path.dirname(contents), { recursive: true, force: true });
  mkdirSync(path.join(contents, "MacOS"), { recursive: true });
  writeFileSync(path.join(contents, "Info.plist"), `<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleName</key><string>${name}</string>
<key>CFBundleExecutable</key><string>${name}</string>
${keys.join("\n")}
</dict></plist>
`);
  writeFileSync(path.join(contents, "MacOS", name), Buffer.alloc(40_000, name.length));
}

const category = (word) =>
  `<key>LSApplicationCategoryType</key><string>public.app-category.${word}</string>`;
const bundleId = (id) => `<key>CFBundleIdentifier</key><string>${id}</string>`;
const camera = "<key>NSCameraUsageDescription</key><string>For sketches.</string>";
const microphone = "<key>NSMicrophoneUsageDescription</key><string>For notes.</string>";

// The app's place holds a link to its whole copy in the drive's Apps folder.
function onDrive(home, name) {
  const bundle = path.join(home, "Applications", `${name}.app`);
  if (!lstatSync(bundle, { throwIfNoEntry: false })?.isSymbolicLink()) return false;
  const executable = readFileSync(path.join(bundle, "Contents", "MacOS", name));
  assert.deepEqual(executable, Buffer.alloc(40_000, name.length), `${name}'s copy is whole`);
  return realpathSync(bundle).startsWith(drive + "/");
}

// The app stands at its place as a real bundle, whole.
function atHome(home, name) {
  const bundle = path.join(home, "Applications", `${name}.app`);
  const seen = lstatSync(bundle, { throwIfNoEntry: false });
  if (!seen?.isDirectory()) return false;
  return readFileSync(path.join(bundle, "Contents", "MacOS", name)).equals(Buffer.alloc(40_000, name.length));
}

await dashboardTest({
  name: "apps_page",
  systemApps: true,
  prepare: ({ home }) => {
    writeApp(home, "Notes Helper", [bundleId("org.example.notes"), category("productivity")]);
    writeApp(home, "Sketch Pad", [bundleId("org.example.sketch"), category("graphics-design"), camera]);
    writeApp(home, "Feed Reader", [bundleId("org.example.feeds"), category("news"),
      "<key>SUFeedURL</key><string>https://example.org/feed.xml</string>"]);
    writeApp(home, "Tidy", [bundleId("com.macpaw.tidy"), category("utilities")]);
  },
  body: async ({ home, state, env, page, shows, run }) => {
    run(["prep-drive", "--yes"]);
    const row = (name) => page.locator("#apps tbody tr", { hasText: name });
    await page.getByRole("link", { name: "Apps" }).click();
    await row("Tidy").waitFor({ timeout: 60000 });

    // The category filter narrows the list to that category's apps.
    await page.getByLabel("Filter by category").selectOption({ label: "Graphics & Design" });
    await row("Notes Helper").waitFor({ state: "detached" });
    assert.deepEqual(await page.locator("#apps tbody tr td:first-child").allTextContents(), ["Sketch Pad"]);
    await page.getByLabel("Filter by category").selectOption("");
    await row("Notes Helper").waitFor();

    // The inspection of an app lists the permissions it declares.
    await page.getByRole("button", { name: "Inspect Sketch Pad" }).click();
    await shows("#inspection-title", "What the inspection of “Sketch Pad” found");
    await shows("#inspection-permissions li", "Camera (asked for in its Info.plist)");

    // A blocked app offers no move, and says why; the tiers are explained.
    assert.equal(await row("Tidy").getByRole("button", { name: /Move/ }).count(), 0);
    await row("Tidy").filter({ hasText: "Can’t be moved (see Why)" }).waitFor();
    await row("Tidy").filter({ hasText: "Setapp manages this app's lifecycle" }).waitFor();
    await shows("#tiers dd", "We can't move this app safely.");

    // A risky app asks its own confirmation, stating its risk; cancelled, nothing moves.
    assert.equal(await row("Feed Reader").getByRole("button", { name: "Move Feed Reader", exact: true }).count(), 0);
    await page.getByRole("button", { name: "Override → Move Feed Reader" }).click();
    const dialog = page.getByRole("dialog");
    await dialog.filter({ hasText: "Moving “Feed Reader” has a known risk: Uses a custom Sparkle-style updater" }).waitFor();
    await page.keyboard.press("Escape");
    await page.waitForTimeout(500);
    assert.ok(atHome(home, "Feed Reader"), "cancelled, yet the app moved");
    // From the keyboard: the confirmation opens on Cancel, the safe answer.
    await page.getByRole("button", { name: "Override → Move Feed Reader" }).focus();
    await page.keyboard.press("Enter");
    assert.equal(await page.evaluate(() => document.activeElement.id), "confirm-cancel");
    await page.keyboard.press("Shift+Tab");
    await page.keyboard.press("Enter");
    await waitFor("Feed Reader on the drive", () => onDrive(home, "Feed Reader"));
    await row("Feed Reader").getByRole("button", { name: "Move back Feed Reader" }).waitFor();

    // The Offloaded tab offers offloading with its own sentence, then restores.
    await page.getByLabel("Show").selectOption("offloaded");
    await page.getByLabel("App to offload").selectOption({ label: "Notes Helper" });
    await shows("#offload-what", "“Notes Helper” and its data move to your fast drive. It won't be usable until you restore it (Offloaded tab). Nothing is deleted — Restore copies it all back.");
    await page.getByRole("button", { name: "Offload", exact: true }).click();
    const notesBundle = path.join(home, "Applications", "Notes Helper.app");
    await waitFor("Notes Helper offloaded", () => !existsSync(notesBundle));
    const records = readdirSync(path.join(state, "offloads")).filter((f) => f.endsWith(".json"));
    assert.equal(records.length, 1);
    const record = JSON.parse(readFileSync(path.join(state, "offloads", records[0]), "utf8"));
    assert.ok(record.archiveDir.startsWith(drive + "/"), record.archiveDir);
    assert.ok(existsSync(path.join(record.archiveDir, "offload.json")), "the archive describes itself");
    const offloadedRow = page.locator("#offloaded tbody tr", { hasText: "Notes Helper" });
    await offloadedRow.waitFor();
    await offloadedRow.getByRole("button", { name: "Restore Notes Helper" }).click();
    await waitFor("Notes Helper restored", () => atHome(home, "Notes Helper"));
    await shows("#offloaded-empty", "No apps are offloaded.");

    // A move by the command line in another process: the open page hears of its end
    // within 250 ms of the command's exit and lists the app as moved.
    await page.getByLabel("Show").selectOption("moved");
    await row("Feed Reader").waitFor();
    await page.evaluate(() => {
      window.movedAt = null;
      const source = new EventSource("/api/events");
      source.addEventListener("Brimvale.AppRelocatorEngineDidCompleteMove", (event) => {
        if (JSON.parse(event.data).success) window.movedAt = Date.now();
      });
      return new Promise((resolve) => source.addEventListener("open", resolve));
    });
    await page.waitForTimeout(300);  // the watch's first look only takes its baseline
    const sketch = spawnSync(brimvale, ["apps", "move", "Sketch Pad", "--yes"], { env, encoding: "utf8" });
    const exitedAt = Date.now();
    assert.equal(sketch.status, 0, sketch.stdout + sketch.stderr);
    assert.ok(onDrive(home, "Sketch Pad"));
    await page.waitForFunction(() => window.movedAt !== null, null, { timeout: 5000 });
    const lag = (await page.evaluate(() => window.movedAt)) - exitedAt;
    assert.ok(lag <= 250, `the page heard of the move ${lag} ms after the command ended`);
    await row("Sketch Pad").waitFor({ timeout: 5000 });

    // An installer puts Sketch Pad back asking for a new permission: the sweep holds it for
    // review, the page shows the review, and approving it moves the new install to the drive.
    rmSync(path.join(home, "Applications", "Sketch Pad.app"));
    writeApp(home, "Sketch Pad", [bundleId("org.example.sketch"), category("graphics-design"), camera, microphone]);
    const sweep = spawnSync(brimvale, ["apps", "reinstalls", "--sweep"], { env, encoding: "utf8" });
    assert.equal(sweep.status, 0, sweep.stdout + sweep.stderr);
    assert.ok(atHome(home, "Sketch Pad"), "moved before the review");
    await page.reload();
    const review = page.locator("#reviews li", { hasText: "Sketch Pad needs permission review" });
    await review.filter({ hasText: "The new install requests permissions it didn't ask for before (Microphone). Open Brimvale to review and approve." }).waitFor();
    await review.filter({ hasText: "Permissions now: Camera, Microphone" }).waitFor();
    await review.getByRole("button", { name: "Approve the new permissions of Sketch Pad and move it to the fast drive" }).click();
    await waitFor("the approved install on the drive", () => onDrive(home, "Sketch Pad"));
    await shows("#reviews-empty", "No reinstalled app is waiting for a permission review.");

    // At 200% zoom (640 CSS pixels) the full list still fits without scrolling sideways.
    await page.setViewportSize({ width: 640, height: 800 });
    await page.getByLabel("Show").selectOption("all");
    await row("Tidy").waitFor();
    const overflow = await page.evaluate(() =>
      document.documentElement.scrollWidth - document.documentElement.clientWidth);
    assert.ok(overflow <= 1, `the apps page scrolls sideways by ${overflow}px at 200%`);
    await page.screenshot({ path: path.join(screenshots, "apps_page-200.png"), fullPage: true });
  },
});
