// The home page's item-by-item preview: each old cache item listed with a ticked box; after
// one is unticked, the run deletes only the ticked one and the unticked one is still on disk.
import { existsSync, utimesSync } from "node:fs";
import path from "node:path";
import assert from "node:assert/strict";
import { dashboardTest, writeFiles } from "./harness.mjs";

const longAgo = new Date(Date.now() - 40 * 86400 * 1000);

await dashboardTest({
  name: "preview_page",
  drives: {},
  prepare: ({ home }) => {
    for (const tool of ["pip", "yarn"]) {
      writeFiles(path.join(home, ".cache", tool), { "old/blob.bin": 200_000 });
      for (const p of ["old/blob.bin", "old"]) {
        utimesSync(path.join(home, ".cache", tool, p), longAgo, longAgo);
      }
    }
  },
  body: async ({ page, home, shows }) => {
    const ticked = path.join(home, ".cache/pip/old");
    const unticked = path.join(home, ".cache/yarn/old");
    await page.getByRole("button", { name: "Preview the items" }).click();
    await shows("#preview-total", /^2 of 2 items ticked, /, 120000);
    assert.match(await page.locator("#preview-items").textContent(), /40 days old, devcaches/);
    await page.locator("#preview-items li", { hasText: unticked }).locator("input").uncheck();
    await shows("#preview-total", /^1 of 2 items ticked, /);
    await page.getByRole("button", { name: "Delete the ticked items" }).click();
    await shows("#care-summary", "Zozad Evev deleted 1 item of the preview", 180000);
    assert.ok(!existsSync(ticked), "the ticked item was deleted");
    assert.ok(existsSync(path.join(unticked, "blob.bin")), "the unticked item is still there");
  },
});
