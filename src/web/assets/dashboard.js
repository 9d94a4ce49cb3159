// Shared by every page: JSON requests to the server (POSTs carry the page's
// own origin, which the browser adds) and the live event stream.
export async function getJson(path) {
  const response = await fetch(path, { credentials: "same-origin" });
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.error || `The dashboard answered ${response.status}.`);
  return body;
}

export async function getText(path) {
  const response = await fetch(path, { credentials: "same-origin" });
  const text = await response.text();
  if (!response.ok) {
    let sentence = text;
    try { sentence = JSON.parse(text).error || text; } catch { /* plain text already */ }
    throw new Error(sentence);
  }
  return text;
}

export async function postJson(path, body = {}) {
  const response = await fetch(path, {
    method: "POST",
    credentials: "same-origin",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify(body),
  });
  const answer = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(answer.error || `The dashboard answered ${response.status}.`);
  return answer;
}

// Calls handlers[name](data) for each named event; the browser reconnects on its own.
export function listen(handlers) {
  const source = new EventSource("/api/events");
  for (const [name, handler] of Object.entries(handlers)) {
    source.addEventListener(name, (event) => handler(JSON.parse(event.data)));
  }
  return source;
}

export function showProblem(element, error) {
  element.hidden = false;
  element.textContent = error.message;
}

// A size in decimal units, as the system's own storage views count: "12 bytes", "3.0 MB".
export function formatBytes(n) {
  const units = ["bytes", "KB", "MB", "GB", "TB"];
  let value = n;
  let unit = 0;
  while (value >= 1000 && unit < units.length - 1) {
    value /= 1000;
    ++unit;
  }
  return unit === 0 ? `${n} bytes` : `${value.toFixed(1)} ${units[unit]}`;
}

// A preview's items as a checklist in `list`, each ticked at first and labelled
// by describe(item); `total` says how many are ticked and their size, and `run`
// can be pressed while any is. Returns a function that gives the ticked items.
export function previewChecklist({ list, total, run, items, describe }) {
  const boxes = items.map((_, i) => {
    const box = document.createElement("input");
    box.type = "checkbox";
    box.checked = true;
    box.id = `${list.id}-${i}`;
    return box;
  });
  const ticked = () => items.filter((_, i) => boxes[i].checked);
  const showTicked = () => {
    const chosen = ticked();
    const bytes = chosen.reduce((sum, item) => sum + item.bytes, 0);
    total.textContent = `${chosen.length} of ${items.length} items ticked, ${formatBytes(bytes)}.`;
    run.disabled = chosen.length === 0;
  };
  list.replaceChildren(...items.map((item, i) => {
    const row = document.createElement("li");
    const label = document.createElement("label");
    label.htmlFor = boxes[i].id;
    label.textContent = describe(item);
    boxes[i].addEventListener("change", showTicked);
    row.append(boxes[i], label);
    return row;
  }));
  showTicked();
  return ticked;
}

// The page's buttons stay disabled in its HTML until its script has attached
// their handlers: a click that came sooner would be lost, or sent as a plain form.
export function pageReady() {
  for (const button of document.querySelectorAll("[data-until-ready]")) {
    button.disabled = false;
    button.removeAttribute("data-until-ready");
  }
}
