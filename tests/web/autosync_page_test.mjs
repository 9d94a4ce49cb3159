// The auto-sync and schedules page in a real browser against the real `brimvale run`: a folder
// refused in words, a watched folder added (its policy file on disk), changed, switched off, scanned now
// (files on the drive behind links, totals and last run shown), a file that cannot be copied
// shown in words with its failure record, then copied once the blocker is gone, switched on
// and no longer watched; and a transfer's schedule set with its next run, then removed (the
// transfer list on disk checked each time).
import {
  mkdirSync, writeFileSync, readFileSync, readdirSync, existsSync, rmSync, utimesSync,
  lstatSync,
} from "node:fs";
import path from "node:path";
import assert from "node:assert/strict";
import { dashboardTest, writeFiles, assertWhole, drive } from "./harness.mjs";

const settled = { "report.pdf": 9000, "2026/scan.png": 40000 };
const blocked = { "blocked/late.txt": 12 };

function policies(state) {
  const folder = path.join(state, "auto-sync");
  if (!existsSync(folder)) return [];
  return readdirSync(folder).filter((name) => name.endsWith(".json"))
    .map((name) => JSON.parse(readFileSync(path.join(folder, name), "utf8")));
}

function failures(state) {
  const file = path.join(state, "autosync-failures.json");
  return existsSync(file) ? JSON.parse(readFileSync(file, "utf8")) : {};
}

dashboardTest({
  name: "autosync_page",
  prepare: ({ home, run }) => {
    // Written just now: the minute timer leaves them until they have settled.
    writeFiles(path.join(home, "Inbox"), { ...settled, ...blocked, "draft.tmp": 5 });
    mkdirSync(path.join(home, "Documents"), { recursive: true });
    writeFiles(path.join(home, "Outbox"), { "letter.txt": 20 });
    run(["transfers", "new", path.join(home, "Outbox"), path.join(home, "Copied")]);
  },
  body: async ({ home, state, page, shows, run }) => {
    const inbox = path.join(home, "Inbox");
    const jobsFile = path.join(home, ".brimvale", "sync", "jobs.json");
    run(["prep-drive", drive, "--auto"]);
    const working = path.join(drive, readdirSync(drive).find((name) => name.startsWith("BRIM-")));

    await page.getByRole("link", { name: "Auto-sync" }).click();
    await shows("#autosync-subtitle",
      "Watches your chosen folders and copies new files to your fast drive automatically.");
    await shows("#policies-empty", "No folder is watched yet.");
    await shows("#ledger-when", "Checks every minute. It has not run yet.");

    // A whole top-level folder of the home is refused, in words, and nothing is stored; the
    // destination is suggested inside the drive's folder.
    const destination = page.getByLabel("Folder on your fast drive that receives its files (full path)");
    await page.getByLabel("Folder to watch (full path)").fill(path.join(home, "Documents"));
    await page.keyboard.press("Tab");
    assert.equal(await destination.inputValue(), path.join(working, "Documents"));
    await page.getByRole("button", { name: "Watch this folder" }).click();
    await shows("#policies-problem", /^Brimvale won't watch .*Nothing was changed\.$/);
    assert.deepEqual(policies(state), []);

    await page.getByLabel("Folder to watch (full path)").fill(inbox);
    await page.keyboard.press("Tab");
    assert.equal(await destination.inputValue(), path.join(working, "Inbox"));
    await page.getByRole("button", { name: "Watch this folder" }).click();
    await shows("#policies-done", `Watching ${inbox}`);
    assert.equal(await page.locator("#policies-problem").isHidden(), true);
    let [policy] = policies(state);
    assert.equal(policy.internalPath, inbox);
    assert.equal(policy.nvmeDestParent, path.join(working, "Inbox"));
    assert.equal(policy.enabled, true);

    // Changed: names ending .tmp are left where they are from now on.
    await page.getByRole("button", { name: `Change the watch on ${inbox}` }).click();
    await page.getByLabel("Names to leave where they are (patterns separated by spaces)").fill("*.tmp");
    await page.getByRole("button", { name: "Save the changes" }).click();
    await shows("#policies-done", "leaving out *.tmp.");
    assert.deepEqual(policies(state)[0].excludePatterns, ["*.tmp"]);
    assert.equal(policies(state)[0].id, policy.id);

    // Off: the minute timer leaves it alone, and a scan now still runs it.
    await page.getByRole("button", { name: `Switch off auto-sync of ${inbox}` }).click();
    await shows("#policies-done", `Auto-sync of ${inbox} is off`);
    assert.equal(policies(state)[0].enabled, false);

    // The files settle; a file where a folder must go blocks one of them.
    const hourAgo = new Date(Date.now() - 3600 * 1000);
    for (const name of [...Object.keys({ ...settled, ...blocked }), "draft.tmp"]) {
      utimesSync(path.join(inbox, name), hourAgo, hourAgo);
    }
    mkdirSync(path.join(working, "Inbox"), { recursive: true });
    writeFileSync(path.join(working, "Inbox", "blocked"), "in the way");
    await page.getByRole("button", { name: `Scan now: ${inbox}` }).click();
    await shows("#scan-result", "The scan did not move everything", 120000);
    await shows("#scan-lines li", "failing to copy 1 file. Your originals are untouched");
    await shows("#scan-lines li", "Moved 2 files to your fast drive");
    assertWhole(inbox, settled, true);
    assert.ok(lstatSync(path.join(inbox, "blocked", "late.txt")).isFile());
    assert.equal(failures(state)[path.join(inbox, "blocked", "late.txt")].count, 1);
    const card = page.locator("#policies li", { hasText: inbox }).first();
    await card.locator("li", { hasText: "blocked/late.txt could not be copied 1 time in a row" })
      .waitFor();
    await card.locator("dd", { hasText: "2 files" }).waitFor();
    assert.match(await card.innerText(), /Last scan\s+\d{4}-\d\d-\d\d \d\d:\d\d/);
    await shows("#ledger-summary", "Queued 2 new files to copy to your fast drive, failing to copy 1 file.");

    // The blocker gone, the next scan copies the file and clears its record.
    rmSync(path.join(working, "Inbox", "blocked"));
    await page.getByRole("button", { name: `Scan now: ${inbox}` }).click();
    await shows("#scan-result", "The scan is done.", 120000);
    assertWhole(inbox, { ...settled, ...blocked }, true);
    assertWhole(inbox, { "draft.tmp": 5 }, false);
    assert.equal(failures(state)[path.join(inbox, "blocked", "late.txt")], undefined);
    await card.locator("p", { hasText: "No file has failed to copy." }).waitFor();
    await card.locator("dd", { hasText: "3 files" }).waitFor();
    policy = policies(state)[0];
    assert.equal(policy.totalFilesMoved, 3);
    assert.ok(policy.lastScanAt && policy.lastMoveAt);

    await page.getByRole("button", { name: `Switch on auto-sync of ${inbox}` }).click();
    await shows("#policies-done", `Auto-sync of ${inbox} is on`);
    assert.equal(policies(state)[0].enabled, true);
    await page.getByRole("button", { name: `Stop watching ${inbox}` }).click();
    await shows("#policies-done", `Stopped watching ${inbox}`);
    await shows("#policies-empty", "No folder is watched yet.");
    assert.deepEqual(policies(state), []);
    assertWhole(inbox, { ...settled, ...blocked }, true);

    // Schedules: the transfer starts manual only; a daily run is set with its next run shown
    // and stored, then removed.
    const copy = path.join(home, "Copied");
    const scheduled = () => JSON.parse(readFileSync(jobsFile, "utf8"))[0].schedule;
    const transfer = page.locator("#schedules li", { hasText: copy });
    await transfer.locator("p", { hasText: "Manual only. This transfer will only run when you trigger it manually." })
      .waitFor();
    await shows("#schedule-next", /^Next run: \d{4}-\d\d-\d\d \d\d:\d\d$/);
    await page.getByLabel("Repeat").selectOption({ label: "Every month on" });
    await shows("#schedule-help",
      "Months without that day-of-month (e.g. day 31 in February) fire on the last day of the month.");
    await page.getByLabel("Repeat").selectOption({ label: "Every day at" });
    await page.getByLabel("Time").fill("04:30");
    await shows("#schedule-next", /^Next run: \d{4}-\d\d-\d\d 04:30$/);
    await page.getByRole("button", { name: "Save the schedule" }).click();
    await shows("#schedules-done", "now runs: Every day at 04:30. Next run: ");
    await transfer.locator("p", { hasText: /^Every day at 04:30\. Next run: \d{4}-\d\d-\d\d 04:30\.$/ })
      .waitFor();
    assert.deepEqual([scheduled().kind, scheduled().hour, scheduled().minute], ["daily", 4, 30]);

    await page.getByRole("button", { name: `Remove the schedule of the transfer to ${copy}` }).click();
    await shows("#schedules-done", "Manual only. This transfer will only run when you trigger it manually.");
    await transfer.locator("p", { hasText: "Manual only." }).waitFor();
    assert.equal(scheduled(), undefined);
  },
});
