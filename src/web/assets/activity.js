// The activity page: the background-job ledger per kind, the notifications
// showing and the folder mover's log.
import { getJson, showProblem } from "/dashboard.js";

const $ = (id) => document.getElementById(id);
// Outcomes in words, so the table never relies on colour.
const outcomeWords = { ok: "Done", partial: "Partly done", failed: "Failed", skipped: "Skipped" };

function cell(text) {
  const td = document.createElement("td");
  td.textContent = text;
  return td;
}

function item(text) {
  const li = document.createElement("li");
  li.textContent = text;
  return li;
}

getJson("/api/jobs").then(({ jobs }) => {
  $("jobs").querySelector("tbody").replaceChildren(...jobs.map((job) => {
    const row = document.createElement("tr");
    const kind = job.kind.replaceAll("_", " ");
    row.append(cell(`${kind[0].toUpperCase()}${kind.slice(1)} (${job.description.toLowerCase()})`),
      cell(job.hasRun ? new Date(job.lastRunAtEpoch * 1000).toLocaleString() : "Not yet"),
      cell(job.hasRun ? outcomeWords[job.lastOutcome] || job.lastOutcome : "—"),
      cell(job.lastSummary || ""));
    return row;
  }));
}, (error) => showProblem($("jobs-problem"), error));

getJson("/api/notifications").then((notes) => {
  const list = notes.notifications;
  $("notes").replaceChildren(...(list.length ? list.map((n) => item(`${n.title}: ${n.body}`))
    : [item("No notifications are showing.")]));
}, (error) => showProblem($("notes-problem"), error));

getJson("/api/move-log").then(({ lines }) => {
  $("move-log").replaceChildren(...lines.map(item));
}, (error) => showProblem($("log-problem"), error));
