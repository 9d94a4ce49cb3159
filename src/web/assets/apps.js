// The apps page: the catalogue as `brimvale apps` lists it (tier badges and
// reasons in words), and moving, moving back, offloading and restoring an
// app with its lines arriving live.
import { postJson, listen, showProblem, formatBytes } from "/dashboard.js";

const $ = (id) => document.getElementById(id);

function cell(text) {
  const td = document.createElement("td");
  td.textContent = text;
  return td;
}

function actionButton(label, app, action) {
  const button = document.createElement("button");
  button.type = "button";
  button.textContent = label;
  button.setAttribute("aria-label", `${label} ${app.name}`);
  button.addEventListener("click", () => run(action, app.bundlePath));
  return button;
}

async function load() {
  $("apps-problem").hidden = true;
  try {
    const listing = await postJson("/api/apps/list", {
      location: $("location").value,
      sort: $("sort").value,
      unusedDays: Number.parseInt($("unused").value, 10) || 0,
      hideRunning: $("hide-running").checked,
    });
    const rows = listing.apps.map((app) => {
      const row = document.createElement("tr");
      const why = [app.tierReason, app.blockedReason].filter(Boolean).join(" ");
      row.append(cell(app.name + (app.running ? " (running)" : "")), cell(app.tierBadge),
        cell(formatBytes(app.sizeBytes)), cell(app.lastUsed ? app.lastUsed.slice(0, 10) : "never"),
        cell(why));
      const actions = document.createElement("td");
      if (app.alreadyRelocated) {
        actions.append(actionButton("Move back", app, "move-back"));
      } else {
        actions.append(actionButton("Move", app, "move"), " ", actionButton("Offload", app, "offload"));
      }
      row.append(actions);
      return row;
    });
    $("apps").querySelector("tbody").replaceChildren(...rows);
    $("apps-empty").hidden = rows.length > 0;
    $("apps").hidden = rows.length === 0;
    $("apps-notes").replaceChildren(...listing.notes.map((note) => {
      const item = document.createElement("li");
      item.textContent = note;
      return item;
    }));
  } catch (error) {
    showProblem($("apps-problem"), error);
  }
}

async function run(action, target) {
  $("apps-problem").hidden = true;
  try {
    await postJson("/api/apps/action", { action, target, override: $("override").checked });
  } catch (error) {
    showProblem($("apps-problem"), error);
  }
}

$("apps-filter").addEventListener("submit", (event) => {
  event.preventDefault();
  load();
});
for (const id of ["location", "sort", "hide-running"]) $(id).addEventListener("change", load);

$("restore-form").addEventListener("submit", (event) => {
  event.preventDefault();
  run("restore", $("restore-id").value.trim());
});

// App-move phases in words, so the list never relies on colour.
const phaseWords = {
  writing: "getting ready", copying: "copying", verifying: "checking the copy",
  linking: "linking", done: "done", cancelled: "cancelled", failed: "failed",
  waitingForDrive: "waiting for the drive",
};

// One line per app move, rewritten as its record changes.
function showElsewhere(move) {
  let item = document.getElementById(`move-${move.id}`);
  if (!item) {
    item = document.createElement("li");
    item.id = `move-${move.id}`;
    $("elsewhere").prepend(item);
  }
  const name = move.name || move.originalPath;
  item.textContent = `${name}: ${phaseWords[move.phase] || move.phase}${move.status ? ` — ${move.status}` : ""}`;
  if (!move.underWay) load();
}

listen({
  "app-move-record": showElsewhere,
  "app-start": () => {
    $("app-progress").replaceChildren();
    $("app-result").textContent = "";
  },
  "app-line": ({ line }) => {
    const item = document.createElement("li");
    item.textContent = line;
    $("app-progress").append(item);
  },
  "app-problem": ({ line }) => showProblem($("apps-problem"), new Error(line)),
  "app-done": ({ status }) => {
    $("app-result").textContent = status === 0
      ? "Done."
      : "It did not finish; the lines above say where the app is.";
    load();
  },
});

load();
