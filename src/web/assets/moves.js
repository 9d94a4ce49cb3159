// The moves page: the safety checks of a folder first, then its move with
// live progress (and a way to cancel it), the list of moves, and the
// relocated folders with their integrity, move back (after showing what it
// would meet) and delete, kept current as the relocations change anywhere.
import { getJson, postJson, listen, showProblem, pageReady } from "/dashboard.js";

const $ = (id) => document.getElementById(id);

// The phases in words, so the list never relies on colour.
const phaseWords = {
  writing: "Starting", copying: "Copying", hashing: "Checking the copy",
  verifying: "Verifying", cleaningUp: "Finishing", done: "Done", cancelled: "Cancelled",
  failed: "Failed", waitingForDrive: "Waiting for the drive",
};

function lines(element, items) {
  element.replaceChildren(...items.map((text) => {
    const item = document.createElement("li");
    item.textContent = text;
    return item;
  }));
}

// Answers can arrive out of order while a move runs: only the newest request's is shown.
let listRequests = 0;

async function loadList() {
  const request = ++listRequests;
  try {
    const moves = await getJson("/api/moves");
    if (request !== listRequests) return;
    const rows = moves.map((m) => {
      const row = document.createElement("tr");
      for (const text of [m.src, phaseWords[m.phase] || m.phase, m.finalDst || "—"]) {
        const cell = document.createElement("td");
        cell.textContent = text;
        row.append(cell);
      }
      return row;
    });
    $("move-list").querySelector("tbody").replaceChildren(...rows);
    $("list-empty").hidden = rows.length > 0;
    $("move-list").hidden = rows.length === 0;
  } catch (error) {
    showProblem($("move-problem"), error);
  }
}

let checkedFolder = null;

$("move-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  $("move-problem").hidden = true;
  $("move-start").disabled = true;
  $("move-check").disabled = true;
  checkedFolder = null;
  try {
    const checked = await postJson("/api/moves/check", { folder: $("folder").value.trim() });
    $("findings-title").hidden = false;
    lines($("findings"), [...checked.findings, ...checked.problems]);
    if (checked.movable) {
      checkedFolder = checked.folder;
      $("move-start").disabled = false;
    }
  } catch (error) {
    showProblem($("move-problem"), error);
  } finally {
    $("move-check").disabled = false;
  }
});

$("move-start").addEventListener("click", async () => {
  $("move-start").disabled = true;
  try {
    await postJson("/api/moves/start", { folder: checkedFolder });
  } catch (error) {
    showProblem($("move-problem"), error);
  }
});

$("move-cancel").addEventListener("click", async () => {
  $("move-cancel").disabled = true;
  try {
    await postJson("/api/moves/cancel");
  } catch (error) {
    showProblem($("move-problem"), error);
  }
});

function actionButton(label, name, onClick) {
  const button = document.createElement("button");
  button.type = "button";
  button.textContent = label;
  button.setAttribute("aria-label", name);
  button.addEventListener("click", onClick);
  return button;
}

function note(text) {
  const span = document.createElement("span");
  span.textContent = text;
  return span;
}

// The panels open one at a time, below the list, with the keyboard taken to them.
function openPanel(id) {
  $("move-back-panel").hidden = id !== "move-back-panel";
  $("delete-panel").hidden = id !== "delete-panel";
  $(id).querySelector("h3").focus();
}

let planned = null;  // the item the move-back panel is about

// What the move back would meet: the watcher it turns off, the files written
// at home since, the programs using the folder, and the overwrite choice.
async function showMoveBack(item, name) {
  $("relocated-problem").hidden = true;
  try {
    const plan = await postJson("/api/relocated/plan", { id: item.id });
    planned = plan;
    $("move-back-title").textContent = `Move ${name} back`;
    $("move-back-what").textContent =
      `Brings ${plan.source} home from ${plan.copy} and removes the copy on the drive.`;
    $("move-back-unavailable").hidden = !plan.unavailable;
    $("move-back-unavailable").textContent = plan.unavailable || "";
    $("move-back-watcher").hidden = !plan.watcher;
    $("move-back-watcher").textContent = plan.watcher || "";
    const written = plan.writtenSince;
    $("move-back-written").hidden = written.count === 0;
    $("move-back-written-text").textContent = written.text;
    const rows = written.files.map((file) => written.alsoOnDrive.includes(file)
      ? `${file} (a version of it is on the drive too)` : file);
    if (written.count > written.files.length) rows.push(`… and ${written.count - written.files.length} more`);
    lines($("move-back-written-files"), rows);
    $("move-back-in-use").hidden = !plan.inUse;
    lines($("move-back-programs"), plan.inUse ? plan.inUse.programs : []);
    $("move-back-in-use-text").textContent = plan.inUse ? plan.inUse.text : "";
    $("move-back-overwrite-label").textContent = plan.overwriteChoice;
    $("move-back-overwrite").checked = false;
    $("move-back-confirm").disabled = Boolean(plan.unavailable);
    openPanel("move-back-panel");
  } catch (error) {
    showProblem($("relocated-problem"), error);
  }
}

// Choosing to overwrite skips the apps-in-use check.
$("move-back-overwrite").addEventListener("change", () => {
  $("move-back-in-use").hidden = !planned || !planned.inUse || $("move-back-overwrite").checked;
});

$("move-back-confirm").addEventListener("click", async () => {
  $("move-back-panel").hidden = true;
  $("relocated-problem").hidden = true;
  try {
    await postJson("/api/relocated/move-back",
      { id: planned.id, overwrite: $("move-back-overwrite").checked });
  } catch (error) {
    showProblem($("relocated-problem"), error);
  }
});

$("move-back-dismiss").addEventListener("click", () => { $("move-back-panel").hidden = true; });

let doomed = null;  // the item the delete panel is about

function showDelete(item, name) {
  doomed = item;
  $("delete-question").textContent = `Delete the broken relocation of ${name}? Brimvale removes ` +
    `only its own links at ${item.source} to the missing copy, the folders they leave empty and ` +
    "its record; anything else there stays where it is.";
  openPanel("delete-panel");
}

$("delete-confirm").addEventListener("click", async () => {
  $("delete-panel").hidden = true;
  $("relocated-problem").hidden = true;
  try {
    const answer = await postJson("/api/relocated/delete", { id: doomed.id });
    $("relocated-result").textContent = answer.message;
  } catch (error) {
    showProblem($("relocated-problem"), error);
  }
  loadRelocated();
});

$("delete-dismiss").addEventListener("click", () => { $("delete-panel").hidden = true; });

function relocatedRow(item) {
  const row = document.createElement("tr");
  const name = item.source.split("/").pop();
  const state = document.createElement("td");
  state.append(note(item.state));
  if (item.help) state.append(document.createElement("br"), note(item.help));
  const source = document.createElement("td");
  source.textContent = item.source;
  const copy = document.createElement("td");
  copy.textContent = item.copy;
  const actions = document.createElement("td");
  if (item.movingBack) {
    actions.append(note("Moving back…"));
  } else if (!item.moveBackAvailable) {
    actions.append(note("Move back unavailable for this item."));
  } else {
    actions.append(actionButton("Move back", `Move ${name} back`, () => showMoveBack(item, name)));
  }
  // A folder whose link is missing lives only on the drive: it is moved back, never deleted.
  if (item.broken && item.integrity !== "noSymlink" && !item.movingBack) {
    actions.append(" ", actionButton("Delete", `Delete the broken relocation of ${name}`,
      () => showDelete(item, name)));
  }
  row.append(source, state, copy, actions);
  return row;
}

// One refresh at a time; a change noticed during one brings another after it.
let refreshing = false;
let refreshAgain = false;

async function loadRelocated() {
  if (refreshing) {
    refreshAgain = true;
    return;
  }
  refreshing = true;
  $("relocated-refreshing").textContent = "Refreshing the list…";
  $("relocated-list").setAttribute("aria-busy", "true");
  $("relocated-refresh").disabled = true;
  try {
    const { items, scanDiagnostic } = await getJson("/api/relocated");
    const rows = items.map(relocatedRow);
    $("relocated-list").querySelector("tbody").replaceChildren(...rows);
    $("relocated-empty").hidden = rows.length > 0;
    $("relocated-list").hidden = rows.length === 0;
    $("relocated-scan").textContent = scanDiagnostic ? `Drive walk: ${scanDiagnostic}` : "";
  } catch (error) {
    showProblem($("relocated-problem"), error);
  } finally {
    refreshing = false;
    $("relocated-refreshing").textContent = "";
    $("relocated-list").removeAttribute("aria-busy");
    $("relocated-refresh").disabled = false;
    if (refreshAgain) {
      refreshAgain = false;
      loadRelocated();
    }
  }
}

$("relocated-refresh").addEventListener("click", loadRelocated);

listen({
  "move-start": () => {
    $("move-cancel").disabled = false;
    $("progress-title").hidden = false;
    $("progress").replaceChildren();
    $("move-result").textContent = "";
  },
  "move-line": ({ line }) => {
    const item = document.createElement("li");
    item.textContent = line;
    $("progress").append(item);
    loadList();
  },
  "move-problem": ({ line }) => {
    $("move-problem").hidden = false;
    $("move-problem").textContent = line;
  },
  "move-done": ({ status }) => {
    $("move-cancel").disabled = true;
    $("move-result").textContent = status === 0
      ? "The move is done."
      : "The move did not finish; the folder is still where it was unless the lines above say otherwise.";
    loadList();
    loadRelocated();
  },
  "move-back-start": () => {
    $("move-back-progress").replaceChildren();
    $("relocated-result").textContent = "";
  },
  "move-back-line": ({ line }) => {
    const item = document.createElement("li");
    item.textContent = line;
    $("move-back-progress").append(item);
  },
  "move-back-problem": ({ line }) => showProblem($("relocated-problem"), new Error(line)),
  "move-back-done": ({ status }) => {
    $("relocated-result").textContent = status === 0
      ? "The folder is back home."
      : "The folder stayed on the drive; the lines above say why.";
    loadList();
  },
  relocationStateChanged: loadRelocated,
});

pageReady();
loadList();
loadRelocated();
