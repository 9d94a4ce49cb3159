// The rules page: the service's rules as rows, each removable, and a form
// that adds one; every change saves the whole list and shows it as saved.
import { getJson, postJson, showProblem, pageReady } from "/dashboard.js";

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

pageReady();
getJson("/api/rules").then(show, (error) => showProblem($("rules-problem"), error));
