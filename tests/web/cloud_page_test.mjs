// The transfers page's cloud side in a real browser: what it offers while rclone is missing and
// after it appears; a browser sign-in started and cancelled; an SFTP account added through its
// form (a bad server refused first), its connection test explained, edited (a rename refused)
// and tested again; a dry run and a real transfer to it with the form's options and a schedule;
// every transfer waiting for the unplugged drive cancelled at once and the finished ones
// cleared; its folders browsed and changed; an S3 remote's warnings and region fix; the account
// removed after its warning. rclone.conf, the served folder and the job list are checked on
// disk after each step. The SFTP server is rclone's own, on the loopback address.
import { execFileSync, spawn } from "node:child_process";
import { existsSync, mkdirSync, readFileSync, writeFileSync } from "node:fs";
import { createServer } from "node:net";
import path from "node:path";
import assert from "node:assert/strict";
import { dashboardTest, writeFiles } from "./harness.mjs";

// A port nothing listens on once this returns.
function freePort() {
  return new Promise((resolve) => {
    const server = createServer().listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

const inNamespace = process.env.BRIMVALE_IN_NAMESPACE === "1";
if (!inNamespace) {
  // Hiding rclone needs a bind mount, which only a private mount namespace may make.
  if (process.env.BRIMVALE_REQUIRE_MOUNTS === "1") {
    console.error("cloud: cannot hide rclone; run it through scripts/in-private-mounts");
    process.exit(1);
  }
  console.log("cloud: no private mount namespace, skipped");
  process.exit(0);
}
const rclone = execFileSync("which", ["rclone"], { encoding: "utf8" }).trim();
const password = `Pw-${Math.random().toString(36).slice(2)}-${Date.now()}`;
const idlePort = await freePort();
const sftpPort = await freePort();

await dashboardTest({
  name: "cloud",
  drives: {},  // the drive at /Volumes/NVMe stays unplugged
  prepare: ({ home, env }) => {
    // rclone is missing until the bind mount of a file that cannot run goes.
    writeFileSync(path.join(home, "not-rclone"), "", { mode: 0o644 });
    execFileSync("mount", ["--bind", path.join(home, "not-rclone"), rclone]);
    // rclone opens its sign-in page with xdg-open too: here that only notes the address.
    mkdirSync(path.join(home, "bin"));
    writeFileSync(path.join(home, "bin", "xdg-open"), `#!/bin/sh\necho "$1" >> "${home}/opened"\n`,
      { mode: 0o755 });
    env.PATH = `${path.join(home, "bin")}:${env.PATH}`;
    writeFiles(path.join(home, "Outbox"), { "letter.txt": 40, "photo.jpg": 3000 });
  },
  body: async ({ home, env, page, shows }) => {
    const conf = path.join(home, ".config", "rclone", "rclone.conf");
    const confText = () => (existsSync(conf) ? readFileSync(conf, "utf8") : "");
    const jobs = () => JSON.parse(readFileSync(path.join(home, ".brimvale", "sync", "jobs.json"), "utf8"));
    const served = path.join(home, "served");
    mkdirSync(served);

    // Without rclone the page says so and offers the re-check; once it is back, the remotes load.
    await page.getByRole("link", { name: "Transfers" }).click();
    await shows("#rclone-missing h2", "rclone is not installed");
    await shows("#rclone-hint", "install rclone");
    assert.ok(await page.getByRole("button", { name: "Add Cloud Account" }).isDisabled());
    const recheck = page.getByRole("button", { name: "I've installed rclone — re-check" });
    await recheck.click();
    await shows("#rclone-status", "rclone is still not installed.");
    execFileSync("umount", [rclone]);
    await recheck.click();
    await shows("#remotes-result", "rclone is installed");
    assert.ok(await page.locator("#rclone-missing").isHidden());
    await shows("#remotes li", "No remotes configured.");

    // A browser sign-in shows rclone's steps and its sign-in page as a link; cancelled, it
    // adds nothing. Nothing follows the link: no provider is contacted.
    await page.getByRole("button", { name: "Add Cloud Account" }).click();
    await page.getByLabel("Account type").selectOption("drive");
    await page.getByLabel("Name", { exact: true }).fill("gdrive");
    await page.getByRole("button", { name: "Sign in", exact: true }).click();
    await shows("#sign-in-steps li", "Launching rclone and preparing the OAuth callback…");
    await shows("#sign-in-link", "Will open in your default browser: http://127.0.0.1:53682/auth?state=");
    await page.getByRole("button", { name: "Cancel sign-in" }).click();
    await shows("#sign-in-steps li", "The sign-in was cancelled. Nothing was added.");
    assert.ok(!confText().includes("[gdrive]"), confText());
    await page.getByRole("button", { name: "Cancel", exact: true }).click();

    const server = spawn(rclone, ["serve", "sftp", served, "--addr", `127.0.0.1:${sftpPort}`,
      "--user", "tester", "--pass", password], { env, stdio: "ignore" });
    try {
      // A server field holding the user is refused with the form's text, and nothing is written.
      await page.getByRole("button", { name: "Add Cloud Account" }).click();
      await page.getByLabel("Account type").selectOption("sftp");
      await page.getByLabel("Name", { exact: true }).fill("box");
      await page.getByLabel("Server").fill("tester@127.0.0.1");
      await page.getByLabel("Port").fill(String(idlePort));
      await page.getByLabel("Username").fill("tester");
      await page.getByLabel("Password").fill(password);
      await page.getByRole("button", { name: "Save Account" }).click();
      await shows("#account-problem",
        "Server should be the hostname only — `tester@127.0.0.1`. The `tester@` part belongs in Username.");
      assert.ok(!confText().includes("[box]"), confText());

      await page.getByLabel("Server").fill("127.0.0.1");
      await page.getByRole("button", { name: "Save Account" }).click();
      await shows("#remotes-result", "Added box");
      assert.match(confText(), new RegExp(`\\[box\\][^[]*port = ${idlePort}`));
      assert.ok(!confText().includes(password), "the password is kept obscured");

      // Nothing listens on that port: the test says so, the edit fixes the port and keeps the
      // password, and the test passes.
      await page.getByRole("button", { name: "Test box" }).click();
      await shows("#remotes-result", `Nothing's listening on 127.0.0.1:${idlePort}.`, 60000);
      await page.getByRole("button", { name: "Edit box" }).click();
      await page.waitForFunction(() => document.getElementById("account-host").value === "127.0.0.1");
      await shows("#account-secret-help", "Existing secret loaded from rclone.conf.");
      await page.getByLabel("Name", { exact: true }).fill("box2");
      await page.getByRole("button", { name: "Save Account" }).click();
      await shows("#account-problem", "Renaming requires `rclone config rename` — not supported from this dialog yet.");
      await page.getByLabel("Name", { exact: true }).fill("box");
      await page.getByLabel("Port").fill(String(sftpPort));
      await page.getByRole("button", { name: "Save Account" }).click();
      await shows("#remotes-result", "Saved the changes to box.");
      assert.match(confText(), new RegExp(`port = ${sftpPort}`));
      await page.getByRole("button", { name: "Test box" }).click();
      await shows("#remotes-result", "Connected to box.", 60000);

      // A dry run with a bandwidth limit and three parallel transfers copies nothing.
      await page.getByLabel("Operation").selectOption("copy");
      await shows("#mode-help", "Duplicate from source to destination. Source untouched.");
      await page.getByLabel("Source", { exact: true }).fill(path.join(home, "Outbox"));
      await page.getByLabel("Destination", { exact: true }).fill("box:inbox");
      await page.getByLabel("Parallel transfers").fill("3");
      await page.getByLabel("Bandwidth limit").fill("1M");
      await page.getByLabel("Dry run (preview only)").check();
      await page.getByRole("button", { name: "Start Transfer" }).click();
      await shows("#transfer-result", /done|did not|ended/, 120000);
      assert.equal(await page.locator("#transfer-result").textContent(),
        "The preview is done; nothing was transferred.", await page.locator("#transfer-problem").textContent());
      assert.ok(!existsSync(path.join(served, "inbox")), "a dry run copies nothing");
      const preview = jobs().at(-1);
      assert.deepEqual([preview.dryRun, preview.bandwidthLimit, preview.transfers], [true, "1M", 3]);

      // The real one, saved with a daily schedule.
      await page.getByLabel("Dry run (preview only)").uncheck();
      await page.getByLabel("Schedule").selectOption("daily");
      await page.getByLabel("Time").fill("04:30");
      await page.getByRole("button", { name: "Start Transfer" }).click();
      await shows("#transfer-result", "The transfer is done.", 120000);
      assert.equal(readFileSync(path.join(served, "inbox", "photo.jpg")).length, 3000);
      const real = jobs().at(-1);
      assert.deepEqual([real.state, real.dryRun, real.schedule.kind, real.schedule.hour, real.schedule.minute],
        ["completed", false, "daily", 4, 30]);
      await shows("#transfer-jobs td", "Every day at 04:30. Next run:");

      // A transfer onto the unplugged drive waits; one button cancels every waiting one.
      await page.getByLabel("Schedule").selectOption("none");
      await page.getByLabel("Destination", { exact: true }).fill("/Volumes/NVMe/Outbox");
      await page.getByRole("button", { name: "Start Transfer" }).click();
      await shows("#transfer-result", "The transfer is waiting for the drive", 60000);
      const cancelWaiting = page.getByRole("button",
        { name: "Cancel every transfer currently waiting for the external drive to be reconnected." });
      await page.locator("#cancel-waiting:not([disabled])").waitFor();
      await cancelWaiting.click();
      await shows("#jobs-result", "Cancelled 1 transfer that was waiting for the drive. No file was deleted.");
      const waited = jobs().at(-1);
      assert.deepEqual([waited.state, waited.errorMessage], ["canceled", "Cancelled while waiting for external drive."]);
      // The finished ones leave the list but for the scheduled one, whose runs are copied from it.
      await page.getByRole("button", { name: "Remove finished transfers" }).click();
      await shows("#jobs-result", "Removed 2 finished transfers from the list.");
      assert.deepEqual(jobs().map((job) => job.id), [real.id]);

      // The remote's folders: opened, a folder made in one, a file deleted after the question.
      await page.getByRole("button", { name: "Browse box" }).click();
      await page.getByRole("button", { name: "Open inbox/" }).click();
      await shows("#browser-title", "Browsing box:inbox");
      await page.getByLabel("New folder name").fill("made");
      await page.getByRole("button", { name: "Make the folder" }).click();
      await shows("#browser-entries li", "made/");
      assert.ok(existsSync(path.join(served, "inbox", "made")));
      page.once("dialog", (dialog) => dialog.accept());
      await page.getByRole("button", { name: "Delete photo.jpg" }).click();
      await page.getByRole("button", { name: "Delete photo.jpg" }).waitFor({ state: "detached" });
      assert.ok(!existsSync(path.join(served, "inbox", "photo.jpg")));
      assert.ok(existsSync(path.join(served, "inbox", "letter.txt")));

      // An S3 remote set up elsewhere with a zone for its region and no bucket: the page says
      // both, and its fix patches the region in rclone.conf. Nothing contacts the provider.
      execFileSync(rclone, ["config", "create", "vault-s3", "s3", "provider", "AWS", "region", "use1-az4",
        "access_key_id", "AKIAEXAMPLE"], { env });
      await page.reload();
      await shows("#remotes li li", "Bucket not set — transfers will fail.");
      await shows("#remotes li li", "This remote's region looks invalid. \"use1-az4\" is an Availability Zone ID");
      await page.getByRole("button", { name: "Fix the region of vault-s3" }).click();
      await shows("#remotes-result", "The region of vault-s3 is now us-east-1.");
      assert.match(confText(), /\[vault-s3\][^[]*region = us-east-1/);

      // Removal waits for its warning to be answered.
      await page.getByRole("button", { name: "Remove box" }).click();
      await shows("#remove-warning", "This deletes the rclone configuration for this account. Your data on Google Drive / Google Photos is not affected. You can re-add the account later.");
      assert.ok(confText().includes("[box]"));
      await page.getByRole("button", { name: "Yes, remove box" }).click();
      await shows("#remotes-result", "Removed box from rclone's configuration.");
      assert.ok(!confText().includes("[box]"), confText());
      await page.locator("#remotes > li", { hasText: "box (" }).waitFor({ state: "detached" });
      assert.ok(existsSync(path.join(served, "inbox", "letter.txt")), "the account's files stay");
    } finally {
      server.kill();
    }
  },
});
