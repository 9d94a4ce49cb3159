// The transfers page: the drive transfer with its status line live, a new
// cloud transfer with its progress lines live (and a way to cancel it), the
// transfer list with pause, resume and cancel, and the remotes.
import { getJson, postJson, listen, showProblem, formatBytes } from "/dashboard.js";

const $ = (id) => document.getElementById(id);

// States in words, so the list never relies on colour.
const stateWords = {
  queued: "Waiting its turn", preparing: "Preparing", running: "Running", paused: "Paused",
  completed: "Done", failed: "Failed", canceled: "Cancelled",
  waiting_for_drive: "Waiting for the drive",
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
      row.append(cell(job.source), cell(job.destination), cell(job.mode),
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
  } catch (error) {
    showProblem($("jobs-problem"), error);
  }
}

async function loadRemotes() {
  try {
    const remotes = await getJson("/api/remotes");
    const names = Array.isArray(remotes) ? remotes : remotes.remotes || [];
    $("remotes").replaceChildren(...names.map((remote) => {
      const item = document.createElement("li");
      item.textContent = typeof remote === "string" ? remote : `${remote.name} (${remote.type || "remote"})`;
      return item;
    }));
    if (names.length === 0) {
      const item = document.createElement("li");
      item.textContent = "No remotes yet: add one with `brimvale remotes add TYPE NAME`.";
      $("remotes").append(item);
    }
  } catch (error) {
    showProblem($("remotes-problem"), error);
  }
}

$("new-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  $("transfer-problem").hidden = true;
  try {
    await postJson("/api/transfers/new", {
      source: $("source").value.trim(),
      destination: $("destination").value.trim(),
      mode: $("mode").value,
    });
  } catch (error) {
    showProblem($("transfer-problem"), error);
  }
});

$("transfer-stop").addEventListener("click", async () => {
  $("transfer-stop").disabled = true;
  try {
    await postJson("/api/transfers/stop");
  } catch (error) {
    showProblem($("transfer-problem"), error);
  }
});

listen({
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
  "transfer-done": ({ status }) => {
    $("transfer-stop").disabled = true;
    $("transfer-result").textContent = status === 0
      ? "The transfer is done."
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

getJson("/api/drive-transfer").then(showDriveJob)
  .catch((error) => showProblem($("drive-problem"), error));
loadJobs();
loadRemotes();
