// The rules page: the service's rules as rows, each removable, and a form
// that adds one; every change saves the whole list and shows it as saved.
// Their item-by-item preview runs on the ticked items alone.
import {
  getJson, postJson, showProblem, pageReady, formatBytes, previewChecklist,
} from "/dashboard.js";

const $ = (id) => document.getElementById(id);
let rules = [];

function cell(text) {
  const td = document.createElement("td");
  td.textContent = text;
  return td;
}

function show(answer) {
  rules = answer.rules.map(({ action, src, dest, age, extra }) => ({ action, src, dest, age, extra }));
  const rows = answer.rules.map((rule, index) => {
    const row = document.createElement("tr");
    row.append(cell(rule.actionLabel), cell(rule.sourceLabel), cell(rule.destinationLabel || "—"),
      cell(String(rule.age)));
    const remove = document.createElement("button");
    remove.type = "button";
    remove.textContent = "Remove";
    remove.setAttribute("aria-label", `Remove rule ${index + 1}: ${rule.actionLabel}, ${rule.sourceLabel}`);
    remove.addEventListener("click", () => save(rules.filter((_, i) => i !== index), "Rule removed."));
    const action = document.createElement("td");
    action.append(remove);
    row.append(action);
    return row;
  });
  $("rules").querySelector("tbody").replaceChildren(...rows);
  $("rules").hidden = rows.length === 0;
  $("rules-empty").hidden = rows.length > 0;
  const select = $("rule-action");
  if (!select.options.length) {
    for (const { action, label } of answer.actions) select.add(new Option(label, action));
  }
}

async function save(next, done) {
  $("rules-problem").hidden = true;
  $("rules-saved").textContent = "";
  try {
    show(await postJson("/api/rules", { rules: next }));
    $("rules-saved").textContent = done;
  } catch (error) {
    showProblem($("rules-problem"), error);
  }
}

$("add-rule").addEventListener("submit", (event) => {
  event.preventDefault();
  const rule = {
    action: $("rule-action").value,
    src: $("rule-src").value.trim(),
    dest: $("rule-dest").value.trim(),
    age: Number.parseInt($("rule-age").value, 10),
    extra: "",
  };
  save([...rules, rule], "Rule added and saved.");
});

const actionWords = { move: "move to the drive", delete: "delete", trash: "move to the Trash" };
let tickedItems = () => [];

$("rules-preview-show").addEventListener("click", async () => {
  $("rules-preview-show").disabled = true;
  $("rules-run-problem").hidden = true;
  try {
    const preview = await getJson("/api/rules-preview");
    tickedItems = previewChecklist({
      list: $("rules-preview-items"),
      total: $("rules-preview-total"),
      run: $("rules-preview-run"),
      items: preview.items,
      describe: (item) => `${item.path} (${formatBytes(item.bytes)}, ${item.ageDays} days old, ` +
        `${item.rule}: ${actionWords[item.action] || item.action})`,
    });
    const kept = preview.keptByExcludes;
    $("rules-preview-kept").textContent = (kept.items > 0
      ? `Kept by your excludes: ${kept.items} items, ${formatBytes(kept.bytes)}. ` : "") +
      (preview.drivePresent ? "" : "The drive is not connected: the rules can run only once it is.");
    $("rules-preview").hidden = false;
  } catch (error) {
    showProblem($("rules-run-problem"), error);
  }
  $("rules-preview-show").disabled = false;
});

$("rules-preview-run").addEventListener("click", async () => {
  $("rules-preview-run").disabled = true;
  $("rules-run-problem").hidden = true;
  $("rules-run-report").textContent = "Running the rules on the ticked items…";
  try {
    const answer = await postJson("/api/rules-run", { items: tickedItems() });
    $("rules-run-report").textContent = answer.report.trim();
    if (answer.problems) showProblem($("rules-run-problem"), new Error(answer.problems.trim()));
    $("rules-preview").hidden = true;
  } catch (error) {
    $("rules-run-report").textContent = "";
    showProblem($("rules-run-problem"), error);
    $("rules-preview-run").disabled = false;
  }
});

pageReady();
getJson("/api/rules").then(show, (error) => showProblem($("rules-problem"), error));
