// The scrap board: the list under its filters (or search results), adding a
// note, pin, unpin, delete and clear all, each answered by the service's code.
import { postJson, showProblem } from "/dashboard.js";

const $ = (id) => document.getElementById(id);

function countLine(count) {
  return `${count} ${count === 1 ? "scrap" : "scraps"} on the board`;
}

function scrapItem(scrap) {
  const item = document.createElement("li");
  const title = document.createElement("span");
  // Pinned is said in words, never only by a mark.
  title.textContent = (scrap.pinned ? "Pinned: " : "") + scrap.title;
  item.append(title, " ");
  const name = scrap.title.length > 40 ? scrap.title.slice(0, 40) + "…" : scrap.title;
  for (const [label, action] of [[scrap.pinned ? "Unpin" : "Pin", scrap.pinned ? "unpin" : "pin"],
    ["Delete", "delete"]]) {
    const button = document.createElement("button");
    button.type = "button";
    button.textContent = label;
    button.setAttribute("aria-label", `${label} “${name}”`);
    button.addEventListener("click", () => change(`/api/junk/${action}`, { id: scrap.id }));
    item.append(button, " ");
  }
  return item;
}

async function load() {
  $("junk-problem").hidden = true;
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
    $("scraps").replaceChildren(...scraps.map(scrapItem));
  } catch (error) {
    showProblem($("junk-problem"), error);
  }
}

async function change(path, body) {
  $("junk-problem").hidden = true;
  try {
    const answer = await postJson(path, body);
    $("junk-result").textContent = answer.message || "";
  } catch (error) {
    showProblem($("junk-problem"), error);
  }
  await load();
}

$("add-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  await change("/api/junk/note", { text: $("scrap-text").value });
  if ($("junk-problem").hidden) $("scrap-text").value = "";
});

$("filter-form").addEventListener("submit", (event) => {
  event.preventDefault();
  load();
});
$("filter").addEventListener("change", load);
$("date").addEventListener("change", load);

$("clear-all").addEventListener("click", () => $("clear-dialog").showModal());
$("clear-cancel").addEventListener("click", () => $("clear-dialog").close());
$("clear-confirm").addEventListener("click", async () => {
  $("clear-dialog").close();
  await change("/api/junk/clear", { confirmed: true });
});

load();
