// The scrap board's page: an image scrap shows its thumbnail, a scrap gets a
// new lifetime, is copied to the clipboard and saved into a folder (never over
// a file changed since, unless asked), the clipboard is saved as a scrap, and
// a board setting is saved — each checked on disk or on the X clipboard, not
// only in the page's words.
import { spawn, execFileSync } from "node:child_process";
import { writeFileSync, readFileSync, mkdirSync, utimesSync, readdirSync } from "node:fs";
import path from "node:path";
import zlib from "node:zlib";
import assert from "node:assert/strict";
import { dashboardTest, waitFor, screenshots } from "./harness.mjs";

// A real PNG of `width` x `height` opaque red pixels.
function redPng(width, height) {
  const chunk = (type, data) => {
    const length = Buffer.alloc(4);
    length.writeUInt32BE(data.length);
    const crc = Buffer.alloc(4);
    crc.writeUInt32BE(zlib.crc32(Buffer.concat([Buffer.from(type), data])));
    return Buffer.concat([length, Buffer.from(type), data, crc]);
  };
  const header = Buffer.alloc(13);
  header.writeUInt32BE(width, 0);
  header.writeUInt32BE(height, 4);
  header.set([8, 6, 0, 0, 0], 8);
  const row = Buffer.concat([Buffer.from([0]), Buffer.alloc(width * 4, Buffer.from([255, 0, 0, 255]))]);
  return Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    chunk("IHDR", header), chunk("IDAT", zlib.deflateSync(Buffer.concat(Array(height).fill(row)))),
    chunk("IEND", Buffer.alloc(0))]);
}

// A private X server for the clipboard, ended with this process.
const xvfb = spawn("/usr/bin/Xvfb", ["-displayfd", "3", "-nolisten", "tcp"],
  { stdio: ["ignore", "ignore", "ignore", "pipe"] });
process.on("exit", () => xvfb.kill());
let displayNumber = "";
xvfb.stdio[3].on("data", (d) => { displayNumber += d; });
process.env.DISPLAY = ":" + (await waitFor("the X server", () => displayNumber.trim(), 20)).trim();

const board = (state) => readFileSync(path.join(state, "junk-items.ndjson"), "utf8")
  .trim().split("\n").map((line) => JSON.parse(line));

await dashboardTest({
  name: "scrap_page",
  drives: {},
  body: async (ctx) => {
    const { page, shows, state, home } = ctx;
    const picture = redPng(6, 4);
    writeFileSync(path.join(home, "red.png"), picture);
    ctx.run(["junk", "image", path.join(home, "red.png")]);
    ctx.run(["junk", "add", "Invoice 42 for the boat"]);
    const note = board(state).find((s) => s.plainText === "Invoice 42 for the boat");
    const image = board(state).find((s) => s.kind === "image");

    await page.getByRole("link", { name: "Rade Diriv" }).click();
    await shows("#junk-count", "2 scraps on the board");

    // The thumbnail loads from the store, as a PNG, and only for a signed-in page.
    await page.waitForFunction(() => document.querySelector("img.thumbnail")?.naturalWidth > 0);
    assert.equal(await page.locator("img.thumbnail").evaluate((img) => img.naturalWidth), 6);
    const thumb = await page.evaluate(async (id) => {
      const r = await fetch(`/api/junk/thumbnail?id=${id}`);
      return r.headers.get("content-type");
    }, image.id);
    assert.equal(thumb, "image/png");
    const stranger = await fetch(`${ctx.origin}/api/junk/thumbnail?id=${image.id}`);
    assert.equal(stranger.status, 401);
    const wrongId = await page.evaluate(async () =>
      (await fetch("/api/junk/thumbnail?id=../junk-items.ndjson")).status);
    assert.equal(wrongId, 404);

    // A new lifetime, counted from when the scrap was made.
    await page.getByRole("button", { name: "Change the lifetime of “Invoice 42 for the boat”" }).click();
    await page.getByLabel("Auto-clear this scrap after").selectOption("w2");
    await page.getByRole("button", { name: "Use this lifetime" }).click();
    await shows("#junk-result", "now clears at");
    assert.equal(await page.evaluate(() => document.activeElement.dataset.focus), `${note.id} lifetime`,
      "focus returns to the scrap's button");
    const renewed = board(state).find((s) => s.id === note.id);
    assert.equal(renewed.ttlSeconds, 14 * 86400);
    assert.equal(Date.parse(renewed.expiresAt) - Date.parse(renewed.createdAt), 14 * 86400 * 1000);

    // Copy back puts the text on the clipboard of the desktop the dashboard runs in.
    await page.getByRole("button", { name: "Copy “Invoice 42 for the boat”" }).click();
    await shows("#junk-result", "paste it wherever you like");
    assert.equal(execFileSync("xclip", ["-o", "-selection", "clipboard"], { encoding: "utf8" }),
      "Invoice 42 for the boat");

    // Saving the clipboard: the page's own copy back is not saved again; a new copy is, once.
    await page.getByRole("button", { name: "Save clipboard to Junk" }).click();
    await shows("#junk-count", "2 scraps on the board");
    await page.locator("#junk-problem, #junk-result").filter({ hasText: /copied back|already/ }).waitFor();
    assert.equal(board(state).length, 2);
    execFileSync("xclip", ["-i", "-selection", "clipboard"],
      { input: "Pasted from the desktop", stdio: ["pipe", "ignore", "ignore"] });
    await page.getByRole("button", { name: "Save clipboard to Junk" }).click();
    await shows("#junk-result", "Saved the clipboard as");
    await page.getByRole("button", { name: "Save clipboard to Junk" }).click();
    await shows("#junk-result", "on the board already");
    const pasted = board(state).filter((s) => s.plainText === "Pasted from the desktop");
    assert.equal(pasted.length, 1);
    assert.equal(pasted[0].source, "hotkey");

    // Saved into a folder: the text and the image's own bytes.
    const out = path.join(home, "out");
    mkdirSync(out);
    const save = async (name, replace = false) => {
      await page.getByRole("button", { name: `Save “${name}” to a folder` }).click();
      await page.getByLabel("Folder to save into").fill("~/out");
      await page.getByLabel("Replace a file of the same name").setChecked(replace);
      await page.getByRole("button", { name: "Save the scrap" }).click();
    };
    await save("Invoice 42 for the boat");
    await shows("#junk-result", "Saved");
    const saved = path.join(out, `Invoice 42 for the boat ${note.id.slice(0, 8)}.txt`);
    assert.equal(readFileSync(saved, "utf8"), "Invoice 42 for the boat");
    await save("Image");
    await shows("#junk-result", `Image ${image.id.slice(0, 8)}.png`);
    assert.deepEqual(readFileSync(path.join(out, `Image ${image.id.slice(0, 8)}.png`)), picture);

    // A file changed since the scrap was made is not overwritten unasked.
    writeFileSync(saved, "my own edit");
    const later = new Date(Date.now() + 3600_000);
    utimesSync(saved, later, later);
    await save("Invoice 42 for the boat");
    await shows("#save-problem", "was changed after this scrap was made");
    assert.equal(readFileSync(saved, "utf8"), "my own edit");
    assert.equal(readdirSync(out).length, 2, "nothing was written beside it");
    await page.getByRole("button", { name: "Don’t save" }).click();
    await save("Invoice 42 for the boat", true);
    await shows("#junk-result", "Saved");
    assert.equal(readFileSync(saved, "utf8"), "Invoice 42 for the boat");

    // Board settings land where `brimvale junk settings` keeps them.
    await page.getByLabel("Auto-clear new scraps after").selectOption("w1");
    await page.getByLabel("Keep up to").fill("120");
    await page.getByRole("button", { name: "Save the board settings" }).click();
    await shows("#settings-result", "Saved");
    const defaults = JSON.parse(readFileSync(path.join(state, "user-defaults.json"), "utf8"));
    assert.equal(defaults.JunkDefaultTTL, "w1");
    assert.equal(defaults.JunkMaxItems, 120);
    assert.match(ctx.run(["junk", "settings", "JunkDefaultTTL"]), /= w1/);

    // At 200% zoom (640 CSS pixels) the board with its picture and settings still fits.
    await page.setViewportSize({ width: 640, height: 800 });
    const overflow = await page.evaluate(() =>
      document.documentElement.scrollWidth - document.documentElement.clientWidth);
    assert.ok(overflow <= 1, `the board scrolls sideways by ${overflow}px at 200%`);
    await page.screenshot({ path: path.join(screenshots, "scrap_page-200.png"), fullPage: true });
  },
});
