// The moves page: the safety checks of a folder first, then its move with
// live progress (and a way to cancel it), the list of moves, and the
// relocated folders with their integrity, move back and delete.
import { getJson, postJson, listen, showProblem } from "/dashboard.js";

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

function actionButton(label, onClick) {
  const button = document.createElement("button");
  button.type = "button";
  button.textContent = label;
  button.addEventListener("click", onClick);
  return button;
}

async function relocatedAction(path, body, question) {
  if (question && !window.confirm(question)) return;
  $("relocated-problem").hidden = true;
  try {
    const answer = await postJson(path, body);
    if (answer.message) $("relocated-result").textContent = answer.message;
    loadRelocated();
  } catch (error) {
    showProblem($("relocated-problem"), error);
  }
}

async function loadRelocated() {
  try {
    const { items } = await getJson("/api/relocated");
    const rows = items.map((item) => {
      const row = document.createElement("tr");
      const integrity = item.help ? `${item.integrity}: ${item.help}` : item.integrity;
      for (const text of [item.source, integrity, item.copy]) {
        const cell = document.createElement("td");
        cell.textContent = text;
        row.append(cell);
      }
      const actions = document.createElement("td");
      const name = item.source.split("/").pop();
      const back = actionButton("Move back", () => relocatedAction(
        "/api/relocated/move-back", { id: item.id }, `Bring ${name} home from the drive?`));
      back.setAttribute("aria-label", `Move ${name} back`);
      actions.append(back);
      if (item.broken) {
        const remove = actionButton("Delete", () => relocatedAction(
          "/api/relocated/delete", { id: item.id },
          `Clear away the broken relocation of ${name}?`));
        remove.setAttribute("aria-label", `Delete the broken relocation of ${name}`);
        actions.append(" ", remove);
      }
      row.append(actions);
      return row;
    });
    $("relocated-list").querySelector("tbody").replaceChildren(...rows);
    $("relocated-empty").hidden = rows.length > 0;
    $("relocated-list").hidden = rows.length === 0;
  } catch (error) {
    showProblem($("relocated-problem"), error);
  }
}

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
    loadRelocated();
    loadList();
  },
});

loadList();
loadRelocated();
