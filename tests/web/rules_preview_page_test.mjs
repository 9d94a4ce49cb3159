// The rules page's item-by-item preview: each old item a rule would delete listed with a
// ticked box; after one is unticked, the run deletes only the ticked one and the unticked
// one is still on disk.
import { existsSync, readFileSync, utimesSync, writeFileSync } from "node:fs";
import path from "node:path";
import assert from "node:assert/strict";
import { dashboardTest, writeFiles } from "./harness.mjs";

const longAgo = new Date(Date.now() - 40 * 86400 * 1000);

await dashboardTest({
  name: "rules_preview_page",
  prepare: ({ home }) => {
    const config = path.join(home, ".brimvale", "brim-vale.conf");
    writeFileSync(config, readFileSync(config, "utf8")
      .replace("RULES=()", 'RULES=("delete_old | $HOME/Old | | 30 |")'));
    writeFiles(path.join(home, "Old"), { "ticked.txt": 5000, "unticked.txt": 5000 });
    for (const name of ["ticked.txt", "unticked.txt"]) {
      utimesSync(path.join(home, "Old", name), longAgo, longAgo);
    }
  },
  body: async ({ page, home, origin, shows, run }) => {
    run(["prep-drive", "--yes"]);  // the rules run only while the drive is connected
    const ticked = path.join(home, "Old", "ticked.txt");
    const unticked = path.join(home, "Old", "unticked.txt");
    await page.goto(`${origin}/rules.html`);
    await page.getByRole("button", { name: "Preview the items" }).click();
    await shows("#rules-preview-total", /^2 of 2 items ticked, /, 120000);
    assert.match(await page.locator("#rules-preview-items").textContent(),
      /40 days old, delete_old: delete/);
    await page.locator("#rules-preview-items li", { hasText: unticked }).locator("input").uncheck();
    await shows("#rules-preview-total", /^1 of 2 items ticked, /);
    await page.getByRole("button", { name: "Run the rules on the ticked items" }).click();
    await shows("#rules-run-report", "The rules deleted 1 item", 180000);
    assert.ok(!existsSync(ticked), "the ticked item was deleted");
    assert.ok(existsSync(unticked), "the unticked item is still there");
  },
});
