// The transfers page: the drive transfer with its status line live, a new
// cloud transfer with its progress lines live (and a way to cancel it), the
// transfer list with pause, resume and cancel, the remotes with their
// account form, and what to do when rclone is missing.
import { getJson, postJson, listen, showProblem, formatBytes, pageReady } from "/dashboard.js";

const $ = (id) => document.getElementById(id);

// States in words, so the list never relies on colour.
const stateWords = {
  queued: "Waiting its turn", preparing: "Preparing", running: "Running", paused: "Paused",
  completed: "Done", failed: "Failed", canceled: "Cancelled",
  waiting_for_drive: "Waiting for drive",
};

const modeHelp = {
  copy: "Duplicate from source to destination. Source untouched.",
  move: "Copy then delete source. Verifies before deletion.",
  sync: "Make destination mirror source. Files in destination but not in source are deleted.",
  bisync: "Keep both sides in sync. Changes on either side propagate to the other. Conflicts logged.",
};
const modeLabels = { copy: "Copy", move: "Move", sync_one_way: "Sync (one-way)", bisync: "Bidirectional sync" };

const weekdays = ["Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"];
const scheduleHelp = {
  none: "This transfer will only run when you trigger it manually.",
  monthly: "Months without that day-of-month (e.g. day 31 in February) fire on the last day of the month.",
};

function cell(text) {
  const td = document.createElement("td");
  td.textContent = text;
  return td;
}

function progressText(progress = {}) {
  const files = `${progress.filesTransferred || 0} of ${progress.filesTotal || 0} files`;
  return progress.errors ? `${files}, ${progress.errors} errors` : files;
}

const two = (n) => String(n).padStart(2, "0");

// A job's schedule in the words of the New Transfer form, with its next run.
function scheduleText(job) {
  const s = job.schedule;
  if (!s || s.kind === "none") return "";
  const at = `${two(s.hour)}:${two(s.minute)}`;
  const when = s.kind === "hourly" ? `Every ${s.everyN} hours`
    : s.kind === "daily" ? `Every day at ${at}`
      : s.kind === "weekly" ? `Every ${weekdays[(s.weekday || 1) - 1]} at ${at}`
        : `Every month on day ${s.everyN} at ${at}`;
  return job.nextRunAt ? `${when}. Next run: ${new Date(job.nextRunAt).toLocaleString()}` : when;
}

async function change(action, job) {
  $("jobs-problem").hidden = true;
  try {
    await postJson(`/api/transfers/${action}`, { id: job.id });
  } catch (error) {
    showProblem($("jobs-problem"), error);
  }
  loadJobs();
}

async function loadJobs() {
  try {
    const jobs = await getJson("/api/transfers");
    const rows = jobs.map((job) => {
      const row = document.createElement("tr");
      const how = [modeLabels[job.mode] || job.mode, job.dryRun ? "dry run" : "", scheduleText(job)]
        .filter(Boolean).join(" · ");
      row.append(cell(job.source), cell(job.destination), cell(how),
        cell(stateWords[job.state] || job.state), cell(progressText(job.progress)));
      const actions = document.createElement("td");
      const offered = job.state === "paused" ? ["resume", "cancel"]
        : ["queued", "preparing", "running", "waiting_for_drive"].includes(job.state)
          ? ["pause", "cancel"] : [];
      for (const action of offered) {
        const button = document.createElement("button");
        button.type = "button";
        button.textContent = action[0].toUpperCase() + action.slice(1);
        button.setAttribute("aria-label", `${button.textContent} the transfer to ${job.destination}`);
        button.addEventListener("click", () => change(action, job));
        actions.append(button, " ");
      }
      row.append(actions);
      return row;
    });
    $("transfer-jobs").querySelector("tbody").replaceChildren(...rows);
    $("jobs-empty").hidden = rows.length > 0;
    $("transfer-jobs").hidden = rows.length === 0;
    $("cancel-waiting").disabled = !jobs.some((job) => job.state === "waiting_for_drive");
    $("clear-finished").disabled = !jobs.some((job) => ["completed", "failed", "canceled"].includes(job.state));
  } catch (error) {
    showProblem($("jobs-problem"), error);
  }
}

async function changeAll(path) {
  $("jobs-problem").hidden = true;
  $("jobs-result").textContent = "";
  try {
    $("jobs-result").textContent = (await postJson(path)).message;
  } catch (error) {
    showProblem($("jobs-problem"), error);
  }
  loadJobs();
}

$("cancel-waiting").addEventListener("click", () => changeAll("/api/transfers/cancel-waiting"));
$("clear-finished").addEventListener("click", () => changeAll("/api/transfers/clear"));

// rclone itself: without it the remotes and transfers cannot work, and the
// page says how to install it and offers to look again.
let rcloneInstalled = true;

async function checkRclone(rechecked) {
  try {
    const found = await getJson("/api/rclone");
    rcloneInstalled = found.installed;
    $("rclone-hint").textContent = found.installHint;
    $("rclone-missing").hidden = found.installed;
    $("rclone-status").textContent = rechecked && !found.installed
      ? "rclone is still not installed. Nothing was changed; install it, then re-check." : "";
    if (rechecked && found.installed) {
      say(`rclone is installed (${found.version || "version unknown"}); your remotes are loaded below.`);
    }
    $("account-add").disabled = !found.installed;
    $("transfer-start").disabled = !found.installed;
    if (found.installed) loadRemotes();
    else $("remotes").replaceChildren();
  } catch (error) {
    showProblem($("remotes-problem"), error);
  }
}

$("rclone-recheck").addEventListener("click", () => checkRclone(true));

// Remotes: the list with a test, an edit and a removal for each, and the
// account form that adds or edits one.
let remoteList = [];
let editing = null;      // the name of the remote the form edits; null: adding
let removing = null;

function say(text) {
  $("remotes-problem").hidden = true;
  $("remotes-result").textContent = text;
}

function remoteButton(text, remote, action) {
  const button = document.createElement("button");
  button.type = "button";
  button.textContent = text;
  button.setAttribute("aria-label", `${text} ${remote.name}`);
  button.addEventListener("click", action);
  return button;
}

async function loadRemotes() {
  if (!rcloneInstalled) return;
  try {
    const remotes = await getJson("/api/remotes");
    remoteList = Array.isArray(remotes) ? remotes : [];
    $("remotes").replaceChildren(...remoteList.map((remote) => {
      const item = document.createElement("li");
      item.append(`${remote.name} (${typeName(remote.type)}) `,
        remoteButton("Test", remote, () => testRemote(remote)), " ",
        remoteButton("Browse", remote, () => browse(remote.name, "")), " ",
        remoteButton("Edit", remote, () => openForm(remote)), " ",
        remoteButton("Remove", remote, () => askRemove(remote)));
      if (remote.type === "s3") showWarnings(remote, item);
      return item;
    }));
    if (remoteList.length === 0) {
      const item = document.createElement("li");
      item.textContent = "No remotes configured.";
      $("remotes").append(item);
    }
    $("remote-roots").replaceChildren(...remoteList.map((remote) => {
      const option = document.createElement("option");
      option.value = `${remote.name}:`;
      return option;
    }));
    $("remote-roots-text").textContent = remoteList.length === 0 ? "No remotes configured"
      : remoteList.map((remote) => `${remote.name}:`).join(", ");
  } catch (error) {
    showProblem($("remotes-problem"), error);
  }
}

const typeNames = { drive: "Google Drive", googlephotos: "Google Photos", local: "Local", s3: "Amazon S3",
  b2: "Backblaze B2", dropbox: "Dropbox", onedrive: "OneDrive", box: "Box" };
function typeName(type = "") {
  return typeNames[type] || type.charAt(0).toUpperCase() + type.slice(1);
}

// An S3 remote's warnings under its entry, with the region's fix when there is one.
async function showWarnings(remote, item) {
  try {
    const shown = await postJson("/api/remotes/show", { name: remote.name });
    const list = document.createElement("ul");
    for (const warning of shown.warnings) {
      const line = document.createElement("li");
      line.append(`${warning.title}. ${warning.detail}`);
      if (warning.title === "This remote's region looks invalid" && shown.fixRegion) {
        const fix = remoteButton(`Fix the region of`, remote, async () => {
          say("Patching rclone.conf…");
          try {
            say((await postJson("/api/remotes/fix-region", { name: remote.name })).message);
          } catch (error) {
            showProblem($("remotes-problem"), error);
          }
          loadRemotes();
        });
        fix.textContent = `Fix the region: use ${shown.fixRegion}`;
        line.append(" ", fix);
      }
      list.append(line);
    }
    if (shown.warnings.length) item.append(list);
  } catch (error) {
    showProblem($("remotes-problem"), error);
  }
}

// The remote browser: one folder of a remote at a time, its folders to open,
// each entry to delete (after asking), and a new folder to make.
let browsing = { remote: "", path: "" };

const targetOf = (name) => `${browsing.remote}:${browsing.path ? `${browsing.path}/` : ""}${name}`;

async function browse(remote, path) {
  browsing = { remote, path };
  $("browser").hidden = false;
  $("browser-problem").hidden = true;
  $("browser-title").textContent = `Browsing ${remote}:${path}`;
  $("browser-up").disabled = path === "";
  try {
    const entries = await postJson("/api/remotes/browse", { target: `${remote}:${path}` });
    $("browser-entries").replaceChildren(...entries.map((entry) => {
      const item = document.createElement("li");
      const shown = entry.IsDir ? `${entry.Name}/` : entry.Name;
      if (entry.IsDir) {
        const open = document.createElement("button");
        open.type = "button";
        open.textContent = `Open ${shown}`;
        open.addEventListener("click", () => browse(remote, path ? `${path}/${entry.Name}` : entry.Name));
        item.append(open, " ");
      } else {
        item.append(shown, " ");
      }
      const remove = document.createElement("button");
      remove.type = "button";
      remove.textContent = `Delete ${shown}`;
      remove.addEventListener("click", () => {
        if (window.confirm(`Delete ${targetOf(entry.Name)} from the remote? This can't be undone; other files are not touched.`)) {
          browserChange(targetOf(entry.Name), "delete");
        }
      });
      item.append(remove);
      return item;
    }));
    if (entries.length === 0) {
      const item = document.createElement("li");
      item.textContent = "This folder is empty.";
      $("browser-entries").append(item);
    }
  } catch (error) {
    showProblem($("browser-problem"), error);
  }
}

async function browserChange(target, change) {
  $("browser-problem").hidden = true;
  try {
    say((await postJson("/api/remotes/browse", { target, change })).message);
  } catch (error) {
    showProblem($("browser-problem"), error);
  }
  browse(browsing.remote, browsing.path);
}

$("browser-up").addEventListener("click", () =>
  browse(browsing.remote, browsing.path.split("/").slice(0, -1).join("/")));
$("browser-close").addEventListener("click", () => { $("browser").hidden = true; });
$("browser-make").addEventListener("click", () => {
  const name = $("browser-new").value.trim();
  if (name) browserChange(targetOf(name), "new-folder");
});

async function testRemote(remote) {
  say(`Testing ${remote.name}…`);
  try {
    const verdict = await postJson("/api/remotes/test", { name: remote.name });
    say(verdict.ok ? verdict.message : `Couldn't reach ${remote.name}. Nothing was changed. ${verdict.message}`);
  } catch (error) {
    showProblem($("remotes-problem"), error);
  }
}

function askRemove(remote) {
  removing = remote.name;
  $("remove-question").textContent = `Remove ${remote.name}?`;
  $("remove-yes").textContent = `Yes, remove ${remote.name}`;
  $("remove-confirm").hidden = false;
  $("remove-no").focus();
}

$("remove-no").addEventListener("click", () => {
  $("remove-confirm").hidden = true;
  say(`${removing} was kept; nothing was removed.`);
});

$("remove-yes").addEventListener("click", async () => {
  $("remove-confirm").hidden = true;
  try {
    say((await postJson("/api/remotes/remove", { name: removing })).message);
  } catch (error) {
    showProblem($("remotes-problem"), error);
  }
  loadRemotes();
});

// The S3 presets' default regions, endpoint hints and path style, in the provider picker's order.
const presets = {
  aws: ["us-east-1", "", false], cloudflare: ["auto", "https://<account-id>.r2.cloudflarestorage.com", false],
  b2: ["", "https://s3.<region>.backblazeb2.com", true], wasabi: ["us-east-1", "https://s3.<region>.wasabisys.com", false],
  digitalocean: ["nyc3", "https://<region>.digitaloceanspaces.com", false],
  minio: ["us-east-1", "http://192.168.1.20:9000", true], other: ["", "https://s3.example.com", true],
};

function choosePreset() {
  const [region, endpoint, pathStyle] = presets[$("account-provider").value];
  if (region) $("account-region").value = region;
  $("account-endpoint").placeholder = endpoint;
  $("account-path-style").checked = pathStyle;
}

// Shows the fields of the chosen type (and sign-in method) only.
function showFields() {
  const type = $("account-type").value;
  const key = type === "sftp" && $("account-auth").value === "privateKey";
  const oauth = browserTypes.includes(type);
  for (const part of document.querySelectorAll("#account-form [data-for]")) {
    const kinds = part.dataset.for.split(" ");
    part.hidden = !(kinds.includes(type) || (key && kinds.includes("sftp-key")) || (oauth && kinds.includes("oauth")));
  }
  $("account-save").textContent = oauth ? "Sign in" : "Save Account";
  $("account-secret-label").textContent = type === "s3" ? "Secret access key" : key ? "Passphrase" : "Password";
  if (!editing && (type === "sftp" || type === "ftp")) $("account-port").value = type === "sftp" ? "22" : "21";
  const taken = remoteList.filter((remote) => remote.type === type).length;
  const limit = { drive: 5, googlephotos: 3, s3: 10, ftp: 10, sftp: 10 }[type];
  $("account-limit").hidden = editing !== null || !(limit && taken >= limit);
  $("account-limit").textContent = `Account limit reached for ${typeName(type)}. Remove one to add another.`;
}

const optionFields = {
  host: "account-host", port: "account-port", user: "account-user", "key-file": "account-key",
  provider: "account-provider", "access-key-id": "account-access-key", region: "account-region",
  endpoint: "account-endpoint", bucket: "account-bucket", "display-name": "account-display",
};

async function openForm(remote) {
  $("account-form").reset();
  $("account-problem").hidden = true;
  $("sign-in").hidden = true;
  $("account-save").disabled = false;
  editing = remote ? remote.name : null;
  $("account-title").textContent = remote ? `Edit ${remote.name}` : "Add Cloud Account";
  $("account-type").disabled = Boolean(remote);
  $("account-secret-help").textContent = remote
    ? "Existing secret loaded from rclone.conf. Type to change it, or leave as-is to keep." : "";
  if (remote) {
    try {
      const shown = await postJson("/api/remotes/show", { name: remote.name });
      $("account-type").value = shown.type;
      $("account-name").value = remote.name;
      for (const [option, id] of Object.entries(optionFields)) {
        if (shown.options[option] !== undefined) $(id).value = shown.options[option];
      }
      $("account-path-style").checked = shown.options["path-style"] === "true";
      $("account-auth").value = shown.options["key-file"] ? "privateKey" : "password";
    } catch (error) {
      showProblem($("remotes-problem"), error);
      return;
    }
  } else {
    choosePreset();
  }
  showFields();
  $("account-form").hidden = false;
  $("account-name").focus();
}

// Browser sign-in: rclone's steps as they come, and the sign-in page as a
// link in this browser, until rclone has the account or the user cancels.
const browserTypes = ["drive", "googlephotos", "dropbox", "onedrive", "box"];

async function signIn(type) {
  $("sign-in-steps").replaceChildren();
  $("sign-in-link").hidden = true;
  $("sign-in-problem").hidden = true;
  try {
    await postJson("/api/remotes/sign-in", {
      type, name: $("account-name").value.trim(),
      options: { "client-id": $("account-client-id").value.trim() },
      secret: $("account-client-secret").value,
    });
    $("sign-in").hidden = false;
    $("sign-in-cancel").disabled = false;
    $("account-save").disabled = true;
  } catch (error) {
    showProblem($("account-problem"), error);
  }
}

$("sign-in-cancel").addEventListener("click", async () => {
  $("sign-in-cancel").disabled = true;
  try {
    await postJson("/api/remotes/sign-in/cancel");
  } catch (error) {
    showProblem($("sign-in-problem"), error);
  }
});

$("account-add").addEventListener("click", () => openForm(null));
$("account-cancel").addEventListener("click", () => {
  $("account-form").hidden = true;
  say("Nothing was saved.");
});
$("account-type").addEventListener("change", showFields);
$("account-auth").addEventListener("change", showFields);
$("account-provider").addEventListener("change", choosePreset);

$("account-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  $("account-problem").hidden = true;
  const type = $("account-type").value;
  if (browserTypes.includes(type)) {
    signIn(type);
    return;
  }
  const options = {};
  for (const [option, id] of Object.entries(optionFields)) {
    if (!$(id).closest("[hidden]")) options[option] = $(id).value.trim();
  }
  if (type === "sftp" && $("account-auth").value !== "privateKey") delete options["key-file"];
  if (type === "s3") options["path-style"] = $("account-path-style").checked ? "true" : "false";
  if (type === "ftp" && !editing) options["accept-risks"] = $("account-risks").checked;
  const name = $("account-name").value.trim();
  const body = { type, name: editing || name, newName: name, options, secret: $("account-secret").value };
  try {
    const answer = await postJson(editing ? "/api/remotes/edit" : "/api/remotes/add", body);
    $("account-form").hidden = true;
    say(answer.message);
    loadRemotes();
  } catch (error) {
    showProblem($("account-problem"), error);
  }
});

// The New Transfer form: the mode's description, the resync choice for
// bisync only, and the schedule's own fields.
function showModeFields() {
  const mode = $("mode").value;
  $("mode-help").textContent = modeHelp[mode];
  $("resync-row").hidden = mode !== "bisync";
  if (mode !== "bisync") $("resync").checked = false;
}

function showScheduleFields() {
  const kind = $("schedule-kind").value;
  $("schedule-hours-row").hidden = kind !== "hourly";
  $("schedule-weekday-row").hidden = kind !== "weekly";
  $("schedule-day-row").hidden = kind !== "monthly";
  $("schedule-time-row").hidden = !["daily", "weekly", "monthly"].includes(kind);
  $("schedule-help").textContent = scheduleHelp[kind] || "";
}

// The schedule as `brimvale transfers` takes it: "daily 03:00", "weekly Sunday 03:00", ...
function scheduleWords() {
  const kind = $("schedule-kind").value;
  const at = $("schedule-time").value;
  return kind === "none" ? ""
    : kind === "hourly" ? `hourly ${$("schedule-hours").value}`
      : kind === "daily" ? `daily ${at}`
        : kind === "weekly" ? `weekly ${$("schedule-weekday").value} ${at}`
          : `monthly ${$("schedule-day").value} ${at}`;
}

let started = {};  // the sides of the transfer started last

$("mode").addEventListener("change", showModeFields);
$("schedule-kind").addEventListener("change", showScheduleFields);
showModeFields();
showScheduleFields();

$("new-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  $("transfer-problem").hidden = true;
  started = { source: $("source").value.trim(), destination: $("destination").value.trim() };
  try {
    await postJson("/api/transfers/new", {
      ...started,
      mode: $("mode").value,
      transfers: Number($("parallel").value),
      bandwidthLimit: $("bwlimit").value.trim(),
      dryRun: $("dry-run").checked,
      resync: $("resync").checked,
      schedule: scheduleWords(),
    });
  } catch (error) {
    showProblem($("transfer-problem"), error);
  }
});

// What a transfer that ended well did, from its entry in the list: it may
// have been a preview, or be waiting for the drive.
async function endedText() {
  try {
    const jobs = await getJson("/api/transfers");
    // The list keeps jobs in the order they were added: the last match is this one.
    const job = jobs.filter((j) => j.source === started.source && j.destination === started.destination).pop();
    if (job && job.state === "waiting_for_drive") {
      return "The transfer is waiting for the drive; it starts by itself when the drive is connected.";
    }
    if (job && job.state === "completed") {
      return job.dryRun ? "The preview is done; nothing was transferred." : "The transfer is done.";
    }
  } catch {
    // Said below: the list could not be read.
  }
  return "The transfer ended; check its state in the list below.";
}

$("transfer-stop").addEventListener("click", async () => {
  $("transfer-stop").disabled = true;
  try {
    await postJson("/api/transfers/stop");
  } catch (error) {
    showProblem($("transfer-problem"), error);
  }
});

listen({
  "sign-in-line": ({ line }) => {
    const item = document.createElement("li");
    item.textContent = line;
    $("sign-in-steps").append(item);
  },
  "sign-in-address": ({ address }) => {
    $("sign-in-address").href = address;
    $("sign-in-address").textContent = address;
    $("sign-in-link").hidden = false;
  },
  "sign-in-problem": ({ line }) => {
    $("sign-in-problem").hidden = false;
    $("sign-in-problem").textContent += `${line}\n`;
  },
  "sign-in-done": ({ status }) => {
    $("sign-in-cancel").disabled = true;
    $("account-save").disabled = false;
    if (status === 0) {
      const steps = $("sign-in-steps").querySelectorAll("li");
      say(steps.length ? steps[steps.length - 1].textContent : "Signed in.");
      $("account-form").hidden = true;
    }
    loadRemotes();
  },
  "drive-transfer": showDriveJob,
  "transfer-start": () => {
    $("transfer-stop").disabled = false;
    $("transfer-progress").replaceChildren();
    $("transfer-result").textContent = "";
    loadJobs();
  },
  "transfer-line": ({ line }) => {
    const item = document.createElement("li");
    item.textContent = line;
    $("transfer-progress").append(item);
  },
  "transfer-problem": ({ line }) => showProblem($("transfer-problem"), new Error(line)),
  "transfer-done": async ({ status }) => {
    $("transfer-stop").disabled = true;
    $("transfer-result").textContent = status === 0
      ? await endedText()
      : "The transfer did not finish; the lines above say why.";
    loadJobs();
  },
});

// The drive transfer: its status line and figures, the result once it ended,
// and only the buttons the phase allows.
function showDriveJob(job) {
  $("drive-line").textContent = job.line;
  const copying = job.phase === "copying" && job.bytesTotal > 0;
  $("drive-figures").textContent = copying
    ? `${job.percent}% — ${formatBytes(job.bytesDone)} of ${formatBytes(job.bytesTotal)}${job.rate ? `, ${job.rate}` : ""}`
    : "";
  $("drive-result").textContent = [job.lastError, job.result].filter(Boolean).join(" ");
  const ended = !job.active || ["done", "failed"].includes(job.phase);
  $("drive-pause").disabled = !["copying", "waitingForDrive"].includes(job.phase);
  $("drive-resume").disabled = job.phase !== "paused";
  $("drive-cancel").disabled = ended;
  $("drive-start").disabled = !ended;
}

async function driveRequest(path, body) {
  $("drive-problem").hidden = true;
  try {
    const answer = await postJson(path, body);
    if (answer.job) showDriveJob(answer.job);
    return answer;
  } catch (error) {
    showProblem($("drive-problem"), error);
    return null;
  }
}

$("drive-check").addEventListener("click", async () => {
  const verdict = await driveRequest("/api/drive-transfer/check", { destination: $("drive-dest").value.trim() });
  if (!verdict) return;
  const lines = verdict.verdict === "block"
    ? ["This drive can't take everything on your current drive:", ...verdict.reasons]
    : [`This drive can take everything on your current drive${verdict.verdict === "warn" ? ", though it is not the kind of drive we recommend" : ""}.`];
  $("drive-verdict").replaceChildren(...lines.map((line) => {
    const item = document.createElement("li");
    item.textContent = line;
    return item;
  }));
});

$("drive-form").addEventListener("submit", (event) => {
  event.preventDefault();
  driveRequest("/api/drive-transfer/start",
    { destination: $("drive-dest").value.trim(), kind: $("drive-kind").value });
});
$("drive-pause").addEventListener("click", () => driveRequest("/api/drive-transfer/pause"));
$("drive-resume").addEventListener("click", () => driveRequest("/api/drive-transfer/resume"));
$("drive-cancel").addEventListener("click", () => {
  if (window.confirm("Stop the copy and delete what was copied to the other drive? Your current drive is not touched.")) {
    driveRequest("/api/drive-transfer/cancel");
  }
});

pageReady();
getJson("/api/drive-transfer").then(showDriveJob)
  .catch((error) => showProblem($("drive-problem"), error));
loadJobs();
checkRclone(false);
