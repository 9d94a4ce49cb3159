// The relocated folders on the moves page: relocations made by the command line in another process
// appear on the open page, a copy deleted by hand shows its state with no move back and is cleared
// away from the page, and a move back shows what it meets (the watcher it turns off, the files
// written at home since) and brings the folder home with the overwrite choice taken.
import { spawn } from "node:child_process";
import { readFileSync, readdirSync, rmSync, writeFileSync, existsSync } from "node:fs";
import path from "node:path";
import assert from "node:assert/strict";
import { dashboardTest, drive, writeFiles, assertWhole } from "./harness.mjs";

const albumFiles = { "a.jpg": 3000, "notes.txt": 200, "sub/b.jpg": 2000 };
const overwriteChoice = "Skip the apps-in-use check and always overwrite internal-side files with " +
  "the NVMe copy on conflict. The folder tree is still merged — files on internal that aren't on " +
  "NVMe are kept.";

await dashboardTest({
  name: "relocated",
  prepare: ({ home }) => {
    writeFiles(path.join(home, "Projects", "Album"), albumFiles);
    writeFiles(path.join(home, "Projects", "Gone"), { "x.bin": 1000 });
  },
  body: async ({ home, state, origin, page, shows, run }) => {
    const album = path.join(home, "Projects", "Album");
    const gone = path.join(home, "Projects", "Gone");
    await page.goto(origin + "/moves.html");
    await shows("#relocated-empty", "No relocated folders.");
    await page.evaluate(() => {
      const status = document.getElementById("relocated-refreshing");
      new MutationObserver(() => {
        if (status.textContent.startsWith("Refreshing")) window.sawRefreshing = true;
      }).observe(status, { childList: true, characterData: true, subtree: true });
    });

    // Relocated by the command line beside the page: the open page follows, refreshing as it does.
    run(["move", album, "--yes"]);
    run(["move", gone, "--yes"]);
    const row = (folder) => page.locator("#relocated-list tbody tr", { hasText: folder });
    await row(album).waitFor({ timeout: 30000 });
    await row(gone).waitFor({ timeout: 30000 });
    assert.ok(await page.evaluate(() => window.sawRefreshing), "the refreshing state never showed");

    // A copy deleted by hand shows, unasked, its state and no move back; deleting it clears away
    // the dangling links.
    const items = JSON.parse(run(["relocated", "--json"])).items;
    rmSync(items.find((i) => i.source === gone).copy, { recursive: true });
    await row(gone).filter({ hasText: "Data missing on NVMe — can't move back." }).waitFor();
    assert.match(await row(gone).textContent(), /Move back unavailable for this item\./);
    assert.equal(await page.getByRole("button", { name: "Move Gone back" }).count(), 0);
    await page.getByRole("button", { name: "Delete the broken relocation of Gone" }).click();
    await page.getByRole("button", { name: "Delete it" }).click();
    await shows("#relocated-result", "Cleared away the broken relocation");
    await row(gone).waitFor({ state: "detached" });
    assert.ok(!existsSync(gone), "the dangling links were left at home");
    assert.equal(JSON.parse(run(["relocated", "--json"])).items.length, 1);
    // Asked for, the list is read again and still holds the relocation that is left.
    await page.getByRole("button", { name: "Refresh the list" }).click();
    await page.getByRole("button", { name: "Refresh the list" }).and(page.locator(":enabled")).waitFor();
    assert.equal(await page.locator("#relocated-list tbody tr").count(), 1);
    assert.ok(await page.locator("#relocated-problem").isHidden());

    // A watcher on the folder (leaving every file alone, so its timer moves nothing meanwhile), a
    // file replaced at home since the relocation and a new one there.
    const working = readdirSync(drive).find((name) => name.startsWith("BRIM-"));
    run(["autosync", "add", album, path.join(drive, working, "Synced"), "--exclude", "*"]);
    rmSync(path.join(album, "notes.txt"));
    writeFileSync(path.join(album, "notes.txt"), "written at home");
    writeFileSync(path.join(album, "fresh.txt"), "new at home");
    // A program reading a file through its link holds the copy on the drive.
    const reader = spawn("tail", ["-f", path.join(album, "a.jpg")], { stdio: "ignore" });
    try {
      await new Promise((resolve) => setTimeout(resolve, 500));
      await page.getByRole("button", { name: "Move Album back" }).click();
      await shows("#move-back-programs li", `tail (pid ${reader.pid})`);
      await shows("#move-back-in-use-text",
        "Quit them before continuing, or click Move back to proceed anyway (may interrupt the app).");
    } finally {
      reader.kill();
    }
    await shows("#move-back-watcher",
      "Moving back will turn off the watcher. New files written here will stay on internal disk.");
    await shows("#move-back-written-text",
      "These files were created on internal disk after the relocation. They'll be included in the move back.");
    assert.deepEqual(await page.locator("#move-back-written-files li").allTextContents(),
      ["fresh.txt", "notes.txt (a version of it is on the drive too)"]);
    // At 200% zoom the list and the panel still fit without sideways scrolling.
    await page.setViewportSize({ width: 640, height: 800 });
    assert.ok(await page.evaluate(() =>
      document.documentElement.scrollWidth <= document.documentElement.clientWidth + 1));
    await page.getByLabel(overwriteChoice).check();
    assert.ok(await page.locator("#move-back-in-use").isHidden(), "the skipped check still shows");
    await page.getByRole("button", { name: "Move back", exact: true }).click();
    await shows("#relocated-result", "The folder is back home.", 180000);
    await shows("#relocated-empty", "No relocated folders.");

    // On disk: every file home as itself, the drive's notes.txt in its place and the home one kept
    // beside it, the new file kept, and the watcher turned off.
    assertWhole(album, albumFiles, false);
    const kept = readdirSync(album).filter((name) => name.startsWith("notes.txt.kept-"));
    assert.equal(kept.length, 1, `kept beside: ${kept}`);
    assert.equal(readFileSync(path.join(album, kept[0]), "utf8"), "written at home");
    assert.equal(readFileSync(path.join(album, "fresh.txt"), "utf8"), "new at home");
    const policies = readdirSync(path.join(state, "auto-sync"))
      .map((name) => JSON.parse(readFileSync(path.join(state, "auto-sync", name), "utf8")));
    assert.deepEqual(policies.map((p) => p.enabled), [false]);
  },
});
