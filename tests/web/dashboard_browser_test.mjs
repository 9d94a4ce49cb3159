// The dashboard end to end in a real headless browser against the real `brimvale run`: the
// one-time sign-in, the clean-up run from the keyboard, the history chart, the storage scan,
// folder moves onto a tmpfs drive (moved back, and a slow one cancelled), rules, activity, the
// apps catalogue, transfers (a local copy, and a backup and transfer to a second drive driven
// from the page), the scrap board, preferences, and every page at 200% zoom (photographed
// into SCREENSHOTS). Each window's own actions have a test file of their own beside this one.
import { spawnSync } from "node:child_process";
import {
  mkdtempSync, mkdirSync, writeFileSync, readFileSync, existsSync, rmSync, readdirSync, lstatSync,
} from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";
import assert from "node:assert/strict";
import { dashboardTest, writeFiles, assertWhole, drive, brimvale, screenshots } from "./harness.mjs";

const historyRows = 72;
const movedFiles = { "one.raw": 300_000, "two.raw": 700_000, "sub/three.txt": 12 };
// Big enough that a copy at 2 MB/s is still running when the page stops it.
const slowFiles = { "take 1.mov": 12_000_000, "notes.txt": 40 };
const backupDrive = "/Volumes/Backup";

function prepareHome({ home, state }) {
  // Hourly rows ending in the current hour, so the application adds none of its own.
  const hour = Math.floor(Date.now() / 3600000) * 3600;
  const rows = [];
  for (let i = historyRows - 1; i >= 0; --i) {
    const at = new Date((hour - i * 3600) * 1000).toISOString().replace(/\.\d{3}Z$/, "Z");
    rows.push(JSON.stringify({ ts: at, internal_free_gb: 100 + (i % 12), internal_total_gb: 500 }));
  }
  writeFileSync(path.join(state, "history.ndjson"), rows.join("\n") + "\n");
  // Something for the clean-up to find: an old cache file.
  writeFiles(path.join(home, ".cache", "old-tool"), { "blob.bin": 2_000_000 });
  // A folder to move, written just now.
  writeFiles(path.join(home, "Projects", "Photo library"), movedFiles);
  // An app in the user's own Applications folder for the catalogue.
  const contents = path.join(home, "Applications", "Notes Helper.app", "Contents");
  mkdirSync(path.join(contents, "MacOS"), { recursive: true });
  writeFileSync(path.join(contents, "Info.plist"), `<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleName</key><string>Notes Helper</string>
<key>CFBundleIdentifier</key><string>org.example.noteshelper</string>
<key>CFBundleExecutable</key><string>Notes Helper</string>
</dict></plist>
`);
  writeFileSync(path.join(contents, "MacOS", "Notes Helper"), Buffer.alloc(50_000, 1));
  writeFiles(path.join(home, "Projects", "Footage"), slowFiles);
  // Folders the storage scan measures, of known sizes.
  writeFiles(home, { "Videos/file.bin": 3_000_000, "Documents/file.bin": 1_000_000 });
}

// Types a folder into the moves page, checks it and starts its move.
async function startMove(current, folder) {
  await current.getByLabel("Folder to move (its full path)").fill(folder);
  await current.getByRole("button", { name: "Check the folder" }).click();
  await current.locator("#findings li").first().waitFor();
  await current.getByRole("button", { name: "Move it" }).click();
}

await dashboardTest({
  name: "dashboard",
  drives: { [drive]: "size=64m", [backupDrive]: "size=64m" },
  systemApps: true,
  prepare: prepareHome,
  body: async ({ home, env, origin, browser, context, page, shows, signedInWith }) => {
  const movedFolder = path.join(home, "Projects", "Photo library");
  const slowFolder = path.join(home, "Projects", "Footage");
  // Without signing in nothing is shown.
  const stranger = await browser.newContext();
  const refused = await (await stranger.newPage()).goto(origin + "/");
  assert.equal(refused.status(), 401);
  await stranger.close();

  // Signed in through the one-time page; the same page a second time is refused.
  await page.locator("#headline").filter({ hasNotText: "Checking" }).waitFor();
  assert.match(await page.locator("#plan").textContent(), /\.$/);
  assert.match(await page.locator("#trend").textContent(), /\.$/);
  const replay = await browser.newContext();
  const replayPage = await replay.newPage();
  await replayPage.goto("file://" + signedInWith);
  await replayPage.waitForURL(origin + "/session");
  assert.match(await replayPage.locator("body").textContent(), /already used/);
  await replay.close();

  // The clean-up from the keyboard: the skip link comes first, the button is reachable.
  await page.keyboard.press("Tab");
  assert.equal(await page.evaluate(() => document.activeElement.textContent), "Skip to the page");
  for (let i = 0; i < 20 && !(await page.evaluate(() => document.activeElement.id === "care-run")); ++i) {
    await page.keyboard.press("Tab");
  }
  await page.keyboard.press("Enter");
  await page.locator("#care-steps li", { hasText: "Tidying large folders and clearing caches…" }).waitFor();
  await shows("#care-summary", "Zozad Evev", 180000);
  const summary = await page.locator("#care-summary").textContent();
  assert.match(summary, /^Zozad Evev (freed about .* and tidied things up\.|finished — your \S+ was already nice and tidy\.)/);
  assert.match(summary, /cleared caches and rarely-used files/);
  assert.ok(await page.locator("#care-run").isEnabled());

  // The chart holds a point for every prepared row.
  await page.getByRole("link", { name: "Storage" }).click();
  await page.locator("#history-chart svg polyline").waitFor();
  const points = (await page.locator("#history-chart svg polyline").first().getAttribute("points")).split(" ");
  assert.ok(points.length >= historyRows && points.length <= historyRows + 2,
    `the chart has ${points.length} points for ${historyRows} rows`);
  assert.match(await page.locator("#history-caption").textContent(), /^Free space from /);
  await shows("#internal-free", "GB");
  // What a clean-up could clear, step by step, sized by the service's scan.
  await page.locator("#clear-steps li", { hasText: "clearing caches" }).waitFor();
  assert.match(await page.locator("#clear-summary").textContent(), /\.$/);
  // The folders' sizes: a bar per measured folder, largest first, as they come.
  await page.getByRole("button", { name: "Measure the folders" }).click();
  await shows("#scan-status", /^Measured \d+ folders/, 120000);
  const probed = Number((await page.locator("#scan-status").textContent()).match(/\d+/)[0]);
  assert.equal(await page.locator("#scan-bars li").count(), probed);
  assert.match(await page.locator("#scan-bars li").first().textContent(), /^Videos folder: 3\.0 MB/);
  await page.locator("#scan-bars li", { hasText: "Documents folder: 1.0 MB" }).waitFor();
  assert.ok(await page.getByRole("button", { name: "Measure the folders" }).isEnabled());

  // A folder outside the home folder is refused before anything runs.
  await page.getByRole("link", { name: "Moves" }).click();
  // A temporary folder beside the home folder stands in for a system folder.
  const outside = mkdtempSync(path.join(tmpdir(), "brimvale-web-outside-"));
  writeFileSync(path.join(outside, "kept.txt"), "must stay");
  await page.getByLabel("Folder to move (its full path)").fill(outside);
  await page.getByRole("button", { name: "Check the folder" }).click();
  await shows("#move-problem", "Nothing was changed.");
  assert.ok(await page.getByRole("button", { name: "Move it" }).isDisabled());
  assert.equal(readFileSync(path.join(outside, "kept.txt"), "utf8"), "must stay");
  rmSync(outside, { recursive: true, force: true });

  // The checks first, then the move, its progress lines and the list.
  await startMove(page, movedFolder);
  await shows("#move-result", "The move is done.", 180000);
  assert.ok(await page.locator("#progress li").count() > 0);
  await page.locator("#move-list tbody td", { hasText: "Done" }).first().waitFor();
  // On disk: every file now lives on the drive, reached through links left
  // in its old place, every byte of it there.
  assertWhole(movedFolder, movedFiles, true);
  // The folder is listed as relocated; moving it back from the page brings
  // every file home as itself, no longer a link.
  const row = page.locator("#relocated-list tbody tr", { hasText: movedFolder });
  await row.waitFor();
  assert.match(await row.textContent(), /ok/i);
  await page.getByRole("button", { name: "Move Photo library back" }).focus();
  await page.keyboard.press("Enter");
  await page.getByRole("button", { name: "Move back", exact: true }).click();
  await shows("#relocated-result", "The folder is back home.", 180000);
  await shows("#relocated-empty", "No relocated folders.");
  assertWhole(movedFolder, movedFiles, false);

  // A slow move cancelled from the page once its copy is under way: the
  // folder stays where it was, every byte of it, and nothing is a link.
  await startMove(page, slowFolder);
  await page.locator("#move-list tbody tr", { hasText: "Footage" })
    .filter({ hasText: /Copying/ }).waitFor({ timeout: 120000 });
  await page.getByRole("button", { name: "Cancel the move" }).click();
  await shows("#move-result", "The move did not finish", 120000);
  assert.ok(!lstatSync(slowFolder).isSymbolicLink(), "the cancelled folder became a link");
  const workingFolder = readdirSync(drive).find((name) => name.startsWith("BRIM-"));
  assert.ok(!existsSync(path.join(drive, workingFolder, "Relocated", "Footage")),
    "the partial copy was left on the drive");
  assertWhole(slowFolder, slowFiles, false);

  // Rules: an added rule lands in the configuration file beside the other
  // settings and shows again after a reload; one outside the home folder is refused.
  const config = path.join(home, ".brimvale", "brim-vale.conf");
  const downloads = path.join(home, "Downloads");
  mkdirSync(downloads, { recursive: true });
  await page.getByRole("link", { name: "Rules" }).click();
  await page.getByLabel("Action").selectOption({ label: "Move (by age)" });
  const notHome = mkdtempSync(path.join(tmpdir(), "brimvale-web-rule-"));
  await page.getByLabel("Folder it applies to (full path)").fill(notHome);
  await page.getByRole("button", { name: "Add the rule" }).click();
  await shows("#rules-problem", "Nothing was changed.");
  assert.doesNotMatch(readFileSync(config, "utf8"), /archive_old/);
  rmSync(notHome, { recursive: true, force: true });
  await page.getByLabel("Folder it applies to (full path)").fill(downloads);
  await page.getByLabel("Older than this many days").fill("45");
  await page.getByRole("button", { name: "Add the rule" }).click();
  await shows("#rules-saved", "Rule added and saved.");
  const saved = readFileSync(config, "utf8");
  assert.match(saved, /archive_old \| \$HOME\/Downloads \| .*\| 45/);
  assert.match(saved, /^LOW_SPACE_WARN_GB=40$/m);
  await page.reload();
  await page.locator("#rules tbody td", { hasText: downloads }).waitFor();
  await page.getByRole("button", { name: /^Remove rule 1: Move \(by age\)/ }).click();
  await shows("#rules-saved", "Rule removed.");
  assert.doesNotMatch(readFileSync(config, "utf8"), /archive_old/);

  // Activity: the clean-up is in the ledger, and the move in the mover's log.
  await page.getByRole("link", { name: "Activity" }).click();
  await page.locator("#jobs tbody td", { hasText: /^Freed / }).first().waitFor();
  await page.locator("#move-log li", { hasText: "Photo library" }).first().waitFor();

  // Apps: the catalogue shows the app with its tier badge and reason; the
  // filter row is reachable from the keyboard and a location narrows the list.
  await page.getByRole("link", { name: "Apps" }).click();
  const appRow = page.locator("#apps tbody tr", { hasText: "Notes Helper" });
  await appRow.waitFor({ timeout: 60000 });
  const cells = await appRow.locator("td").allTextContents();
  assert.match(cells[1], /\S/, "a tier badge");
  assert.match(cells[4], /\S/, "a reason");
  await page.getByLabel("Unused for at least this many days (0: any)").focus();
  await page.keyboard.press("Tab");
  await page.keyboard.press("Tab");
  assert.equal(await page.evaluate(() => document.activeElement.id), "apps-show");
  await page.getByLabel("Show").selectOption("moved");
  await shows("#apps-empty", "No apps to show.");
  // Moved from the command line while the page is open: the page hears of
  // it from the move's record and lists the app as moved.
  const bundle = path.join(home, "Applications", "Notes Helper.app");
  const moved = spawnSync(brimvale, ["apps", "move", bundle, "--yes"], { env, encoding: "utf8" });
  assert.equal(moved.status, 0, moved.stdout + moved.stderr);
  await page.locator("#elsewhere li", { hasText: "Notes Helper: done" }).waitFor({ timeout: 60000 });
  await page.locator("#apps tbody tr", { hasText: "Notes Helper" }).waitFor();

  // Transfers: a local copy started from the page shows its lines, reaches
  // done, lands every byte, and is listed; the remotes list answers.
  const copyFrom = path.join(home, "Outbox");
  const copyTo = path.join(home, "Copied");
  mkdirSync(copyFrom, { recursive: true });
  writeFileSync(path.join(copyFrom, "letter.txt"), "Dear drive,\n");
  await page.getByRole("link", { name: "Transfers" }).click();
  await shows("#jobs-empty", "No transfers yet.");
  await page.getByLabel("Source", { exact: true }).fill(copyFrom);
  await page.getByLabel("Destination", { exact: true }).fill(copyTo);
  await page.getByLabel("Schedule").focus();
  await page.keyboard.press("Tab");
  assert.equal(await page.evaluate(() => document.activeElement.id), "transfer-start");
  await page.keyboard.press("Enter");
  await shows("#transfer-result", /^The transfer (is done|did not finish)/, 180000);
  assert.equal(await page.locator("#transfer-result").textContent(), "The transfer is done.",
    await page.locator("#transfer-problem").textContent());
  assert.equal(readFileSync(path.join(copyTo, "letter.txt"), "utf8"), "Dear drive,\n");
  await page.locator("#transfer-jobs tbody td", { hasText: "Done" }).first().waitFor();
  await page.locator("#remotes li, #remotes-problem:not([hidden])").first().waitFor();

  // A backup of the whole working folder to a second drive: checked, started,
  // its status line live, then stopped from the page; the current drive
  // keeps every byte and the half copy is gone.
  const working = readdirSync(drive).find((name) => name.startsWith("BRIM-"));
  assert.ok(working, "the moves made a working folder on the drive");
  const big = path.join(drive, working, "Backup test", "big.bin");
  mkdirSync(path.dirname(big), { recursive: true });
  writeFileSync(big, Buffer.alloc(16_000_000, 5));
  await shows("#drive-line", "No drive transfer is under way.");
  await page.getByLabel("Drive to copy to (the folder it is mounted at)").fill(backupDrive);
  await page.getByLabel("What to do").selectOption("backup");
  await page.getByRole("button", { name: "Check the drive" }).click();
  await page.locator("#drive-verdict li", { hasText: "can take everything" }).waitFor({ timeout: 120000 });
  await page.getByRole("button", { name: "Start copying" }).click();
  await shows("#drive-line", "Backing up…", 120000);
  await shows("#drive-figures", /^\d+% — \d+\.\d [KM]B of 16\.\d MB/, 120000);
  // Paused and resumed from the page; each shows in the status line.
  await page.getByRole("button", { name: "Pause" }).click();
  await shows("#drive-line", /^Paused$/, 60000);
  assert.ok(await page.getByRole("button", { name: "Resume" }).isEnabled());
  await page.getByRole("button", { name: "Resume" }).click();
  await shows("#drive-line", "Backing up…", 60000);
  page.once("dialog", (dialog) => dialog.accept());
  await page.getByRole("button", { name: "Stop and cancel" }).click();
  await shows("#drive-line", "Couldn't finish", 120000);
  assert.equal(await page.locator("#drive-result").textContent(),
    "Transfer cancelled. Your current drive is unchanged. The transfer didn't finish.");
  assert.deepEqual(readFileSync(big), Buffer.alloc(16_000_000, 5));
  assert.ok(!existsSync(path.join(backupDrive, working)), "the half copy was left behind");
  assert.ok(await page.getByRole("button", { name: "Start copying" }).isEnabled());

  // A transfer runs to its end: copied, checked, and the application
  // switches over to the new drive; the old drive keeps everything.
  await page.getByLabel("What to do").selectOption("transfer");
  await page.getByRole("button", { name: "Start copying" }).click();
  await shows("#drive-line", "Copying to the new drive…", 120000);
  await shows("#drive-result", /Moved everything to the new drive and switched over\.|The switch couldn't be completed/, 240000);
  assert.equal(await page.locator("#drive-result").textContent(),
    "Moved everything to the new drive and switched over.");
  assert.equal(await page.locator("#drive-line").textContent(), "");
  assert.match(readFileSync(path.join(home, ".brimvale", "brim-vale.conf"), "utf8"),
    /^NVMe="?\/Volumes\/Backup"?$/m);
  assert.deepEqual(readFileSync(path.join(backupDrive, working, "Backup test", "big.bin")),
    Buffer.alloc(16_000_000, 5));
  assert.deepEqual(readFileSync(big), Buffer.alloc(16_000_000, 5));

  // The scrap board: a note typed from the keyboard lands on the board, a
  // filter narrows it, pinning says so in words, and clearing asks first.
  await page.getByRole("link", { name: "Rade Diriv" }).click();
  await shows("#junk-count", "0 scraps on the board");
  await page.getByLabel("Text or note").focus();
  await page.keyboard.type("Invoice 42 for the boat");
  await page.keyboard.press("Tab");
  assert.equal(await page.evaluate(() => document.activeElement.id), "add-note");
  await page.keyboard.press("Enter");
  await shows("#junk-count", "1 scrap on the board");
  await page.locator("#scraps li", { hasText: "Invoice 42 for the boat" }).waitFor();
  await page.getByLabel("Show").selectOption("media");
  await shows("#junk-count", "0 scraps on the board");
  await page.getByLabel("Show").selectOption("notes");
  await shows("#junk-count", "1 scrap on the board");
  await page.getByRole("button", { name: /^Pin / }).click();
  await page.locator("#scraps li", { hasText: "Pinned: Invoice 42" }).waitFor();
  await page.getByLabel("Search").fill("invoice");
  await page.getByRole("button", { name: "Search" }).click();
  await shows("#junk-count", "1 scrap found for “invoice”");
  await page.getByLabel("Search").fill("");
  await page.getByRole("button", { name: "Clear all…" }).click();
  assert.equal(await page.locator("#clear-question").textContent(), "Clear everything on the Rade Diriv?");
  await page.getByRole("button", { name: "Keep everything" }).click();
  await page.getByRole("button", { name: "Clear all…" }).click();
  await page.getByRole("button", { name: "Clear all Junk" }).click();
  await shows("#junk-result", "Cleared 1 scrap from the board.");
  await shows("#junk-count", "0 scraps on the board");

  // Preferences: a value the setting can't take is refused and nothing is
  // written; a good one lands in the configuration file.
  await page.getByRole("link", { name: "Preferences" }).click();
  await page.getByLabel("space.warn-gb", { exact: true }).fill("lots");
  await page.getByRole("button", { name: "Save space.warn-gb" }).click();
  await shows("#settings-problem", ".");
  assert.match(readFileSync(config, "utf8"), /^LOW_SPACE_WARN_GB=40$/m);
  await page.getByLabel("space.warn-gb", { exact: true }).fill("55");
  await page.getByRole("button", { name: "Save space.warn-gb" }).click();
  await shows("#settings-saved", "space.warn-gb is now 55.");
  assert.match(readFileSync(config, "utf8"), /^LOW_SPACE_WARN_GB=55$/m);
  // An exclude is added and removed from the same page; a relative folder is refused.
  await page.getByLabel("Exclude", { exact: true }).fill("Projects/keep");
  await page.getByRole("button", { name: "Add", exact: true }).click();
  await shows("#excludes-problem", "nothing was changed.");
  await page.getByLabel("Exclude", { exact: true }).fill("*.iso");
  await page.getByRole("button", { name: "Add", exact: true }).click();
  await shows("#excludes-saved", "Added \"*.iso\" to your excludes.");
  assert.match(readFileSync(config, "utf8"), /^EXCLUDES=\( '\*\.iso' \)$/m);
  await page.getByRole("button", { name: "Remove *.iso from the excludes" }).click();
  await shows("#excludes-saved", "Removed \"*.iso\" from your excludes.");
  assert.match(readFileSync(config, "utf8"), /^EXCLUDES=\(\)$/m);

  // At 200% zoom a 1280-pixel window is 640 CSS pixels wide: every page still fits.
  const zoomed = await browser.newContext({ viewport: { width: 640, height: 800 }, deviceScaleFactor: 2 });
  await zoomed.addCookies(await context.cookies());
  const zoomedPage = await zoomed.newPage();
  const pages = ["home", "storage", "moves", "transfers", "autosync", "rules", "activity", "junk", "preferences"];
  for (const name of [...pages, "apps"]) {
    await zoomedPage.goto(`${origin}/${name}.html`);
    await zoomedPage.locator("h1").waitFor();
    await zoomedPage.waitForTimeout(1500);  // the page's own requests, for the screenshot
    const overflow = await zoomedPage.evaluate(() =>
      document.documentElement.scrollWidth - document.documentElement.clientWidth);
    assert.ok(overflow <= 1, `${name} scrolls sideways by ${overflow}px at 200%`);
    await zoomedPage.screenshot({ path: path.join(screenshots, `${name}-200.png`), fullPage: true });
  }
  await zoomed.close();
  },
});
