// The apps page: the catalogue as `brimvale apps` lists it (tier badges and
// reasons in words), moving (a risky app only after its own confirmation of
// the risk), moving back, offloading and restoring an app, and answering a
// reinstall's permission review, with their lines arriving live. Moves made
// anywhere else show as their records change.
import { postJson, getJson, listen, showProblem, formatBytes, pageReady } from "/dashboard.js";

const $ = (id) => document.getElementById(id);

function cell(text) {
  const td = document.createElement("td");
  td.textContent = text;
  return td;
}

function button(label, accessibleName, onClick) {
  const element = document.createElement("button");
  element.type = "button";
  element.textContent = label;
  element.setAttribute("aria-label", accessibleName);
  element.addEventListener("click", onClick);
  return element;
}

// The page's own confirmation: `title`, the sentence that states what will
// happen, and the button that does it.
function confirmThen(title, text, go, action) {
  $("confirm-title").textContent = title;
  $("confirm-text").textContent = text;
  $("confirm-go").textContent = go;
  $("confirm-go").onclick = () => {
    $("confirm").close();
    action();
  };
  $("confirm").showModal();
}
$("confirm-cancel").addEventListener("click", () => $("confirm").close());

function actionsOf(app) {
  const td = document.createElement("td");
  if (app.alreadyRelocated) {
    td.append(button("Move back", `Move back ${app.name}`, () => run("move-back", app.bundlePath)));
    return td;
  }
  if (app.tier === 4) {
    // The server would refuse it: no Move, and the reason instead.
    td.append("Can’t be moved (see Why)");
  } else if (app.tier === 3) {
    td.append(button("Override → Move", `Override → Move ${app.name}`, () =>
      confirmThen(`Move “${app.name}” despite its risk?`,
        `Moving “${app.name}” has a known risk: ${app.tierReason}`, "Move anyway",
        () => run("move", app.bundlePath, true))));
  } else {
    td.append(button("Move", `Move ${app.name}`, () => run("move", app.bundlePath)));
  }
  td.append(" ", button("Offload", `Offload ${app.name}`, () =>
    confirmThen(`Offload “${app.name}”?`, offloadSentence(app.name), "Offload",
      () => run("offload", app.bundlePath))));
  return td;
}

function offloadSentence(name) {
  return `“${name}” and its data move to your fast drive. It won't be usable until you restore it (Offloaded tab). Nothing is deleted — Restore copies it all back.`;
}

// The Offloaded tab offers the apps still here, each with what offloading it means.
async function showOffloadChoices() {
  const { apps } = await postJson("/api/apps/list", { location: "internal" });
  const chosen = $("offload-app").value;
  $("offload-app").replaceChildren(...apps.map((app) => new Option(app.name, app.bundlePath)));
  if (apps.some((app) => app.bundlePath === chosen)) $("offload-app").value = chosen;
  $("offload-form").hidden = apps.length === 0;
  describeOffload();
}

function describeOffload() {
  const option = $("offload-app").selectedOptions[0];
  $("offload-what").textContent = option ? offloadSentence(option.text) : "";
}
$("offload-app").addEventListener("change", describeOffload);
$("offload-form").addEventListener("submit", (event) => {
  event.preventDefault();
  run("offload", $("offload-app").value);
});

function items(list, texts, none) {
  list.replaceChildren(...(texts.length ? texts : [none]).map((text) => {
    const item = document.createElement("li");
    item.textContent = text;
    return item;
  }));
}

// What the inspection of one app found, its permissions first.
async function inspect(app) {
  $("app-problem").hidden = true;
  try {
    const found = await postJson("/api/apps/inspect", { target: app.bundlePath });
    $("inspection-title").textContent = `What the inspection of “${found.name}” found`;
    $("inspection-tier").textContent = `${found.tierBadge}: ${found.tierReason}`;
    const sources = {
      infoPlistUsageDescription: "asked for in its Info.plist",
      codesignEntitlement: "granted by its signature",
    };
    items($("inspection-permissions"), found.tccEntitlements.map((p) =>
      `${p.displayName} (${sources[p.source] || p.source})`), "None.");
    const findings = [];
    if (found.updateFrameworkDescription) findings.push(`Updates: ${found.updateFrameworkDescription}`);
    for (const h of found.helperReferences) findings.push(`The launchd job ${h.label} (${h.plistPath}) runs ${h.programPath}.`);
    for (const c of found.loadCommands.filter((c) => c.kind === "hardcodedAppPath")) {
      findings.push(`${c.binaryRelativePath} loads ${c.loadPath} by its fixed path.`);
    }
    items($("inspection-findings"), findings,
      found.scanned ? "Nothing else that matters for a move." : "Not scanned: the app can't be moved anyway.");
    $("inspection").hidden = false;
    $("inspection-title").focus();
  } catch (error) {
    showProblem($("app-problem"), error);
  }
}

function appRow(app) {
  const row = document.createElement("tr");
  const why = [app.tierReason, app.blockedReason].filter(Boolean)
    .filter((text, i, all) => all.indexOf(text) === i).join(" ");
  row.append(cell(app.name + (app.running ? " (running)" : "")), cell(app.tierBadge),
    cell(formatBytes(app.sizeBytes)), cell(app.lastUsed ? app.lastUsed.slice(0, 10) : "never"),
    cell(why), actionsOf(app));
  row.lastChild.append(" ", button("Inspect", `Inspect ${app.name}`, () => inspect(app)));
  return row;
}

// Offload states in words.
const offloadWords = {
  preparing: "getting ready", copying: "copying", removing: "removing the originals",
  done: "offloaded", failed: "failed", waitingForDrive: "waiting for the drive",
};

function offloadedRow(record) {
  const row = document.createElement("tr");
  const actions = document.createElement("td");
  actions.append(button("Restore", `Restore ${record.name}`, () => run("restore", record.id)));
  row.append(cell(record.name), cell(formatBytes(record.sizeBytes)),
    cell(record.offloadedAt.slice(0, 10)), cell(offloadWords[record.phase] || record.phase), actions);
  return row;
}

function fillOnce(listing) {
  if ($("category").options.length === 1) {
    for (const { value, title } of listing.categories) $("category").add(new Option(title, value));
  }
  if (!$("tiers").hasChildNodes()) {
    for (const { badge, meaning } of listing.tiers) {
      const term = document.createElement("dt");
      term.textContent = badge;
      const text = document.createElement("dd");
      text.textContent = meaning;
      $("tiers").append(term, text);
    }
  }
}

async function showListing() {
  $("apps-problem").hidden = true;
  try {
    const listing = await postJson("/api/apps/list", {
      location: $("location").value,
      category: $("category").value,
      sort: $("sort").value,
      unusedDays: Number.parseInt($("unused").value, 10) || 0,
      hideRunning: $("hide-running").checked,
    });
    fillOnce(listing);
    const offloadedTab = $("location").value === "offloaded";
    const rows = listing.apps.map(appRow);
    $("apps").querySelector("tbody").replaceChildren(...rows);
    $("apps").hidden = offloadedTab || rows.length === 0;
    $("apps-empty").hidden = offloadedTab || rows.length > 0;
    const records = listing.offloaded.map(offloadedRow);
    $("offloaded").querySelector("tbody").replaceChildren(...records);
    $("offloaded-view").hidden = !offloadedTab;
    $("offloaded").hidden = records.length === 0;
    $("offloaded-empty").hidden = records.length > 0;
    if (offloadedTab) await showOffloadChoices();
    $("apps-notes").replaceChildren(...listing.notes.map((note) => {
      const item = document.createElement("li");
      item.textContent = note;
      return item;
    }));
  } catch (error) {
    showProblem($("apps-problem"), error);
  }
}

// One listing at a time; news arriving meanwhile asks for one more after it.
let loading = null;
let again = false;
function load() {
  if (loading) {
    again = true;
    return;
  }
  loading = showListing().finally(() => {
    loading = null;
    if (again) {
      again = false;
      load();
    }
  });
}

async function loadReviews() {
  try {
    const { reviews } = await getJson("/api/apps/reviews");
    $("reviews").replaceChildren(...reviews.map((review) => {
      const item = document.createElement("li");
      const title = document.createElement("strong");
      title.textContent = review.title;
      const body = document.createElement("p");
      body.textContent = review.body;
      const list = (label, names) => {
        const line = document.createElement("p");
        line.textContent = `${label}: ${names.length ? names.join(", ") : "none"}`;
        return line;
      };
      const answers = document.createElement("p");
      answers.append(
        button("Approve and move", `Approve the new permissions of ${review.name} and move it to the fast drive`,
          () => run("review-approve", review.id)),
        " ",
        button("Keep on internal disk", `Keep ${review.name} on the internal disk`,
          () => run("review-keep", review.id)));
      item.append(title, body, list("Permissions before", review.permissionsBefore),
        list("Permissions now", review.permissionsNow), answers);
      return item;
    }));
    $("reviews-empty").hidden = reviews.length > 0;
  } catch (error) {
    showProblem($("apps-problem"), error);
  }
}

async function run(action, target, override = false) {
  $("app-problem").hidden = true;
  try {
    await postJson("/api/apps/action", { action, target, override });
  } catch (error) {
    showProblem($("app-problem"), error);
  }
}

$("apps-filter").addEventListener("submit", (event) => {
  event.preventDefault();
  load();
});
for (const id of ["location", "category", "sort", "hide-running"]) $(id).addEventListener("change", load);

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
}

// A move or move back ended, in this process or another: the list follows at once.
function completed() {
  load();
  loadReviews();
}

listen({
  "app-move-record": showElsewhere,
  "Brimvale.AppRelocatorEngineDidCompleteMove": completed,
  "Brimvale.AppRelocatorEngineDidCompleteRestore": completed,
  "app-start": () => {
    $("app-progress").replaceChildren();
    $("app-result").textContent = "";
    $("app-problem").hidden = true;
  },
  "app-line": ({ line }) => {
    const item = document.createElement("li");
    item.textContent = line;
    $("app-progress").append(item);
  },
  "app-problem": ({ line }) => showProblem($("app-problem"), new Error(line)),
  "app-done": ({ status }) => {
    $("app-result").textContent = status === 0
      ? "Done."
      : "It did not finish; the lines above say where the app is.";
    completed();
  },
});

pageReady();
load();
loadReviews();
