// The scrap board: the list under its filters (or search results), adding a
// note, saving the clipboard, pin, unpin, a new lifetime, copy back, saving into a folder, delete,
// clear all and the board's settings, each answered by the service's code.
import { getJson, postJson, showProblem, pageReady } from "/dashboard.js";

const $ = (id) => document.getElementById(id);

// The lifetimes as the board offers them, grouped under their headings; filled from the settings.
let lifetimes = [];
// The scrap a dialog is open for.
let chosen = null;

function countLine(count) {
  return `${count} ${count === 1 ? "scrap" : "scraps"} on the board`;
}

function shortName(scrap) {
  return scrap.title.length > 40 ? scrap.title.slice(0, 40) + "…" : scrap.title;
}

function lifetimeOptions(select, selected) {
  const groups = new Map();
  for (const t of lifetimes) {
    if (!groups.has(t.group)) {
      const group = document.createElement("optgroup");
      group.label = t.group;
      groups.set(t.group, group);
    }
    groups.get(t.group).append(new Option(t.label, t.raw, false, t.raw === selected));
  }
  select.replaceChildren(...groups.values());
}

// The raw lifetime whose seconds are the scrap's, if one is.
function lifetimeOf(scrap) {
  const seconds = { m: 60, h: 3600, d: 86400, w: 604800, mo: 2592000 };
  return lifetimes.find((t) => {
    const [, unit, n] = t.raw.match(/^([a-z]+)(\d+)$/);
    return seconds[unit] * Number(n) === scrap.ttlSeconds;
  })?.raw;
}

// `focusKey` names the button across redraws of the list, so focus stays on it.
function button(label, name, focusKey, onClick) {
  const b = document.createElement("button");
  b.type = "button";
  b.dataset.focus = focusKey;
  b.textContent = label;
  b.setAttribute("aria-label", name);
  b.addEventListener("click", onClick);
  return b;
}

function scrapItem(scrap) {
  const item = document.createElement("li");
  const title = document.createElement("span");
  // Pinned is said in words, never only by a mark.
  title.textContent = (scrap.pinned ? "Pinned: " : "") + scrap.title;
  const when = document.createElement("span");
  when.className = "muted";
  when.textContent = scrap.pinned ? " (stays until unpinned) "
    : ` (clears ${new Date(scrap.expiresAt).toLocaleString()}) `;
  item.append(title, when);
  if (scrap.link) {
    // Only http and https addresses are links; the page that opens gets no hold on this one.
    const link = document.createElement("a");
    link.href = scrap.link;
    link.target = "_blank";
    link.rel = "noopener noreferrer";
    link.textContent = "Open the link";
    link.setAttribute("aria-label", `Open the link ${scrap.link}`);
    item.append(link, " ");
  }
  if (scrap.kind === "image") {
    const picture = document.createElement("img");
    picture.className = "thumbnail";
    picture.src = `/api/junk/thumbnail?id=${encodeURIComponent(scrap.id)}`;
    picture.alt = `Thumbnail of the image scrap made ${new Date(scrap.createdAt).toLocaleString()}`;
    item.append(document.createElement("br"), picture, document.createElement("br"));
  }
  const name = `“${shortName(scrap)}”`;
  const pin = scrap.pinned ? "Unpin" : "Pin";
  item.append(
    button(pin, `${pin} ${name}`, `${scrap.id} pin`,
      () => change(`/api/junk/${pin.toLowerCase()}`, { id: scrap.id })), " ",
    button("Lifetime…", `Change the lifetime of ${name}`, `${scrap.id} lifetime`,
      () => openLifetime(scrap)), " ",
    button("Copy", `Copy ${name}`, `${scrap.id} copy`,
      () => change("/api/junk/copy", { id: scrap.id })), " ",
    button("Save to a folder…", `Save ${name} to a folder`, `${scrap.id} save`,
      () => openSave(scrap)), " ",
    button("Delete", `Delete ${name}`, `${scrap.id} delete`,
      () => change("/api/junk/delete", { id: scrap.id })));
  return item;
}

// `fresh`: a new look at the board, so an earlier problem goes; after an
// action its problem stays in view.
async function load(fresh = true) {
  if (fresh) $("junk-problem").hidden = true;
  const query = $("query").value.trim();
  const filters = { filter: $("filter").value, date: $("date").value };
  try {
    let scraps;
    if (query) {
      scraps = (await postJson("/api/junk/search", { ...filters, query })).results;
      $("junk-count").textContent = `${scraps.length} ${scraps.length === 1 ? "scrap" : "scraps"} found for “${query}”`;
    } else {
      const list = await postJson("/api/junk/list", filters);
      scraps = list.items;
      $("junk-count").textContent = countLine(list.count);
    }
    const focused = document.activeElement?.dataset?.focus;
    $("scraps").replaceChildren(...scraps.map(scrapItem));
    if (focused) {
      const again = [...$("scraps").querySelectorAll("button")].find((b) => b.dataset.focus === focused);
      (again || $("junk-count")).focus?.();
    }
  } catch (error) {
    showProblem($("junk-problem"), error);
  }
}

async function change(path, body) {
  $("junk-problem").hidden = true;
  $("junk-result").textContent = "";
  try {
    const answer = await postJson(path, body);
    $("junk-result").textContent = answer.message || "";
  } catch (error) {
    showProblem($("junk-problem"), error);
  }
  await load(false);
}

// Runs `path` for the dialog `name`: a refusal stays in the dialog, success closes it.
async function fromDialog(name, path, body) {
  $(`${name}-problem`).hidden = true;
  $("junk-result").textContent = "";
  try {
    const answer = await postJson(path, body);
    $(`${name}-dialog`).close();
    $("junk-problem").hidden = true;
    $("junk-result").textContent = answer.message || "";
    await load();
  } catch (error) {
    showProblem($(`${name}-problem`), error);
  }
}

function openLifetime(scrap) {
  chosen = scrap;
  $("lifetime-scrap").textContent = `Scrap: ${shortName(scrap)}`;
  $("lifetime-problem").hidden = true;
  lifetimeOptions($("lifetime-choice"), lifetimeOf(scrap));
  $("lifetime-dialog").showModal();
}

function openSave(scrap) {
  chosen = scrap;
  $("save-scrap").textContent = `Scrap: ${shortName(scrap)}`;
  $("save-problem").hidden = true;
  $("save-replace").checked = false;
  $("save-dialog").showModal();
}

$("lifetime-form").addEventListener("submit", (event) => {
  event.preventDefault();
  fromDialog("lifetime", "/api/junk/lifetime", { id: chosen.id, ttl: $("lifetime-choice").value });
});
$("lifetime-cancel").addEventListener("click", () => $("lifetime-dialog").close());
$("save-form").addEventListener("submit", (event) => {
  event.preventDefault();
  fromDialog("save", "/api/junk/save",
    { id: chosen.id, folder: $("save-folder").value.trim(), replace: $("save-replace").checked });
});
$("save-cancel").addEventListener("click", () => $("save-dialog").close());

// The board's settings: each control as the setting's type asks, labelled by what it means.
const labels = {
  JunkDefaultTTL: "Auto-clear new scraps after",
  JunkCurtainEdge: "Edge of the curtain",
  JunkMaxItems: "Keep up to",
  JunkMaxFilesPerScrap: "Most files copied at once that land as one card",
};
let shownSettings = [];

function settingField(setting, index) {
  const row = document.createElement("p");
  const id = `setting-${index}`;
  const label = document.createElement("label");
  label.htmlFor = id;
  label.textContent = labels[setting.key]
    || (setting.type === "switch" && setting.meaning.startsWith("hot key: ")
      ? `Hot key for “${setting.meaning.slice(9)}”`
      : setting.type === "text" ? `Keys for “${setting.meaning}”` : setting.meaning);
  let control;
  if (setting.type === "switch") {
    control = document.createElement("input");
    control.type = "checkbox";
    control.checked = setting.value === "on";
    row.append(control, " ", label);
  } else {
    if (setting.type === "lifetime") {
      control = document.createElement("select");
      lifetimeOptions(control, setting.value);
    } else if (setting.type === "edge") {
      control = document.createElement("select");
      for (const edge of ["top", "right"]) control.append(new Option(edge, edge, false, edge === setting.value));
    } else {
      control = document.createElement("input");
      control.type = setting.type === "number" ? "number" : "text";
      if (setting.type === "number") control.min = "1";
      control.size = 12;
      control.value = setting.value;
    }
    row.append(label, " ", control);
    if (setting.key === "JunkMaxItems") row.append(" scraps — when full, the oldest drops off.");
  }
  control.id = id;
  if (setting.key === "JunkMaxFilesPerScrap") {
    const help = document.createElement("span");
    help.id = `${id}-help`;
    help.className = "muted";
    help.textContent = ` ${setting.meaning}`;
    control.setAttribute("aria-describedby", help.id);
    row.append(help);
  }
  return row;
}

function fieldValue(setting, index) {
  const control = $(`setting-${index}`);
  return setting.type === "switch" ? (control.checked ? "on" : "off") : control.value.trim();
}

async function loadSettings() {
  const answer = await getJson("/api/junk/settings");
  lifetimes = answer.lifetimes;
  shownSettings = answer.settings;
  $("settings-fields").replaceChildren(...shownSettings.map(settingField));
  $("settings-help").replaceChildren(...answer.help.map((line) => {
    const p = document.createElement("p");
    p.textContent = line;
    return p;
  }));
}

$("settings-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  $("settings-problem").hidden = true;
  $("settings-result").textContent = "";
  const changed = shownSettings.map((s, i) => [s, fieldValue(s, i)]).filter(([s, v]) => v !== s.value);
  if (changed.length === 0) {
    $("settings-result").textContent = "Nothing to save: the settings are as they were.";
    return;
  }
  const saved = [];
  try {
    for (const [setting, value] of changed) {
      saved.push((await postJson("/api/junk/setting", { key: setting.key, value })).message);
    }
  } catch (error) {
    showProblem($("settings-problem"), error);
  }
  // The form shows what was stored, read back, whatever happened.
  try {
    await loadSettings();
  } catch (error) {
    showProblem($("settings-problem"), error);
  }
  if (saved.length > 0) $("settings-result").textContent = `Saved: ${saved.join("; ")}.`;
});

$("add-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  await change("/api/junk/note", { text: $("scrap-text").value });
  if ($("junk-problem").hidden) $("scrap-text").value = "";
});

$("capture").addEventListener("click", () => change("/api/junk/capture", {}));

$("filter-form").addEventListener("submit", (event) => {
  event.preventDefault();
  load();
});
$("filter").addEventListener("change", () => load());
$("date").addEventListener("change", () => load());

$("clear-all").addEventListener("click", () => $("clear-dialog").showModal());
$("clear-cancel").addEventListener("click", () => $("clear-dialog").close());
$("clear-confirm").addEventListener("click", async () => {
  $("clear-dialog").close();
  await change("/api/junk/clear", { confirmed: true });
});

pageReady();
loadSettings().catch((error) => showProblem($("settings-problem"), error)).finally(() => load());
