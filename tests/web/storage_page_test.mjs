// The storage page's "What grew": a scan kept eight days ago, a folder grown since, and the
// list that the page's own scan fills in, with the new scan kept beside the old one; then the
// measured folders by name and by age.
import { writeFileSync, readdirSync, mkdirSync, utimesSync } from "node:fs";
import path from "node:path";
import assert from "node:assert/strict";
import { dashboardTest, writeFiles } from "./harness.mjs";

// "20261201T101500Z": how a kept scan's file is named after its UTC start.
const stamp = (date) => date.toISOString().replace(/\.\d{3}Z$/, "Z").replace(/[-:]/g, "");

await dashboardTest({
  name: "storage_page",
  drives: {},
  prepare: ({ home, state }) => {
    writeFiles(home, { "Videos/file.bin": 3_000_000, "Documents/file.bin": 1_000_000 });
    utimesSync(path.join(home, "Documents"), new Date(2020, 0, 1), new Date(2020, 0, 1));
    const then = new Date(Date.now() - 8 * 86400 * 1000);
    const at = then.toISOString().replace(/\.\d{3}Z$/, "Z");
    const lines = [
      { timestamp: at, phase: "started" },
      { path: path.join(home, "Videos"), label: "Videos folder", size_bytes: 1_000_000, actionable: true },
      { path: path.join(home, "Documents"), label: "Documents folder", size_bytes: 1_200_000, actionable: true },
      { timestamp: at, phase: "done", probed: 2, total_bytes: 2_200_000 },
    ];
    mkdirSync(path.join(state, "scans"));
    writeFileSync(path.join(state, "scans", `${stamp(then)}.ndjson`),
      lines.map((l) => JSON.stringify(l)).join("\n") + "\n");
  },
  body: async ({ page, origin, state, shows }) => {
    await page.goto(`${origin}/storage.html`);
    // One kept scan: nothing to compare it with yet.
    await shows("#grew-status", /^What grew shows once a scan from 7 days before the latest is kept/);
    await page.getByRole("button", { name: "Measure the folders" }).click();
    await shows("#scan-status", /^Measured \d+ folders/, 120000);
    await shows("#grew-status", /^Since the scan of /);
    assert.match(await page.locator("#grew-list li").first().textContent(),
      /^Videos folder: \+2\.0 MB \(1\.0 MB then, 3\.0 MB now\)/);
    assert.equal(await page.locator("#grew-list li").count(), 1);
    assert.match(await page.locator("#grew-shrank").textContent(), /^Shrank: 1 folder, /);
    assert.equal(readdirSync(path.join(state, "scans")).length, 2, "the page's scan is kept");
    // The folders by name, then by age: Documents was changed longest ago.
    await page.getByLabel("Order").selectOption("name");
    assert.match(await page.locator("#scan-bars li").first().textContent(), /^Documents folder: /);
    await page.getByLabel("Order").selectOption("age");
    assert.match(await page.locator("#scan-bars li").first().textContent(),
      /^Documents folder: 1\.0 MB, changed /);
  },
});
