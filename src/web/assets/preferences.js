// The preferences page: one field per setting with its meaning and the
// values it takes; each is saved on its own, as `brimvale settings NAME VALUE`.
// Below them the exclude list, changed as `brimvale settings excludes add|remove`.
import { getJson, postJson, showProblem } from "/dashboard.js";

const $ = (id) => document.getElementById(id);

function shown(value) {
  if (typeof value === "boolean") return value ? "on" : "off";
  return String(value);
}

function field(setting, index) {
  const block = document.createElement("p");
  const id = `setting-${index}`;
  const label = document.createElement("label");
  label.htmlFor = id;
  label.textContent = setting.name;
  const input = document.createElement("input");
  input.id = id;
  input.type = "text";
  input.value = shown(setting.value);
  const hint = document.createElement("span");
  hint.id = `${id}-hint`;
  hint.className = "muted";
  hint.textContent = `${setting.meaning[0].toUpperCase()}${setting.meaning.slice(1)} — takes ` +
    `${setting.allowed}; default ${shown(setting.default) || "empty"}.`;
  input.setAttribute("aria-describedby", hint.id);
  const save = document.createElement("button");
  save.type = "button";
  save.textContent = "Save";
  save.setAttribute("aria-label", `Save ${setting.name}`);
  save.addEventListener("click", async () => {
    $("settings-problem").hidden = true;
    $("settings-saved").textContent = "";
    try {
      const answer = await postJson("/api/settings", { name: setting.name, value: input.value.trim() });
      $("settings-saved").textContent = answer.message.trim();
    } catch (error) {
      showProblem($("settings-problem"), error);
    }
  });
  block.append(label, document.createElement("br"), input, " ", save, document.createElement("br"), hint);
  return block;
}

getJson("/api/settings").then((settings) => {
  $("settings").replaceChildren(...settings.map(field));
}, (error) => showProblem($("settings-problem"), error));

async function changeExclude(verb, entry) {
  $("excludes-problem").hidden = true;
  $("excludes-saved").textContent = "";
  try {
    const answer = await postJson("/api/excludes", { verb, entry });
    $("excludes-saved").textContent = answer.message.trim();
    await showExcludes();
  } catch (error) {
    showProblem($("excludes-problem"), error);
  }
}

async function showExcludes() {
  const answer = await getJson("/api/excludes");
  $("excludes").replaceChildren(...answer.excludes.map((entry) => {
    const item = document.createElement("li");
    const remove = document.createElement("button");
    remove.type = "button";
    remove.textContent = "Remove";
    remove.setAttribute("aria-label", `Remove ${entry} from the excludes`);
    remove.addEventListener("click", () => changeExclude("remove", entry));
    item.append(entry, " ", remove);
    return item;
  }));
}

$("exclude-add").addEventListener("submit", async (event) => {
  event.preventDefault();
  await changeExclude("add", $("exclude-entry").value.trim());
  if ($("excludes-problem").hidden) $("exclude-entry").value = "";
});
showExcludes().catch((error) => showProblem($("excludes-problem"), error));
