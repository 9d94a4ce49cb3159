// The moves page: the safety checks of a folder first, then its move with
// live progress, and the list of moves.
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

listen({
  "move-start": () => {
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
    $("move-result").textContent = status === 0
      ? "The move is done."
      : "The move did not finish; the folder is still where it was unless the lines above say otherwise.";
    loadList();
  },
});

loadList();
