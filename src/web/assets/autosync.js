// The auto-sync page: the watched folders with what each has moved and the
// files that keep failing, changed, switched on and off, scanned now (its
// lines live) or no longer watched; a form that watches another; the last automatic run;
// and the transfers with their schedules and next runs.
import { getJson, postJson, listen, showProblem, pageReady } from "/dashboard.js";

const $ = (id) => document.getElementById(id);
let scheduleHelp = {};

function element(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = text;
  if (className) node.className = className;
  return node;
}

function button(text, label, onClick) {
  const node = element("button", text);
  node.type = "button";
  node.setAttribute("aria-label", label);
  node.addEventListener("click", onClick);
  return node;
}

function figures(pairs) {
  const list = element("dl", undefined, "figures");
  for (const [term, value, className] of pairs) {
    list.append(element("dt", term), element("dd", value, className));
  }
  return list;
}

function times(n, one, many) {
  return `${n} ${n === 1 ? one : many}`;
}

function failureSentence(f) {
  const when = `${f.file} could not be copied ${times(f.count, "time", "times")} in a row, last at ${f.lastFailAt}; the original is untouched.`;
  return f.retryAt
    ? `${when} Brimvale waits until ${f.retryAt} before trying it again.`
    : `${when} It is tried again on the next run.`;
}

// Runs a change, shows its answer (or its problem) above the list, and reloads.
async function act(path, body, done, problem, reload) {
  problem.hidden = true;
  done.textContent = "";
  try {
    const answer = await postJson(path, body);
    done.textContent = answer.message || "";
  } catch (error) {
    showProblem(problem, error);
  }
  await reload();
}

function changePolicy(action, policy) {
  return act(`/api/autosync/${action}`, { id: policy.id }, $("policies-done"),
    $("policies-problem"), loadPolicies);
}

async function scanNow(policy) {
  $("scan-problem").hidden = true;
  try {
    await postJson("/api/autosync/scan", { id: policy.id });
  } catch (error) {
    showProblem($("scan-problem"), error);
  }
}

function policyCard(policy) {
  const card = element("li");
  card.append(element("h3", policy.internalPath, "path"));
  card.append(element("p", policy.enabled
    ? "On: its settled files move to your fast drive every minute while Brimvale runs."
    : "Off: its files stay where they are until you switch it on again."));
  const moved = `${times(policy.totalFilesMoved, "file", "files")}` +
    (policy.totalBytesMoved > 0 ? ` (${policy.movedBytes})` : "");
  const rows = [["Goes to", policy.nvmeDestParent, "path"]];
  if (policy.excludePatterns.length) rows.push(["Leaves out", policy.excludePatterns.join(" ")]);
  rows.push(["Moved so far", moved],
    ["Last scan", policy.lastScan || "Not scanned yet"],
    ["Last move", policy.lastMove || "Nothing moved yet"]);
  card.append(figures(rows));
  if (policy.failures.length) {
    const failures = element("ul", undefined, "failures");
    for (const f of policy.failures) failures.append(element("li", failureSentence(f), "path"));
    card.append(element("p", "Files that failed to copy:"), failures);
  } else {
    card.append(element("p", "No file has failed to copy.", "muted"));
  }
  const where = policy.internalPath;
  const editor = editForm(policy);
  const actions = element("p", undefined, "actions");
  actions.append(
    button("Scan now", `Scan now: ${where}`, () => scanNow(policy)), " ",
    button("Change", `Change the watch on ${where}`, () => {
      editor.hidden = false;
      editor.querySelector("input").focus();
    }), " ",
    policy.enabled
      ? button("Switch off", `Switch off auto-sync of ${where}`, () => changePolicy("disable", policy))
      : button("Switch on", `Switch on auto-sync of ${where}`, () => changePolicy("enable", policy)),
    " ",
    button("Stop watching", `Stop watching ${where}`, () => changePolicy("remove", policy)));
  card.append(actions, editor);
  return card;
}

// Where the new files of `policy` go and the names it leaves out, changed in place.
function editForm(policy) {
  const form = element("form", undefined, "edit-policy");
  form.hidden = true;
  const field = (id, text, value) => {
    const input = element("input");
    Object.assign(input, { id, type: "text", size: 50, autocomplete: "off", value });
    const label = element("label", text);
    label.htmlFor = id;
    const row = element("p");
    row.append(label, element("br"), input);
    form.append(row);
    return input;
  };
  const destination = field(`edit-destination-${policy.shortId}`,
    "Folder on your fast drive that receives its new files (full path)", policy.nvmeDestParent);
  destination.required = true;
  const excludes = field(`edit-excludes-${policy.shortId}`,
    "Names to leave where they are (patterns separated by spaces)", policy.excludePatterns.join(" "));
  const save = element("button", "Save the changes");
  save.type = "submit";
  form.append(save, " ", button("Cancel", `Cancel changing the watch on ${policy.internalPath}`,
    () => { form.hidden = true; }));
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    act("/api/autosync/edit", {
      id: policy.id,
      destination: destination.value.trim(),
      excludes: excludes.value.split(/\s+/).filter(Boolean),
    }, $("policies-done"), $("policies-problem"), loadPolicies);
  });
  return form;
}

const outcomeWords = {
  ok: "it went well", partial: "some of it went well", failed: "it failed",
  skipped: "nothing was done",
};

// "2026-05-28 20:27" in this computer's time, as the server words its own times.
function localMinute(iso) {
  const d = new Date(iso);
  const two = (n) => String(n).padStart(2, "0");
  return `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())} ${two(d.getHours())}:${two(d.getMinutes())}`;
}

function showLedger(record) {
  if (!record) return;
  $("ledger-when").textContent = record.hasRun
    ? `${record.description}. Last run ${localMinute(record.lastRunAt)}: ${outcomeWords[record.lastOutcome] || record.lastOutcome}.`
    : `${record.description}. It has not run yet.`;
  $("ledger-summary").textContent = record.hasRun ? record.lastSummary : "";
  $("ledger-issues").replaceChildren(...(record.issues || []).map((issue) =>
    element("li", `${issue.message} (seen ${times(issue.count, "time", "times")} since ${issue.firstSeen})`)));
}

async function loadPolicies() {
  try {
    const answer = await getJson("/api/autosync");
    $("policies").replaceChildren(...answer.policies.map(policyCard));
    $("policies-empty").hidden = answer.policies.length > 0;
    $("destination-hint").textContent = answer.workingFolder
      ? `Choose a folder inside ${answer.workingFolder}, your fast drive's Brimvale folder.`
      : "Brimvale knows no fast drive yet; set one up before watching a folder.";
    $("watch-destination").dataset.root = answer.workingFolder;
    $("ledger-problem").hidden = true;
    showLedger(answer.ledger);
  } catch (error) {
    showProblem($("policies-problem"), error);
  }
}

function scheduleCard(transfer) {
  const card = element("li");
  card.append(element("h3", `${transfer.source} → ${transfer.destination}`, "path"));
  const when = transfer.schedule
    ? `${transfer.schedule}. ${transfer.nextRun}` +
      (transfer.overdue ? " (due now: it starts within a minute while Brimvale runs)." : ".")
    : `Manual only. ${scheduleHelp.none}`;
  card.append(element("p", `${transfer.mode} · transfer ${transfer.shortId}`, "muted"), element("p", when));
  const actions = element("p", undefined, "actions");
  actions.append(button("Change the schedule", `Change the schedule of the transfer to ${transfer.destination}`, () => {
    $("schedule-transfer").value = transfer.id;
    $("schedule-kind").focus();
  }));
  if (transfer.schedule) {
    actions.append(" ", button("Remove the schedule",
      `Remove the schedule of the transfer to ${transfer.destination}`,
      () => act("/api/schedules/set", { id: transfer.id, kind: "none" }, $("schedules-done"),
        $("schedules-problem"), loadSchedules)));
  }
  card.append(actions);
  return card;
}

async function loadSchedules() {
  try {
    const answer = await getJson("/api/schedules");
    scheduleHelp = answer.help;
    showScheduleFields();
    $("schedules").replaceChildren(...answer.transfers.map(scheduleCard));
    $("schedules-empty").hidden = answer.transfers.length > 0;
    $("schedule-form").hidden = answer.transfers.length === 0;
    const select = $("schedule-transfer");
    const chosen = select.value;
    select.replaceChildren(...answer.transfers.map((t) =>
      new Option(`${t.source} → ${t.destination} (${t.shortId})`, t.id)));
    if (chosen) select.value = chosen;
  } catch (error) {
    showProblem($("schedules-problem"), error);
  }
}

// Only the fields the chosen kind uses, and the line that explains it.
function showScheduleFields() {
  const kind = $("schedule-kind").value;
  for (const field of document.querySelectorAll("#schedule-form [data-for]")) {
    field.hidden = !field.dataset.for.split(" ").includes(kind);
  }
  $("schedule-help").textContent = scheduleHelp[kind] || "";
}

function scheduleFields() {
  return {
    id: $("schedule-transfer").value,
    kind: $("schedule-kind").value,
    every: $("schedule-every").value,
    weekday: $("schedule-weekday").value,
    day: $("schedule-day").value,
    time: $("schedule-time").value,
  };
}

// The next run the form's schedule would have, before it is saved. Answers
// can arrive out of order while the user types: only the latest is shown.
let nextRunAsked = 0;
async function showNextRun() {
  const asked = ++nextRunAsked;
  let shown;
  try {
    shown = (await postJson("/api/schedules/next-run", scheduleFields())).nextRun || "";
  } catch (error) {
    shown = error.message;
  }
  if (asked === nextRunAsked) $("schedule-next").textContent = shown;
}

$("schedule-form").addEventListener("input", showNextRun);
$("schedule-kind").addEventListener("change", () => {
  showScheduleFields();
  showNextRun();
});

$("schedule-form").addEventListener("submit", (event) => {
  event.preventDefault();
  act("/api/schedules/set", scheduleFields(), $("schedules-done"), $("schedules-problem"),
    loadSchedules);
});

// A destination named after the watched folder, inside the drive's folder,
// until the user types one of their own.
$("watch-folder").addEventListener("change", () => {
  const destination = $("watch-destination");
  const root = destination.dataset.root;
  const name = $("watch-folder").value.trim().replace(/\/+$/, "").split("/").pop();
  if (root && name && (!destination.value || destination.dataset.suggested === destination.value)) {
    destination.value = destination.dataset.suggested = `${root}/${name}`;
  }
});

$("add-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  const excludes = $("watch-excludes").value.split(/\s+/).filter(Boolean);
  await act("/api/autosync/add", {
    folder: $("watch-folder").value.trim(),
    destination: $("watch-destination").value.trim(),
    excludes,
  }, $("policies-done"), $("policies-problem"), loadPolicies);
  if ($("policies-problem").hidden) $("add-form").reset();
});

listen({
  "autosync-start": () => {
    $("scan-title").textContent = "Scanning…";
    $("scan-lines").replaceChildren();
    $("scan-result").textContent = "";
    $("scan-problem").hidden = true;
    $("scan-problem").textContent = "";
  },
  "autosync-line": ({ line }) => $("scan-lines").append(element("li", line)),
  "autosync-problem": ({ line }) => {
    const problem = $("scan-problem");
    showProblem(problem, new Error(problem.textContent ? `${problem.textContent} ${line}` : line));
  },
  "autosync-done": ({ status }) => {
    $("scan-title").textContent = "";
    $("scan-result").textContent = status === 0
      ? "The scan is done."
      : "The scan did not move everything; the lines above say what was left, whether it is safe and what to do.";
    loadPolicies();
  },
});

pageReady();
loadPolicies();
loadSchedules().then(showNextRun);
